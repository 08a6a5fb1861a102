// One queued tool-call request and the text the host receives for it.
#pragma once

#include <string>

#include "common/json.hpp"

namespace ziri {

/// One queued tool-call request. Owns copies of everything it carries.
struct BridgeEnvelope {
  std::string request_id;
  std::string server;
  std::string tool;
  Json arguments;
  std::string operation;
};

/// Returns the request text of one envelope, members in their fixed order.
std::string request_text(const BridgeEnvelope& envelope);

}  // namespace ziri
