// Ends timed receives at their deadlines with one runtime timer per bridge.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

#include "execution/runtime.hpp"

namespace ziri {

/// One receive that waits with a time limit, as the timer sees it.
struct TimedWait {
  std::chrono::steady_clock::time_point deadline;
  /// Where the receive runs; its cancellation is emitted there.
  asio::any_io_executor home;
  /// Connected to the receive's wait on the queue.
  asio::cancellation_signal cancel;
  /// Set on `home` once the wait is over, so a late cancellation does nothing.
  bool finished = false;
};

/// Cancels the receive being watched once its deadline passes.
///
/// Receives take turns, so one timer on the runtime serves them all. It is
/// never cancelled: cancelling an Asio timer makes a worker thread run the
/// aborted handler, one wake-up per receive, which would double the thread
/// switches of a host that answers at once. The timer is left running for an
/// old deadline instead and, when it fires, either moves on to the deadline of
/// the receive now watched or ends that receive. It is set earlier only when a
/// receive needs an earlier deadline than it is set for.
class ReceiveTimer {
 public:
  explicit ReceiveTimer(Runtime::executor_type runtime);
  ReceiveTimer(const ReceiveTimer&) = delete;
  ReceiveTimer& operator=(const ReceiveTimer&) = delete;
  ~ReceiveTimer();

  /// Watches `wait` instead of any earlier one.
  void watch(std::shared_ptr<TimedWait> wait);
  /// Stops watching; the timer runs out on its own.
  void unwatch();

 private:
  // Shared with the timer's handler, which may run after the owner is gone.
  struct State {
    std::mutex mutex;
    asio::steady_timer* timer;  // null once the owner is destroyed
    std::uint64_t generation = 0;
    bool armed = false;
    std::chrono::steady_clock::time_point armed_for;
    std::shared_ptr<TimedWait> watched;
  };

  static void arm(const std::shared_ptr<State>& state, std::chrono::steady_clock::time_point when);
  static void fired(const std::shared_ptr<State>& state, std::uint64_t generation);

  asio::steady_timer timer_;
  std::shared_ptr<State> state_;
};

}  // namespace ziri
