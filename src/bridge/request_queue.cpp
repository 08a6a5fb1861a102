#include "bridge/request_queue.hpp"

#include <asio/async_result.hpp>
#include <asio/use_awaitable.hpp>
#include <vector>

namespace ziri {

asio::awaitable<void> RequestQueue::push(std::unique_ptr<BridgeEnvelope> envelope,
                                         const std::atomic<ReplyState>& reply) {
  Placed placed;
  {
    std::lock_guard lock(mutex_);
    placed = place(envelope, reply);
  }
  if (placed == Placed::queued) nonempty_.notify_one();
  if (placed != Placed::full) co_return;
  co_await asio::async_initiate<const asio::use_awaitable_t<>&, void()>(
      [&](auto resume) { suspend({std::move(envelope), &reply, Suspended<>(std::move(resume))}); },
      asio::use_awaitable);
}

RequestQueue::Placed RequestQueue::place(std::unique_ptr<BridgeEnvelope>& envelope,
                                         const std::atomic<ReplyState>& reply) {
  if (queued_.size() < kCapacity) {
    queued_.push_back(std::move(envelope));
    return Placed::queued;
  }
  // Read under the lock that withdraw() takes, so a call detached just
  // before it gets here cannot start a wait that nobody would end.
  if (reply.load() == ReplyState::detached) {
    envelope.reset();
    return Placed::dropped;
  }
  return Placed::full;
}

void RequestQueue::suspend(Sender sender) {
  Placed placed;
  {
    std::lock_guard lock(mutex_);
    // Room may have come, or a detach, since push() looked.
    placed = place(sender.envelope, *sender.reply);
    if (placed == Placed::full) {
      senders_.push_back(std::move(sender));
      return;
    }
  }
  if (placed == Placed::queued) nonempty_.notify_one();
  std::move(sender.resume).resume();
}

std::unique_ptr<BridgeEnvelope> RequestQueue::pop(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  if (!nonempty_.wait_until(lock, deadline, [this] { return !queued_.empty(); })) return nullptr;
  auto envelope = std::move(queued_.front());
  queued_.pop_front();
  if (senders_.empty()) return envelope;
  // The place just freed goes to the call that has waited longest.
  Sender first = std::move(senders_.front());
  senders_.pop_front();
  queued_.push_back(std::move(first.envelope));
  lock.unlock();
  std::move(first.resume).resume();
  return envelope;
}

void RequestQueue::withdraw() {
  std::vector<Suspended<>> ended;
  {
    std::lock_guard lock(mutex_);
    std::deque<Sender> still_waiting;
    for (auto& sender : senders_) {
      if (sender.reply->load() != ReplyState::none) {
        ended.push_back(std::move(sender.resume));
      } else {
        still_waiting.push_back(std::move(sender));
      }
    }
    senders_ = std::move(still_waiting);
  }
  for (auto& sender : ended) std::move(sender).resume();
}

}  // namespace ziri
