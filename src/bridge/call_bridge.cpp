#include "bridge/call_bridge.hpp"

#include <charconv>
#include <utility>
#include <vector>

namespace ziri {
namespace {

constexpr std::string_view kIdPrefix = "tool-call-";

std::string request_id(std::uint64_t number) {
  std::string id(kIdPrefix);
  id += std::to_string(number);
  return id;
}

// The number of an id as request_id() writes it; nothing for any other text.
std::optional<std::uint64_t> request_number(std::string_view id) {
  if (!id.starts_with(kIdPrefix)) return std::nullopt;
  id.remove_prefix(kIdPrefix.size());
  if (id.empty() || id.front() < '1' || id.front() > '9') return std::nullopt;
  std::uint64_t number = 0;
  auto [end, error] = std::from_chars(id.data(), id.data() + id.size(), number);
  if (error != std::errc() || end != id.data() + id.size()) return std::nullopt;
  return number;
}

// A deadline that saturates: a limit too large to add to now becomes thirty
// years of 365 days, which no caller will outlive.
std::chrono::steady_clock::time_point deadline_after(std::chrono::milliseconds limit) {
  using namespace std::chrono;
  auto now = steady_clock::now();
  auto room = duration_cast<milliseconds>(steady_clock::time_point::max() - now);
  if (limit >= room) return now + seconds(946'080'000);
  return now + limit;
}

// The value of a reply text, or the message of a tool field whose reply is not JSON.
std::expected<Json, std::string> parsed_reply(std::string_view reply) {
  auto value = parse_json(reply);
  if (!value) return std::unexpected("CallBridge returned invalid JSON: " + value.error());
  return std::move(*value);
}

}  // namespace

std::string failure_reply_text(std::string_view message) {
  static constexpr std::string_view kHead = R"({"isError":true,"json":null,"text":)";
  std::string out;
  out.reserve(kHead.size() + message.size() + 3);
  out += kHead;
  write_json_string(out, message);
  out += '}';
  return out;
}

asio::awaitable<std::expected<Json, std::string>> TokioCallBridge::call_tool(std::string server,
                                                                             std::string tool,
                                                                             std::string operation,
                                                                             Json arguments) {
  const std::uint64_t number = next_request_id_.fetch_add(1, std::memory_order_acq_rel);
  ReplySlot reply;
  if (!register_call(number, reply)) co_return std::unexpected("CallBridge is detached");
  requests_.push(
      std::make_unique<BridgeEnvelope>(request_id(number), std::move(server), std::move(tool),
                                       std::move(arguments), std::move(operation)),
      reply);
  co_return parsed_reply(co_await reply.wait());
}

// Row C1. Registered before the request is queued, so a reply never finds no slot.
bool TokioCallBridge::register_call(std::uint64_t number, ReplySlot& reply) {
  {
    std::lock_guard lock(pending_mutex_);
    pending_responses_.emplace(number, &reply);
  }
  // A detach between the caller's look at the flag and the registration has
  // drained the map already, and nobody would ever answer this call.
  if (attached()) return true;
  // Unless that detach took the entry after all: its reply is in the slot.
  return !take_pending(number);
}

// Rows C3 and C4 (the queue's pop), under R.
std::expected<std::optional<std::string>, std::string> TokioCallBridge::receive_json(
    std::chrono::milliseconds limit) {
  std::unique_ptr<BridgeEnvelope> envelope;
  {
    std::lock_guard turn(receiver_mutex_);
    envelope = requests_.pop(deadline_after(limit));
  }
  if (!envelope) return std::nullopt;
  // Written outside both locks: the text is the host's, not the queue's.
  return request_text(*envelope);
}

ReplySlot* TokioCallBridge::take_pending(std::uint64_t number) {
  std::lock_guard lock(pending_mutex_);
  auto node = pending_responses_.extract(number);
  return node ? node.mapped() : nullptr;
}

// Row R1: the entry leaves the map under P, the reply enters the slot under S.
bool TokioCallBridge::respond(std::string_view request_id, std::string payload) {
  auto number = request_number(request_id);
  ReplySlot* reply = number ? take_pending(*number) : nullptr;
  if (!reply) return false;
  reply->deliver(std::move(payload), ReplyState::replied);
  return true;
}

// Row R1 for every waiting call, then C3's withdraw: drained first, so the
// withdraw sees every drained call's slot as detached.
void TokioCallBridge::detach() {
  attached_.store(false, std::memory_order_release);
  std::unordered_map<std::uint64_t, ReplySlot*> drained;
  {
    // Swapped out whole: clearing would cost the largest size the map ever had.
    std::lock_guard lock(pending_mutex_);
    drained.swap(pending_responses_);
  }
  const std::string text = failure_reply_text("CallBridge is detached");
  for (auto [number, reply] : drained) reply->deliver(text, ReplyState::detached);
  // Their requests still waiting for room go too, or a full queue with
  // nobody receiving would keep those calls waiting.
  requests_.withdraw();
}

}  // namespace ziri
