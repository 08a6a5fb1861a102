// The bounded first-in first-out queue of requests from the calls to the host.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>

#include "bridge/bridge_envelope.hpp"
#include "bridge/reply_slot.hpp"

namespace ziri {

/// Holds at most kCapacity requests for the host. A request that finds it
/// full waits for room behind the others that do, and each receive that takes
/// a request moves the first of them in, so requests reach the host in the
/// order the calls placed them. The call waits meanwhile: its reply slot does
/// not let it go on before its request is placed. Records travel by pointer.
class RequestQueue {
 public:
  static constexpr std::size_t kCapacity = 1024;

  RequestQueue() = default;
  RequestQueue(const RequestQueue&) = delete;
  RequestQueue& operator=(const RequestQueue&) = delete;

  /// Places `envelope` last, or behind the requests waiting for room, and
  /// tells `slot` once it is queued. Never blocks; `slot` must stay until told.
  void push(std::unique_ptr<BridgeEnvelope> envelope, ReplySlot& slot);

  /// Takes the first request, waiting for one until `deadline`; null when none
  /// came. Runs on: a host thread, which it blocks.
  std::unique_ptr<BridgeEnvelope> pop(std::chrono::steady_clock::time_point deadline);

  /// Drops the requests still waiting for room whose calls have their reply,
  /// and lets those calls go on. Runs on: a detaching host thread.
  void withdraw();

 private:
  struct Waiting {
    std::unique_ptr<BridgeEnvelope> envelope;
    ReplySlot* slot;
  };

  std::mutex mutex_;
  std::condition_variable nonempty_;  // host-side receivers wait on it
  std::deque<std::unique_ptr<BridgeEnvelope>> queued_;
  std::deque<Waiting> waiting_;  // for room, first come first
};

}  // namespace ziri
