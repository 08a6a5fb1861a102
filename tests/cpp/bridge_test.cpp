// The call bridge driven from several threads at once, as the Python hosts
// drive it: queries block on their own threads while others receive, answer,
// detach and release. Built with ThreadSanitizer by `tools/check tsan`; the
// ordinary build runs them for their results.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/deferred.hpp>
#include <asio/experimental/parallel_group.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bridge/call_bridge.hpp"
#include "execution/block_on.hpp"
#include "execution/envelope.hpp"
#include "execution/runtime.hpp"
#include "threads.hpp"

namespace ziri {
namespace {

using namespace std::chrono_literals;
using testing_threads::kDeadline;
using testing_threads::Threads;
using Reply = std::expected<Json, std::string>;

struct Fixture {
  std::shared_ptr<Runtime> runtime = std::make_shared<Runtime>(2);
  std::shared_ptr<TokioCallBridge> bridge = std::make_shared<TokioCallBridge>();
};

Reply call(TokioCallBridge& bridge, Json arguments) {
  return block_on(bridge.call_tool("s", "t", "query", std::move(arguments)));
}

// `count` calls of one query, all made together as the query's tool fields
// are; replies in call order. `arguments(n)` gives the n-th call's arguments.
asio::awaitable<std::vector<Reply>> calls_together(TokioCallBridge& bridge, int count,
                                                   std::function<Json(int)> arguments) {
  auto executor = co_await asio::this_coro::executor;
  using Operation = decltype(asio::co_spawn(executor, bridge.call_tool("s", "t", "query", Json()),
                                            asio::deferred));
  std::vector<Operation> operations;
  for (int n = 0; n < count; ++n) {
    operations.push_back(asio::co_spawn(executor, bridge.call_tool("s", "t", "query", arguments(n)),
                                        asio::deferred));
  }
  auto [order, failures, replies] =
      co_await asio::experimental::make_parallel_group(std::move(operations))
          .async_wait(asio::experimental::wait_for_all(), asio::use_awaitable);
  for (auto& failure : failures) EXPECT_FALSE(failure);
  co_return std::move(replies);
}

struct Received {
  std::string id;
  Json arguments;
};

// Parses one request text; fails the test when it is not what call_tool queues.
std::optional<Received> received_from(const std::string& text) {
  auto request = parse_json(text);
  EXPECT_TRUE(request) << text;
  const auto* object = request ? request->get_if<JsonObject>() : nullptr;
  const Json* id = object ? object->find("request_id") : nullptr;
  const Json* arguments = object ? object->find("arguments") : nullptr;
  if (!id || !id->is<std::string>() || !arguments) {
    ADD_FAILURE() << "malformed request: " << text;
    return std::nullopt;
  }
  return Received{*id->get_if<std::string>(), *arguments};
}

Json arguments_of(int caller, int n) {
  JsonObject object;
  object.insert_or_assign("caller", caller);
  object.insert_or_assign("n", n);
  return object;
}

// Results compared as text: readable in failures, and blind to whether a
// number was read as signed or unsigned.
std::string text_of(const Reply& reply) {
  return reply ? to_json(*reply) : "error: " + reply.error();
}

std::string echo_of(int caller, int n) { return to_json(arguments_of(caller, n)); }

const std::string kDetachedResult = to_json(tool_error_result("CallBridge is detached"));

// Host threads that take requests until told to stop and the queue is empty,
// and answer each one with its own arguments. Every id must come once.
class EchoHosts {
 public:
  EchoHosts(TokioCallBridge& bridge, Threads& threads, int count,
            std::chrono::milliseconds limit = 5ms)
      : bridge_(bridge), limit_(limit) {
    for (int i = 0; i < count; ++i) threads.start([this] { serve(); });
  }
  void stop() { stop_.store(true); }
  std::size_t delivered() const { return delivered_.load(); }
  std::size_t taken() {
    std::lock_guard lock(mutex_);
    return ids_.size();
  }

