// Running one asynchronous operation to completion on the thread that asks.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <exception>
#include <optional>
#include <utility>

namespace ziri {
namespace detail {

/// The calling thread's own event loop, made on its first use. Each thread
/// that blocks has one, so a request never hops to the runtime's workers and
/// two blocked threads never run each other's operations.
asio::io_context& caller_context();

}  // namespace detail

/// Runs `operation` on the calling thread until it completes and returns its
/// result, or rethrows what it threw. The thread parks while the operation
/// waits; completions that other threads post to its loop wake it. Must not be
/// called from inside an operation that is itself run this way.
template <class T>
T block_on(asio::awaitable<T> operation) {
  asio::io_context& context = detail::caller_context();
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
