#include "execution/block_on.hpp"

namespace ziri::detail {

asio::io_context& caller_context() {
  // Run by its own thread only (the hint); other threads only post to it.
  thread_local asio::io_context context(1);
  return context;
}

}  // namespace ziri::detail
