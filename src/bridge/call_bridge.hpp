// The queue of tool-call requests between queries and the host, and the
// reply slots that queries wait on.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/experimental/concurrent_channel.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "bridge/receive_timer.hpp"
#include "common/json.hpp"
#include "execution/runtime.hpp"

namespace ziri {

/// One queued tool-call request. Owns copies of everything it carries.
struct BridgeEnvelope {
  std::string request_id;
  std::string server;
  std::string tool;
  Json arguments;
  std::string operation;
};

/// Returns the request text of one envelope, members in their fixed order.
std::string request_text(const BridgeEnvelope& envelope);

/// The sending half of a one-shot reply slot. Dropping it undelivered closes
/// the slot, so the waiting call learns that no reply will come.
class ReplySender {
 public:
  using Channel = asio::experimental::concurrent_channel<void(asio::error_code, std::string)>;

  explicit ReplySender(std::shared_ptr<Channel> channel) : channel_(std::move(channel)) {}
  ReplySender(ReplySender&&) = default;
  ReplySender& operator=(ReplySender&&) = default;
  ~ReplySender();

  /// Delivers `text`; false when the waiting call is gone.
  bool deliver(std::string text) &&;

 private:
  std::shared_ptr<Channel> channel_;
};

/// The call bridge of one engine.
class TokioCallBridge {
 public:
  static constexpr std::size_t kQueueCapacity = 1024;

  explicit TokioCallBridge(std::shared_ptr<Runtime> runtime);
  TokioCallBridge(const TokioCallBridge&) = delete;
  TokioCallBridge& operator=(const TokioCallBridge&) = delete;

  /// Queues one request and waits, without a time limit, for its reply parsed
  /// as JSON; a failure is the message that the field reports.
  asio::awaitable<std::expected<Json, std::string>> call_tool(std::string server, std::string tool,
                                                              std::string operation,
                                                              Json arguments);

  /// Takes the next request as text within `limit` (zero: one try), or nothing.
  /// Blocks the calling thread; receives on several threads take turns.
  std::expected<std::optional<std::string>, std::string> receive_json(
      std::chrono::milliseconds limit);

  /// Hands `payload` to the call waiting under `request_id`; false when none was.
  bool respond(std::string_view request_id, std::string payload);

  void attach() { attached_.store(true); }
  /// Stops sending tool fields to the host and fails every waiting call.
  void detach();
  bool attached() const { return attached_.load(); }

 private:
  // Records travel by pointer: a record changes hands a score of times between
  // the call and the host inside the channel, and a pointer moves for free.
  using RequestChannel = asio::experimental::concurrent_channel<void(
      asio::error_code, std::unique_ptr<BridgeEnvelope>)>;

  struct IdHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view id) const { return std::hash<std::string_view>{}(id); }
  };

  std::optional<ReplySender> take_pending(std::string_view request_id);

  // Held so that the channels' executor outlives them.
  std::shared_ptr<Runtime> runtime_;
  RequestChannel requests_;
  std::mutex receiver_mutex_;  // held for a whole receive, so receives take turns
  ReceiveTimer receive_timer_;
  std::mutex pending_mutex_;  // held only for one insert, removal or drain
  std::unordered_map<std::string, ReplySender, IdHash, std::equal_to<>> pending_responses_;
  std::atomic<std::uint64_t> next_request_id_{1};
  std::atomic<bool> attached_{false};
};

}  // namespace ziri
