#include "bridge/request_queue.hpp"

#include <vector>

namespace ziri {

// Row C2, then P1 once Q is released.
void RequestQueue::push(std::unique_ptr<BridgeEnvelope> envelope, ReplySlot& slot) {
  bool queued = false;
  {
    std::lock_guard lock(mutex_);
    if (queued_.size() >= kCapacity) {
      // Read under the lock that withdraw() takes, so a request of a call
      // detached just before cannot start a wait that nobody would end.
      if (slot.state() != ReplyState::detached) {
        waiting_.push_back({std::move(envelope), &slot});
        return;
      }
      envelope.reset();
    } else {
      queued_.push_back(std::move(envelope));
      queued = true;
    }
  }
  if (queued) nonempty_.notify_one();
  slot.request_placed();
}

// Rows C4 and C3 (the first request waiting for room moves in), then P1.
std::unique_ptr<BridgeEnvelope> RequestQueue::pop(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  if (!nonempty_.wait_until(lock, deadline, [this] { return !queued_.empty(); })) return nullptr;
  auto envelope = std::move(queued_.front());
  queued_.pop_front();
  if (waiting_.empty()) return envelope;
  // The place just freed goes to the request that has waited longest.
  Waiting first = std::move(waiting_.front());
  waiting_.pop_front();
  queued_.push_back(std::move(first.envelope));
  lock.unlock();
  first.slot->request_placed();
  return envelope;
}

// Row C3 for the requests of calls that have their reply, then P1.
void RequestQueue::withdraw() {
  std::vector<ReplySlot*> released;
  {
    std::lock_guard lock(mutex_);
    std::deque<Waiting> still_waiting;
    for (auto& request : waiting_) {
      if (request.slot->state() == ReplyState::none) {
        still_waiting.push_back(std::move(request));
      } else {
        released.push_back(request.slot);
      }
    }
    waiting_.swap(still_waiting);
  }
  for (ReplySlot* slot : released) slot->request_placed();
}

}  // namespace ziri
