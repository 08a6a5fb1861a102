// Reply text through the bridge: one call_tool answered with the input via
// respond(), all on the fuzzer's thread. The call's result is exactly what
// parse_json makes of the text, or a tool error text that begins
// "CallBridge returned invalid JSON: "; which of the two agrees with an
// independent reading of the text, and a value's written text reads back to
// the same text.
#include <asio/co_spawn.hpp>
#include <asio/deferred.hpp>
#include <asio/experimental/parallel_group.hpp>
#include <asio/post.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "bridge/call_bridge.hpp"
#include "common/json.hpp"
#include "execution/block_on.hpp"
#include "execution/runtime.hpp"
#include "independent.hpp"

namespace {

using Reply = std::expected<ziri::Json, std::string>;
constexpr std::string_view kPrefix = "CallBridge returned invalid JSON: ";

struct Bridge {
  std::shared_ptr<ziri::Runtime> runtime = std::make_shared<ziri::Runtime>(1);
  ziri::TokioCallBridge bridge;
  Bridge() { bridge.attach(); }
};

// Takes the request that the call has queued and answers it with `text`.
asio::awaitable<bool> answer(ziri::TokioCallBridge& bridge, std::string text) {
  auto executor = co_await asio::this_coro::executor;
  for (int turn = 0; turn < 1000; ++turn) {
    auto request = bridge.receive_json(std::chrono::milliseconds(0));
    fuzz::require(request.has_value(), "receiving without waiting works");
    if (*request) {
      auto parsed = ziri::parse_json(**request);
      fuzz::require(parsed.has_value(), "the request text is JSON", **request);
      const ziri::Json* id = parsed->get_if<ziri::JsonObject>()->find("request_id");
      co_return bridge.respond(*id->get_if<std::string>(), std::move(text));
    }
    co_await asio::post(executor, asio::use_awaitable);  // let the call run on
  }
  fuzz::violated("the call queued its request");
}

asio::awaitable<std::pair<Reply, bool>> call_and_answer(ziri::TokioCallBridge& bridge,
                                                        std::string text) {
  auto executor = co_await asio::this_coro::executor;
  auto [order, call_failure, reply, answer_failure, delivered] =
      co_await asio::experimental::make_parallel_group(
          asio::co_spawn(executor, bridge.call_tool("s", "t", "query", ziri::Json()),
                         asio::deferred),
          asio::co_spawn(executor, answer(bridge, std::move(text)), asio::deferred))
          .async_wait(asio::experimental::wait_for_all(), asio::use_awaitable);
  fuzz::require(!call_failure && !answer_failure, "neither side throws");
  co_return std::pair{std::move(reply), delivered};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Bridge state;
  std::string text(reinterpret_cast<const char*>(data), size);
  auto [reply, delivered] = ziri::block_on(call_and_answer(state.bridge, text));
  fuzz::require(delivered, "respond() reaches the waiting call");

  auto parsed = ziri::parse_json(text);
  fuzz::Doc doc = fuzz::read(text);
  bool acceptable = doc && fuzz::container_depth(yyjson_doc_get_root(doc.get())) <= fuzz::kMaxDepth;
  fuzz::require(parsed.has_value() == acceptable, "valid exactly when strict JSON of bounded depth",
                parsed ? "" : parsed.error());
  if (!parsed) {
    fuzz::require(!reply && reply.error() == std::string(kPrefix) + parsed.error(),
                  "an unreadable reply is the reader's message after the prefix",
                  reply ? "a value" : reply.error());
    return 0;
  }
  fuzz::require(reply.has_value(), "a readable reply is a value", reply ? "" : reply.error());
  fuzz::require(*reply == *parsed, "the value is the reader's");
  // The host gets the value as written text; read back, it writes the same
  // text again. (Compared as text: "-0" reads as a signed and "0" as an
  // unsigned zero, the same number.)
  std::string written = ziri::to_json(*reply);
  auto again = ziri::parse_json(written);
  fuzz::require(again.has_value(), "the written value reads back", written);
  fuzz::require(ziri::to_json(*again) == written, "the written value reads back the same", written);
  return 0;
}
