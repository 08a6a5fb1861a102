// The asynchronous runtime that every engine owns.
#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <memory>
#include <thread>
#include <vector>

namespace ziri {

/// One engine's pool of named worker threads, which serve timers. The engine
/// itself sets none: the bridge's timed receives wait on their own host
/// threads, and a request runs on the thread that called it, through
/// block_on (execution/block_on.hpp), never on a worker. The pool stays so
/// that each engine owns its named threads and stops them when it goes.
class Runtime {
 public:
  /// Starts the worker threads; throws InternalFault when they cannot start.
  static std::shared_ptr<Runtime> build();

  explicit Runtime(unsigned workers);
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;
  /// Stops the workers and joins them on the releasing thread.
  ~Runtime();

 private:
  // The runtime's tests set timers on the workers through it.
  friend struct RuntimeTestAccess;

  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::vector<std::thread> workers_;
};

}  // namespace ziri
