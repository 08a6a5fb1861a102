// The runtime's block_on driven from several threads at once, as queries
// drive it. Built with ThreadSanitizer by `tools/check tsan`.
#include "execution/runtime.hpp"

#include <gtest/gtest.h>

#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <stdexcept>
#include <string>

#include "execution/block_on.hpp"
#include "threads.hpp"

namespace ziri {

// The workers' own loop, which only these tests set timers on.
struct RuntimeTestAccess {
  static asio::io_context::executor_type timers(Runtime& runtime) {
    return runtime.context_.get_executor();
  }
};

namespace {

using testing_threads::Threads;

// block_on on several threads at once, each with operations that wait
// on the workers' timers: every thread gets its own results back.
TEST(RuntimeThreads, BlockOnFromManyThreadsWithWorkerTimers) {
  auto runtime = std::make_shared<Runtime>(2);
  constexpr int kThreads = 6, kRounds = 40;
  Threads threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.start([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        auto operation = [](asio::io_context::executor_type timers,
                            int value) -> asio::awaitable<int> {
          asio::steady_timer timer(timers, std::chrono::microseconds(value % 300));
          co_await timer.async_wait(asio::use_awaitable);
          co_return value;
        };
        EXPECT_EQ(block_on(operation(RuntimeTestAccess::timers(*runtime), t * 1000 + round)),
                  t * 1000 + round);
      }
    });
  }
  threads.join();
}

// Exceptions thrown inside the operation come back out of block_on on the
// thread that called it, and that thread's loop stays usable.
TEST(RuntimeThreads, BlockOnRethrowsOnItsOwnThread) {
  Threads threads;
  for (int t = 0; t < 4; ++t) {
    threads.start([t] {
      for (int round = 0; round < 20; ++round) {
        auto failing = [](int value) -> asio::awaitable<int> {
          if (value >= 0) throw std::runtime_error("thrown " + std::to_string(value));
          co_return value;
        };
        try {
          block_on(failing(t));
          ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
          EXPECT_EQ(std::string(e.what()), "thrown " + std::to_string(t));
        }
        auto fine = []() -> asio::awaitable<int> { co_return 7; };
        EXPECT_EQ(block_on(fine()), 7);
      }
    });
  }
  threads.join();
}

}  // namespace
}  // namespace ziri
