// The call bridge of one engine: tool calls go out to the host as requests,
// and the host's replies come back to the calls that wait for them.
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
  /// as JSON; a failure is the message that the field reports.
  asio::awaitable<std::expected<Json, std::string>> call_tool(std::string server, std::string tool,
                                                              std::string operation,
                                                              Json arguments);

  /// Takes the next request as text within `limit` (zero: one try), or nothing.
  /// Receives on several threads take turns. Runs on: a host thread, which it blocks.
  std::expected<std::optional<std::string>, std::string> receive_json(
      std::chrono::milliseconds limit);

  /// Hands `payload` to the call waiting under `request_id`; false when none was.
  /// Runs on: a host thread.
  bool respond(std::string_view request_id, std::string payload);

  /// Runs on: a host thread.
  void attach() { attached_.store(true, std::memory_order_release); }
  /// Stops sending tool fields to the host and fails every waiting call.
  /// Runs on: a host thread.
  void detach();
  bool attached() const { return attached_.load(std::memory_order_acquire); }

 private:
  bool register_call(std::uint64_t number, ReplySlot& reply);
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
