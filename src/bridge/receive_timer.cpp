#include "bridge/receive_timer.hpp"

#include <asio/post.hpp>
#include <utility>

namespace ziri {

ReceiveTimer::ReceiveTimer(Runtime::executor_type runtime)
    : timer_(runtime), state_(std::make_shared<State>()) {
  state_->timer = &timer_;
}

ReceiveTimer::~ReceiveTimer() {
  // A handler still queued finds no timer and does nothing.
  std::lock_guard lock(state_->mutex);
  state_->timer = nullptr;
  state_->watched.reset();
}

void ReceiveTimer::watch(std::shared_ptr<TimedWait> wait) {
  std::lock_guard lock(state_->mutex);
  auto deadline = wait->deadline;
  state_->watched = std::move(wait);
  if (!state_->armed || deadline < state_->armed_for) arm(state_, deadline);
}

void ReceiveTimer::unwatch() {
  std::lock_guard lock(state_->mutex);
  state_->watched.reset();
}

// Called with the state's lock held.
void ReceiveTimer::arm(const std::shared_ptr<State>& state,
                       std::chrono::steady_clock::time_point when) {
  // Setting the expiry aborts an outstanding wait, whose handler then sees an
  // older generation; so does a handler that had already fired.
  auto generation = ++state->generation;
  state->armed = true;
  state->armed_for = when;
  state->timer->expires_at(when);
  state->timer->async_wait([state, generation](asio::error_code ec) {
    if (!ec) fired(state, generation);
  });
}

void ReceiveTimer::fired(const std::shared_ptr<State>& state, std::uint64_t generation) {
  std::lock_guard lock(state->mutex);
  if (!state->timer || generation != state->generation) return;
  state->armed = false;
  if (!state->watched) return;  // idle: the next receive sets the timer again
  auto deadline = state->watched->deadline;
  if (std::chrono::steady_clock::now() < deadline) return arm(state, deadline);
  // The receive may be finishing at this moment: its own thread decides.
  auto wait = std::exchange(state->watched, nullptr);
  auto home = wait->home;
  asio::post(home, [wait = std::move(wait)] {
    if (!wait->finished) wait->cancel.emit(asio::cancellation_type::terminal);
  });
}

}  // namespace ziri
