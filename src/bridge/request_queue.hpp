// The bounded first-in first-out queue of requests from the calls to the host.
#pragma once

#include <asio/awaitable.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "bridge/bridge_envelope.hpp"
#include "bridge/suspended.hpp"

namespace ziri {

/// Where a call's reply stands, as far as its wait for room is concerned.
enum class ReplyState : std::uint8_t {
  none,      // waits for room until a receive makes some
  replied,   // answered early: waits for room too, but a detach may end that
  detached,  // failed by a detach: never starts a wait for room
};

/// Holds at most kCapacity requests. Calls that find it full suspend, in
/// arrival order, and each receive that takes a request moves the first of
/// them in, so requests reach the host in the order the calls placed them.
/// Records travel by pointer: they change hands several times on the way.
class RequestQueue {
 public:
  static constexpr std::size_t kCapacity = 1024;

  RequestQueue() = default;
  RequestQueue(const RequestQueue&) = delete;
  RequestQueue& operator=(const RequestQueue&) = delete;

  /// Places `envelope` last. While the queue is full the call waits for room;
  /// only withdraw() ends that wait without queuing, for a call that has its
  /// reply by then. `reply` must outlive the wait.
  asio::awaitable<void> push(std::unique_ptr<BridgeEnvelope> envelope,
                             const std::atomic<ReplyState>& reply);

  /// Takes the first request, waiting for one until `deadline`; null when none
  /// came. Runs on: a host thread, which it blocks.
  std::unique_ptr<BridgeEnvelope> pop(std::chrono::steady_clock::time_point deadline);

  /// Ends, without queuing their requests, the waits for room of the calls
  /// that have their reply. Runs on: a detaching host thread.
  void withdraw();

 private:
  // A call suspended while the queue is full.
  struct Sender {
    std::unique_ptr<BridgeEnvelope> envelope;
    const std::atomic<ReplyState>* reply;
    Suspended<> resume;
  };

  enum class Placed { queued, dropped, full };
  // Queues the envelope when there is room, drops it for a detached call,
  // else leaves it. Called with mutex_ held.
  Placed place(std::unique_ptr<BridgeEnvelope>& envelope, const std::atomic<ReplyState>& reply);
  void suspend(Sender sender);

  std::mutex mutex_;
  std::condition_variable nonempty_;  // host-side receivers wait on it
  std::deque<std::unique_ptr<BridgeEnvelope>> queued_;
  std::deque<Sender> senders_;  // waiting for room, first come first
};

}  // namespace ziri
