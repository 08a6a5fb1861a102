#include "bridge/reply_slot.hpp"

#include <asio/async_result.hpp>
#include <asio/use_awaitable.hpp>

namespace ziri {

void ReplySlot::deliver(std::string text) {
  std::unique_lock lock(mutex_);
  if (!waiter_) {
    text_ = std::move(text);
    return;
  }
  auto waiter = std::exchange(waiter_, {});
  lock.unlock();
  std::move(waiter).resume(std::move(text));
}

asio::awaitable<std::string> ReplySlot::wait() {
  return asio::async_initiate<const asio::use_awaitable_t<>&, void(std::string)>(
      [this](auto waiter) { suspend(Suspended<std::string>(std::move(waiter))); },
      asio::use_awaitable);
}

void ReplySlot::suspend(Suspended<std::string> waiter) {
  std::unique_lock lock(mutex_);
  if (!text_) {
    waiter_ = std::move(waiter);
    return;
  }
  // Delivered before the call asked: it goes on at its loop's next turn.
  std::string text = *std::exchange(text_, std::nullopt);
  lock.unlock();
  std::move(waiter).resume(std::move(text));
}

}  // namespace ziri
