// The asynchronous runtime that every engine owns.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <exception>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace ziri {

/// A pool of named worker threads that offers timers (the engine itself sets
/// none: the bridge's timed receives wait on their own host threads), plus a
/// way for a foreign thread to run one operation to completion itself.
class Runtime {
 public:
  /// Starts the worker threads; throws InternalFault when they cannot start.
  static std::shared_ptr<Runtime> build();

  explicit Runtime(unsigned workers);
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;
  /// Stops the workers and joins them on the releasing thread.
  ~Runtime();

  using executor_type = asio::io_context::executor_type;
  executor_type get_executor() { return context_.get_executor(); }

  /// Runs `operation` on the calling thread until it completes and returns its
  /// result. The caller parks while the operation waits; completions that
  /// other threads trigger wake it. Must not be called from a worker.
  template <class T>
  static T block_on(asio::awaitable<T> operation);

 private:
  // Each thread that blocks gets its own event loop, so requests never hop to
  // the workers and two blocked threads never run each other's operations.
  static asio::io_context& caller_context();

  asio::io_context context_;
  asio::executor_work_guard<executor_type> work_;
  std::vector<std::thread> workers_;
};

template <class T>
T Runtime::block_on(asio::awaitable<T> operation) {
  asio::io_context& context = caller_context();
  auto guard = asio::make_work_guard(context);
  std::optional<T> result;
  std::exception_ptr failure;
  asio::co_spawn(context, std::move(operation), [&](std::exception_ptr e, T value) {
    failure = e;
    if (!e) result.emplace(std::move(value));
    guard.reset();
  });
  context.restart();
  context.run();
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

}  // namespace ziri
