// Threads for the tests that drive the engine from several threads at once,
// joined with a deadline so that a stuck test ends instead of hanging CI.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace ziri::testing_threads {

using namespace std::chrono_literals;

// Generous: the sanitizers slow everything down many times over.
constexpr auto kDeadline = 120s;

// Threads that the test joins with a deadline. A thread still running then is
// stuck for good; since it uses the test's objects, the process stops rather
// than let the test return under it.
class Threads {
 public:
  Threads() = default;
  Threads(const Threads&) = delete;
  Threads& operator=(const Threads&) = delete;
  ~Threads() { join(); }

  void start(std::function<void()> body) {
    auto done = std::make_shared<std::promise<void>>();
    finished_.push_back(done->get_future());
    threads_.emplace_back([body = std::move(body), done] {
      try {
        body();
        done->set_value();
      } catch (...) {
        done->set_exception(std::current_exception());
      }
    });
  }

  // Joins every thread; an exception that a thread threw fails the test.
  // With a `rescue`, threads still running at the deadline fail the test, and
  // the rescue (which must end them) runs before waiting once more.
  void join(const std::function<void()>& rescue = {}) {
    if (!finished_by(std::chrono::steady_clock::now() + kDeadline)) {
      if (rescue) {
        ADD_FAILURE() << "threads still running at the deadline";
        rescue();
      }
      if (!rescue || !finished_by(std::chrono::steady_clock::now() + kDeadline)) {
        std::fprintf(stderr, "a test thread did not finish within the deadline\n");
        std::abort();
      }
    }
    for (auto& thread : threads_) thread.join();
    for (auto& finished : finished_) {
      try {
        finished.get();
      } catch (const std::exception& e) {
        ADD_FAILURE() << "thread threw: " << e.what();
      }
    }
    threads_.clear();
    finished_.clear();
  }

 private:
  bool finished_by(std::chrono::steady_clock::time_point deadline) {
    for (auto& finished : finished_) {
      if (finished.wait_until(deadline) != std::future_status::ready) return false;
    }
    return true;
  }

  std::vector<std::thread> threads_;
  std::vector<std::future<void>> finished_;
};

}  // namespace ziri::testing_threads