 private:
  void serve() {
    while (true) {
      auto text = bridge_.receive_json(limit_);
      ASSERT_TRUE(text) << text.error();
      if (!*text) {
        if (stop_.load()) return;
        continue;
      }
      auto request = received_from(**text);
      if (!request) continue;
      {
        std::lock_guard lock(mutex_);
        EXPECT_TRUE(ids_.insert(request->id).second) << "received twice: " << request->id;
      }
      if (bridge_.respond(request->id, to_json(request->arguments))) ++delivered_;
      // A second answer to the same id never lands.
      EXPECT_FALSE(bridge_.respond(request->id, "0"));
    }
  }

  TokioCallBridge& bridge_;
  const std::chrono::milliseconds limit_;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> delivered_{0};
  std::mutex mutex_;
  std::set<std::string> ids_;
};

TEST(BridgeThreads, EveryCallGetsTheReplyToItsOwnRequest) {
  Fixture f;
  f.bridge->attach();
  constexpr int kCallers = 4, kCalls = 150;
  Threads hosts_threads, callers;
  EchoHosts hosts(*f.bridge, hosts_threads, 3);
  for (int c = 0; c < kCallers; ++c) {
    callers.start([&, c] {
      for (int n = 0; n < kCalls; ++n) {
        EXPECT_EQ(text_of(call(*f.bridge, arguments_of(c, n))), echo_of(c, n));
      }
    });
  }
  callers.join();
  hosts.stop();
  hosts_threads.join();
  EXPECT_EQ(hosts.taken(), std::size_t{kCallers * kCalls});
  EXPECT_EQ(hosts.delivered(), std::size_t{kCallers * kCalls});
}

// Receives that time out every millisecond while calls keep arriving: a request
// that comes just as a receive's timer fires is taken by that receive or a
// later one, never dropped. A dropped one leaves its call waiting for good, so
// the bridge is detached at the deadline to end it and report it.
TEST(BridgeThreads, NoRequestIsLostToAReceiveThatTimesOut) {
  Fixture f;
  f.bridge->attach();
  constexpr int kCallers = 3, kCalls = 300;
  Threads hosts_threads, callers;
  EchoHosts hosts(*f.bridge, hosts_threads, 2, 1ms);
  for (int c = 0; c < kCallers; ++c) {
    callers.start([&, c] {
      for (int n = 0; n < kCalls; ++n) {
        EXPECT_EQ(text_of(call(*f.bridge, arguments_of(c, n))), echo_of(c, n));
        // Arrivals spread over the receivers' timer periods.
        std::this_thread::sleep_for(std::chrono::microseconds((c * 337 + n * 113) % 1000));
      }
    });
  }
  callers.join([&] { f.bridge->detach(); });
  hosts.stop();
  hosts_threads.join();
  EXPECT_EQ(hosts.delivered(), std::size_t{kCallers * kCalls});
}

// Many calls of one query run together on the caller's thread; more of them
// than the queue holds, so sending suspends until receivers make room.
TEST(BridgeThreads, ParallelCallsOfOneQueryOverflowTheQueue) {
  Fixture f;
  f.bridge->attach();
  constexpr int kCalls = static_cast<int>(RequestQueue::kCapacity) + 100;
  Threads hosts_threads, callers;
  EchoHosts hosts(*f.bridge, hosts_threads, 3);
  callers.start([&] {
    std::vector<Reply> replies =
        block_on(calls_together(*f.bridge, kCalls, [](int n) { return arguments_of(0, n); }));
    ASSERT_EQ(replies.size(), std::size_t{kCalls});
    for (int n = 0; n < kCalls; ++n) EXPECT_EQ(text_of(replies[n]), echo_of(0, n));
  });
  callers.join();
  hosts.stop();
  hosts_threads.join();
  EXPECT_EQ(hosts.delivered(), std::size_t{kCalls});
}

// More calls than the queue holds, and nobody receives: the calls beyond its
// capacity wait for room. A detach ends every one of them all the same: the
// pending ones with its failure, and one answered by id while its request
// waited for room with that answer.
TEST(BridgeThreads, DetachEndsCallsThatWaitForRoomInTheQueue) {
  Fixture f;
  f.bridge->attach();
  constexpr int kCalls = static_cast<int>(RequestQueue::kCapacity) + 50;
  const std::string last_id = "tool-call-" + std::to_string(kCalls);
  Threads threads;
  threads.start([&] {
    std::vector<Reply> replies =
        block_on(calls_together(*f.bridge, kCalls, [](int) { return Json(); }));
    ASSERT_EQ(replies.size(), std::size_t{kCalls});
    EXPECT_EQ(text_of(replies.back()), R"("early")");
    replies.pop_back();
    for (const Reply& reply : replies) EXPECT_EQ(text_of(reply), kDetachedResult);
  });
  threads.start([&] {
    auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (!f.bridge->respond(last_id, R"("early")")) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline);
      std::this_thread::sleep_for(1ms);
    }
    f.bridge->detach();
  });
  threads.join();
}

