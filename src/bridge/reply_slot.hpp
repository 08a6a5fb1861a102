// The one-shot slot through which a reply reaches the call that waits for it.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace ziri {

/// Where a call's reply stands, as far as its place in the queue is concerned.
enum class ReplyState : std::uint8_t {
  none,      // no reply yet
  replied,   // answered by the host, perhaps before its request was queued
  detached,  // failed by a detach, which may drop a request still waiting for room
};

/// Carries one reply text from the host side to the one call that waits for
/// it. The call goes on once it has its reply and its request has left it:
/// queued, or dropped by a detach. So a reply that comes while the request
/// waits for room in the queue waits here. The call owns the slot and keeps
/// it until then, so neither the host nor the queue ever finds it gone.
class ReplySlot {
 public:
  ReplySlot() = default;
  ReplySlot(const ReplySlot&) = delete;
  ReplySlot& operator=(const ReplySlot&) = delete;

  /// Hands over the reply; `from` is replied or detached.
  /// Runs on: a host thread. Called at most once per slot.
  void deliver(std::string text, ReplyState from);

  /// The request has been queued, or dropped by a detach.
  /// Runs on: the calling thread, or a host thread (a receive that made room,
  /// or a detach).
  void request_placed();

  ReplyState state() const { return state_.load(std::memory_order_acquire); }

  /// The reply text, once it is there and the request has been placed. A call
  /// that has to wait is resumed by a post to its own loop, never run by the
  /// thread that ends its wait.
  asio::awaitable<std::string> wait();

 private:
  using Waiter = std::move_only_function<void(std::string)>;

  void suspend(asio::any_io_executor home, Waiter waiter);
  // Called with the lock held; posts the call when it can go on.
  void resume_if_ready(std::unique_lock<std::mutex>& lock);

  std::atomic<ReplyState> state_{ReplyState::none};
  std::mutex mutex_;
  std::optional<std::string> text_;
  bool placed_ = false;
  asio::any_io_executor home_;  // the waiting call's loop
  Waiter waiter_;
};

}  // namespace ziri
