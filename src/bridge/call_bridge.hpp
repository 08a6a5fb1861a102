// The call bridge of one engine: tool calls go out to the host as requests,
// and the host's replies come back to the calls that wait for them.
//
// A call's life. That no call hangs and no reply is lost rests on the order
// of these steps across three files; each function's comment names its row.
// Locks: P = the bridge's pending_mutex_, R = its receiver_mutex_, Q = the
// queue's mutex_, S = the call's reply slot's mutex_. No step holds P with
// R, Q or S; R is held only by a receive, around its Q and S steps.
//
//  row  from -> to                    by (file)                          holds
//  C1   - -> registered               call_tool, register_call (here)    P
//       the id comes from an atomic; the slot is in the map before any
//       request exists, so the host never sees an id without its slot. A
//       detach that ran between the caller's look at `attached` and the
//       insert is undone by taking the entry back (P): taken, the call
//       ends "detached" without a request; not taken, the detach has put
//       its reply in the slot (R1) and the call goes on to C2.
//  C2   registered -> queued          RequestQueue::push (request_queue) Q
//       or -> waiting for room        (queue full, slot not detached)    Q
//       or -> dropped                 (queue full, slot detached)        Q
//       the slot's state is read under Q, the lock withdraw() takes, so a
//       request of a detached call never starts a wait nobody would end.
//  C3   waiting for room -> queued    RequestQueue::pop (a receive)      R, Q
//       waiting for room -> dropped   RequestQueue::withdraw (a detach)  Q
//  C4   queued -> taken by the host   RequestQueue::pop                  R, Q
//       the text is written after both are released (receive_json).
//  R1   - -> reply in slot            respond / detach (here) take the   P
//                                     entry, then ReplySlot::deliver     S
//       deliver stores the slot's state before it takes S, so C2 and C3
//       read a detach under Q without S. A detach drains the map (P)
//       before it withdraws (C3), so every request of a drained call is
//       either waiting and withdrawn, or sees the state and is dropped.
//  P1   queued or dropped -> placed   ReplySlot::request_placed          S
//       (by push, pop or withdraw after they released Q)
//  W1   - -> suspended                ReplySlot::wait / suspend          S
//  X1   suspended + reply + placed    ReplySlot::resume_if_ready         S
//         -> posted                   (reply_slot), whichever of R1, P1
//                                     and W1 comes last
//       the call goes on only when nothing points at its slot any more:
//       the map lost it in R1, the queue's waiting list in C3 or never
//       had it. The post is made under S and the call takes its text
//       under S, so its thread cannot end and destroy its loop while the
//       post still signals that loop.
//
// Why our own queue and slots, not Asio channels: a channel completes
// through its executor, the runtime's workers, before it reaches the
// waiting thread, and a timed receive arms a runtime timer. Side by side
// (BENCHMARKS.md, the bridge's queue and reply slots): a round trip took
// 11.2 us with channels and 4.43 us with these, 2.35x and 0.99x of a
// Python SimpleQueue round trip; 28,900 and 21,400 instructions per round
// trip. The queue is also simpler to reason about: a call waiting for room
// is suspended once, on its reply slot, not once per channel.
#pragma once

#include <asio/awaitable.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "bridge/reply_slot.hpp"
#include "bridge/request_queue.hpp"
#include "common/json.hpp"

namespace ziri {

/// {"isError":true,"json":null,"text":<message>}: the reply text of a failed
/// or detached call, which the call parses back into a tool error result.
std::string failure_reply_text(std::string_view message);

/// The call bridge of one engine. Calls run on the loops of the threads that
/// run their queries; the host side blocks host threads. Neither side runs
/// the other's code: a call resumed by the host is posted to its own loop.
class TokioCallBridge {
 public:
  TokioCallBridge() = default;
  TokioCallBridge(const TokioCallBridge&) = delete;
  TokioCallBridge& operator=(const TokioCallBridge&) = delete;

  /// Queues one request and waits, without a time limit, for its reply parsed
  /// as JSON; a failure is the message that the field reports. Rows C1, C2, W1.
  asio::awaitable<std::expected<Json, std::string>> call_tool(std::string server, std::string tool,
                                                              std::string operation,
                                                              Json arguments);

  /// Takes the next request as text within `limit` (zero: one try), or nothing.
  /// Receives on several threads take turns. Rows C3, C4. Runs on: a host
  /// thread, which it blocks. Never fails today: every Json value has a text.
  /// The failure stays in the type because the host's contract has one (a
  /// ValueError "CallBridge request was not serializable: ..."), and a writer
  /// that can refuse, say at a size bound, would report it here.
  std::expected<std::optional<std::string>, std::string> receive_json(
      std::chrono::milliseconds limit);

  /// Hands `payload` to the call waiting under `request_id`; false when none was.
  /// Row R1. Runs on: a host thread.
  bool respond(std::string_view request_id, std::string payload);

  /// Runs on: a host thread.
  void attach() { attached_.store(true, std::memory_order_release); }
  /// Stops sending tool fields to the host and fails every waiting call.
  /// Rows R1, then C3 (withdraw). Runs on: a host thread.
  void detach();
  bool attached() const { return attached_.load(std::memory_order_acquire); }

 private:
  // Row C1: false when a detach came first and the call must end now.
  bool register_call(std::uint64_t number, ReplySlot& reply);
  // Takes the entry under P (rows C1 and R1).
  ReplySlot* take_pending(std::uint64_t number);

  RequestQueue requests_;
  std::mutex receiver_mutex_;  // held for a whole receive, so receives take turns
  std::mutex pending_mutex_;   // held only for one insert, removal or drain
  // Keyed by the number of the id: ids are written one way only, so equal
  // numbers mean byte-for-byte equal ids. The slots live in the calls' frames.
  std::unordered_map<std::uint64_t, ReplySlot*> pending_responses_;
  std::atomic<std::uint64_t> next_request_id_{1};
  std::atomic<bool> attached_{false};
};

}  // namespace ziri
