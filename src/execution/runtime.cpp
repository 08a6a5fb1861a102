#include "execution/runtime.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <string>
#include <system_error>

#include "common/internal_fault.hpp"

namespace ziri {
namespace {

constexpr char kThreadName[] = "dive-ziri-graphql";

// The processors this process may run on, which can be fewer than the machine has.
unsigned available_processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

// Named by the creating thread, so the name is in place when the engine exists.
void name_thread(std::thread& thread) {
  // The kernel keeps 15 bytes and a terminator; a longer name fails outright.
  char name[16] = {};
  std::char_traits<char>::copy(name, kThreadName, sizeof name - 1);
  pthread_setname_np(thread.native_handle(), name);
}

}  // namespace

std::shared_ptr<Runtime> Runtime::build() {
  try {
    return std::make_shared<Runtime>(available_processors());
  } catch (const std::system_error& e) {
    throw InternalFault(std::string("dive-ziri GraphQL runtime must start: ") + e.what());
  }
}

Runtime::Runtime(unsigned workers) : work_(context_.get_executor()) {
  workers_.reserve(workers);
  try {
    for (unsigned i = 0; i < workers; ++i) {
      workers_.emplace_back([this] { context_.run(); });
      name_thread(workers_.back());
    }
  } catch (...) {
    work_.reset();
    context_.stop();
    for (auto& worker : workers_) worker.join();
    throw;
  }
}

Runtime::~Runtime() {
  work_.reset();
  context_.stop();
  for (auto& worker : workers_) worker.join();
}

}  // namespace ziri
