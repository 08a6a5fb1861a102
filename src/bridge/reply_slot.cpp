#include "bridge/reply_slot.hpp"

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <utility>

namespace ziri {

// Row R1.
void ReplySlot::deliver(std::string text, ReplyState from) {
  // Stored first: the queue reads it without this lock.
  state_.store(from, std::memory_order_release);
  std::unique_lock lock(mutex_);
  text_ = std::move(text);
  resume_if_ready(lock);
}

// Row P1.
void ReplySlot::request_placed() {
  std::unique_lock lock(mutex_);
  placed_ = true;
  resume_if_ready(lock);
}

asio::awaitable<std::string> ReplySlot::wait() {
  return asio::async_initiate<const asio::use_awaitable_t<>&, void(std::string)>(
      [this](auto waiter) {
        auto home = asio::get_associated_executor(waiter);
        suspend(std::move(home), std::move(waiter));
      },
      asio::use_awaitable);
}

// Row W1.
void ReplySlot::suspend(asio::any_io_executor home, Waiter waiter) {
  std::unique_lock lock(mutex_);
  home_ = std::move(home);
  waiter_ = std::move(waiter);
  resume_if_ready(lock);
}

// Row X1: whichever of R1, P1 and W1 comes last posts the call.
void ReplySlot::resume_if_ready(std::unique_lock<std::mutex>& lock) {
  if (!waiter_ || !text_ || !placed_) return;
  // Posted with the lock held, and the call takes its text under the lock:
  // it cannot finish, nor its thread end and destroy its loop, while this
  // post is still signalling that loop.
  asio::post(std::exchange(home_, {}), [this, waiter = std::exchange(waiter_, {})]() mutable {
    std::unique_lock lock(mutex_);
    std::string text = *std::exchange(text_, std::nullopt);
    lock.unlock();
    waiter(std::move(text));
  });
  lock.unlock();
}

}  // namespace ziri
