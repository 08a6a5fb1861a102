// A call suspended on the loop of the thread that runs its query.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/associated_executor.hpp>
#include <asio/post.hpp>
#include <functional>
#include <utility>

namespace ziri {

/// The completion of a suspended call, with the loop it belongs to. Another
/// thread resumes it by posting it there, never by running it inline: the
/// call's coroutine may only run on its own thread.
template <class... Args>
class Suspended {
 public:
  Suspended() = default;
  template <class Handler>
  explicit Suspended(Handler handler)
      : home_(asio::get_associated_executor(handler)), handler_(std::move(handler)) {}

  explicit operator bool() const { return static_cast<bool>(handler_); }

  /// Runs on: any thread; the call itself then runs on its own.
  void resume(Args... args) && {
    asio::post(home_, [handler = std::move(handler_), ... args = std::move(args)]() mutable {
      handler(std::move(args)...);
    });
  }

 private:
  asio::any_io_executor home_;
  std::move_only_function<void(Args...)> handler_;
};

}  // namespace ziri
