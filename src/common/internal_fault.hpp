// The one exception type of the module: a broken invariant, never bad input.
#pragma once

#include <stdexcept>

namespace ziri {

/// A fault that cannot happen in a correct system; it reaches Python as the
/// module's dedicated BaseException subtype, never as an ordinary error.
class InternalFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace ziri