// Detach and attach flip while calls are made and answered. Every call ends,
// with its own reply exactly when a respond() for it succeeded, and otherwise
// with the detached result or error.
TEST(BridgeThreads, DetachRacingCallsAndRepliesNeverHangsOrMisdelivers) {
  Fixture f;
  f.bridge->attach();
  constexpr int kCallers = 4, kCalls = 200;
  std::atomic<std::size_t> echoed{0};
  std::atomic<bool> calls_done{false};
  Threads hosts_threads, callers, flipper;
  EchoHosts hosts(*f.bridge, hosts_threads, 2);
  flipper.start([&] {
    while (!calls_done.load()) {
      f.bridge->detach();
      std::this_thread::yield();
      f.bridge->attach();
      std::this_thread::sleep_for(100us);
    }
  });
  for (int c = 0; c < kCallers; ++c) {
    callers.start([&, c] {
      for (int n = 0; n < kCalls; ++n) {
        std::string text = text_of(call(*f.bridge, arguments_of(c, n)));
        if (text == echo_of(c, n)) {
          ++echoed;
        } else if (text != "error: CallBridge is detached") {
          EXPECT_EQ(text, kDetachedResult);
        }
      }
    });
  }
  callers.join();
  calls_done.store(true);
  flipper.join();
  hosts.stop();
  hosts_threads.join();
  EXPECT_EQ(echoed.load(), hosts.delivered());
}

// A reply may come before anyone has received the request: the id is
// registered before the request is queued.
TEST(BridgeThreads, ReplyBeforeReceiveIsKept) {
  for (int round = 0; round < 50; ++round) {
    Fixture f;
    f.bridge->attach();
    Threads threads;
    threads.start([&] { EXPECT_EQ(text_of(call(*f.bridge, Json())), R"("early")"); });
    threads.start([&] {
      auto deadline = std::chrono::steady_clock::now() + kDeadline;
      while (!f.bridge->respond("tool-call-1", R"("early")")) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::yield();
      }
    });
    threads.join();
    auto text = f.bridge->receive_json(0ms);
    ASSERT_TRUE(text && *text);
    auto request = received_from(**text);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->id, "tool-call-1");
  }
}

TEST(BridgeThreads, InvalidReplyTextBecomesAnErrorOnTheCallingThread) {
  Fixture f;
  f.bridge->attach();
  Threads threads;
  threads.start([&] {
    EXPECT_EQ(text_of(call(*f.bridge, Json())),
              "error: CallBridge returned invalid JSON: expected ident at line 1 column 1");
  });
  threads.start([&] {
    auto text = f.bridge->receive_json(std::chrono::milliseconds(kDeadline));
    ASSERT_TRUE(text && *text);
    auto request = received_from(**text);
    ASSERT_TRUE(request);
    EXPECT_TRUE(f.bridge->respond(request->id, "nope"));
  });
  threads.join();
}

