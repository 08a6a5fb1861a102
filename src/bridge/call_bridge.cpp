#include "bridge/call_bridge.hpp"

#include <asio/as_tuple.hpp>
#include <asio/bind_cancellation_slot.hpp>
#include <asio/bind_immediate_executor.hpp>
#include <asio/deferred.hpp>
#include <asio/experimental/parallel_group.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <tuple>
#include <vector>

#include "execution/envelope.hpp"

namespace ziri {
namespace {

// A receive that finds a value already waiting completes "immediately", which
// by default means through the channel's executor: a runtime worker, which
// then wakes this thread, two thread switches for a value that is right here.
// So a value at hand is taken with a try first, and one that arrives between
// the try and the wait completes through this thread's own loop (never
// inline: the channel holds its lock while it completes).
template <class T, class Channel>
std::optional<std::tuple<asio::error_code, T>> try_take(Channel& channel) {
  std::optional<std::tuple<asio::error_code, T>> taken;
  channel.try_receive([&](asio::error_code ec, T value) { taken.emplace(ec, std::move(value)); });
  return taken;
}

auto completing_here(const asio::any_io_executor& here) {
  return asio::as_tuple(asio::bind_immediate_executor(
      asio::require(here, asio::execution::blocking.never), asio::use_awaitable));
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

// Closes the reply slot when the waiting call ends, so that a late delivery
// reports that nobody took it.
struct ReceiverGuard {
  ReplySender::Channel& channel;
  ~ReceiverGuard() { channel.close(); }
};

// The value of a reply text, or the message of a tool field whose reply is not JSON.
std::expected<Json, std::string> parsed_reply(std::string_view reply) {
  auto value = parse_json(reply);
  if (!value) return std::unexpected("CallBridge returned invalid JSON: " + value.error());
  return std::move(*value);
}

}  // namespace

std::string request_text(const BridgeEnvelope& envelope) {
  std::string out;
  out.reserve(128);
  out += R"({"request_id":)";
  write_json_string(out, envelope.request_id);
  out += R"(,"server":)";
  write_json_string(out, envelope.server);
  out += R"(,"tool":)";
  write_json_string(out, envelope.tool);
  out += R"(,"arguments":)";
  write_json(out, envelope.arguments);
  out += R"(,"operation":)";
  write_json_string(out, envelope.operation);
  out += '}';
  return out;
}

ReplySender::~ReplySender() {
  if (channel_) channel_->close();
}

bool ReplySender::deliver(std::string text) && {
  auto channel = std::move(channel_);
  // Dispatching hands the reply straight to the waiting call's thread; a
  // plain send would go through a runtime worker first.
  return channel->try_send_via_dispatch(asio::error_code{}, std::move(text));
}

TokioCallBridge::TokioCallBridge(std::shared_ptr<Runtime> runtime)
    : runtime_(std::move(runtime)),
      requests_(runtime_->get_executor(), kQueueCapacity),
      receive_timer_(runtime_->get_executor()) {}

asio::awaitable<std::expected<Json, std::string>> TokioCallBridge::call_tool(std::string server,
                                                                             std::string tool,
                                                                             std::string operation,
                                                                             Json arguments) {
  std::string id = "tool-call-" + std::to_string(next_request_id_.fetch_add(1));
  auto slot = std::make_shared<ReplySender::Channel>(runtime_->get_executor(), 1);
  ReceiverGuard receiver{*slot};
  {
    // Registered before queuing so that a reply can never find no slot.
    std::lock_guard lock(pending_mutex_);
    pending_responses_.emplace(id, ReplySender(slot));
  }
  // A detach that ran between the caller's look at the flag and the
  // registration above has drained the map already; nobody would ever answer.
  if (!attached_.load()) {
    if (take_pending(id)) co_return std::unexpected("CallBridge is detached");
    // Otherwise the detach took the entry and its reply is in the slot.
  } else {
    auto envelope = std::make_unique<BridgeEnvelope>(id, std::move(server), std::move(tool),
                                                     std::move(arguments), std::move(operation));
    // A failed try leaves the envelope as it was, so it can still be sent.
    if (!requests_.try_send_via_dispatch(asio::error_code{}, std::move(envelope))) {
      // The queue is full and only a receive makes room. A reply (a detach, or
      // an answer by id) ends the wait as well: otherwise a detach with a full
      // queue and nobody receiving would leave the call waiting forever.
      auto [order, send_ec, receive_ec, early] =
          co_await asio::experimental::make_parallel_group(
              requests_.async_send(asio::error_code{}, std::move(envelope), asio::deferred),
              slot->async_receive(asio::deferred))
              .async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
      if (!receive_ec) co_return parsed_reply(early);
      if (order[0] == 1) co_return std::unexpected("CallBridge response channel is closed");
      if (send_ec) {
        take_pending(id);
        co_return std::unexpected("CallBridge request channel is closed");
      }
    }
  }
  auto taken = try_take<std::string>(*slot);
  if (!taken) {
    taken = co_await slot->async_receive(completing_here(co_await asio::this_coro::executor));
  }
  auto& [ec, reply] = *taken;
  if (ec) co_return std::unexpected("CallBridge response channel is closed");
  co_return parsed_reply(reply);
}

std::expected<std::optional<std::string>, std::string> TokioCallBridge::receive_json(
    std::chrono::milliseconds limit) {
  std::unique_ptr<BridgeEnvelope> envelope;
  {
    std::unique_lock lock(receiver_mutex_);
    if (auto taken = try_take<std::unique_ptr<BridgeEnvelope>>(requests_)) {
      if (!std::get<0>(*taken)) envelope = std::move(std::get<1>(*taken));
    } else if (limit.count() != 0) {
      auto wait = std::make_shared<TimedWait>(deadline_after(limit));
      envelope = Runtime::block_on(
          [](RequestChannel& requests, ReceiveTimer& timer,
             std::shared_ptr<TimedWait> wait) -> asio::awaitable<std::unique_ptr<BridgeEnvelope>> {
            wait->home = co_await asio::this_coro::executor;
            timer.watch(wait);
            // The request completes straight on this thread; only the timer
            // involves the runtime's workers.
            auto [ec, taken] = co_await requests.async_receive(
                asio::bind_cancellation_slot(wait->cancel.slot(), completing_here(wait->home)));
            // A cancellation that comes now finds the wait over, so a request
            // taken just as the deadline passed is kept rather than lost.
            wait->finished = true;
            timer.unwatch();
            if (ec) co_return nullptr;
            co_return std::move(taken);
          }(requests_, receive_timer_, std::move(wait)));
    }
  }
  if (!envelope) return std::nullopt;
  // Written outside both locks: the text is the host's, not the queue's.
  return request_text(*envelope);
}

std::optional<ReplySender> TokioCallBridge::take_pending(std::string_view request_id) {
  std::lock_guard lock(pending_mutex_);
  auto it = pending_responses_.find(request_id);
  if (it == pending_responses_.end()) return std::nullopt;
  std::optional<ReplySender> sender(std::move(it->second));
  pending_responses_.erase(it);
  return sender;
}

bool TokioCallBridge::respond(std::string_view request_id, std::string payload) {
  auto sender = take_pending(request_id);
  return sender && std::move(*sender).deliver(std::move(payload));
}

void TokioCallBridge::detach() {
  attached_.store(false);
  std::vector<ReplySender> senders;
  {
    std::lock_guard lock(pending_mutex_);
    senders.reserve(pending_responses_.size());
    for (auto& [id, sender] : pending_responses_) senders.push_back(std::move(sender));
    pending_responses_.clear();
  }
  const std::string text = tool_error_text("CallBridge is detached");
  for (auto& sender : senders) std::move(sender).deliver(text);
}

}  // namespace ziri