// The last holder of the runtime, a host thread still in receive_json, stops
// and joins the workers after the owner has let go.
TEST(BridgeThreads, ReleasedWhileAReceiveWaits) {
  for (int round = 0; round < 20; ++round) {
    auto f = std::make_unique<Fixture>();
    std::promise<void> waiting;
    Threads threads;
    threads.start([runtime = f->runtime, bridge = f->bridge, &waiting]() mutable {
      waiting.set_value();
      auto text = bridge->receive_json(20ms);
      ASSERT_TRUE(text);
      EXPECT_FALSE(*text);
      bridge.reset();
      runtime.reset();
    });
    waiting.get_future().wait();
    f.reset();
    threads.join();
  }
}

// Detaching fails calls that wait for replies, from another thread, while
// further calls start and find the bridge detached.
TEST(BridgeThreads, DetachFailsEveryWaitingCall) {
  Fixture f;
  f.bridge->attach();
  constexpr int kCallers = 6;
  std::atomic<int> queued{0};
  Threads callers, detacher;
  for (int c = 0; c < kCallers; ++c) {
    callers.start([&, c] {
      std::string text = text_of(call(*f.bridge, arguments_of(c, 0)));
      if (text != "error: CallBridge is detached") {
        EXPECT_EQ(text, kDetachedResult);
      }
    });
  }
  detacher.start([&] {
    // Takes a few requests first, so that some calls are surely waiting.
    while (queued.load() < 3) {
      auto text = f.bridge->receive_json(5ms);
      ASSERT_TRUE(text);
      if (*text) ++queued;
    }
    f.bridge->detach();
  });
  detacher.join();
  callers.join();
  // Nothing is pending any more: every answer now finds no call.
  for (int n = 1; n <= kCallers; ++n) {
    EXPECT_FALSE(f.bridge->respond("tool-call-" + std::to_string(n), "1"));
  }
}

// One timer serves the receives in turn and is left running for the deadline
// of a receive that ended early. A later receive with a shorter limit must
// still end on time, and one with a longer limit must not end at the stale
// deadline. The spans are wide, so a slow machine cannot blur them.
TEST(BridgeThreads, StaleReceiveDeadlinesNeitherDelayNorEndLaterReceives) {
  using Clock = std::chrono::steady_clock;
  Fixture f;
  f.bridge->attach();
  auto answer_next = [&](std::chrono::milliseconds limit) {
    auto text = f.bridge->receive_json(limit);
    ASSERT_TRUE(text && *text);
    auto request = received_from(**text);
    ASSERT_TRUE(request);
    EXPECT_TRUE(f.bridge->respond(request->id, "1"));
  };
  auto call_after = [&](Threads& threads, std::chrono::milliseconds delay) {
    threads.start([&, delay] {
      std::this_thread::sleep_for(delay);
      EXPECT_EQ(text_of(call(*f.bridge, Json())), "1");
    });
  };
  {
    // Leaves the timer set a minute ahead.
    Threads caller;
    call_after(caller, 20ms);
    answer_next(60s);
  }
  auto started = Clock::now();
  auto none = f.bridge->receive_json(50ms);
  ASSERT_TRUE(none);
  EXPECT_FALSE(*none);
  EXPECT_LT(Clock::now() - started, 30s) << "waited for the stale deadline";
  {
    // Leaves the timer set for 200 ms after the call, which the next receive
    // outlives: the request it gets at 700 ms must reach it.
    Threads caller;
    call_after(caller, 20ms);
    answer_next(200ms);
  }
  Threads caller;
  call_after(caller, 700ms);
  answer_next(std::chrono::milliseconds(kDeadline));
}

// Runtimes created and released on several threads at once, each used by a
// receive that times out: no worker outlives its runtime.
TEST(RuntimeThreads, CreatedAndReleasedConcurrently) {
  Threads threads;
  for (int t = 0; t < 4; ++t) {
    threads.start([] {
      for (int round = 0; round < 15; ++round) {
        Fixture f;
        auto text = f.bridge->receive_json(1ms);
        ASSERT_TRUE(text);
        EXPECT_FALSE(*text);
      }
    });
  }
  threads.join();
}

}  // namespace
}  // namespace ziri
