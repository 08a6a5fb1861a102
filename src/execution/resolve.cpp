#include "execution/resolve.hpp"

#include <asio/co_spawn.hpp>
#include <asio/deferred.hpp>
#include <asio/experimental/parallel_group.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "execution/block_on.hpp"
#include "execution/envelope.hpp"

namespace ziri {
namespace {

// Runs the attached jobs together, results in job order.
asio::awaitable<std::vector<Json>> call_all(TokioCallBridge& bridge,
                                            std::vector<ToolFieldJob> jobs) {
  // One field, the commonest request, is awaited in place: a parallel group
  // would spawn a coroutine and allocate the group's state with nothing to
  // overlap.
  if (jobs.size() == 1) {
    std::vector<Json> values;
    values.push_back(co_await resolve_tool_field(bridge, std::move(jobs.front())));
    co_return values;
  }
  auto executor = co_await asio::this_coro::executor;
  using Operation =
      decltype(asio::co_spawn(executor, resolve_tool_field(bridge, {}), asio::deferred));
  std::vector<Operation> operations;
  operations.reserve(jobs.size());
  for (auto& job : jobs) {
    operations.push_back(
        asio::co_spawn(executor, resolve_tool_field(bridge, std::move(job)), asio::deferred));
  }
  auto [order, failures, values] =
      co_await asio::experimental::make_parallel_group(std::move(operations))
          .async_wait(asio::experimental::wait_for_all(), asio::use_awaitable);
  for (auto& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
  co_return std::move(values);
}

}  // namespace

asio::awaitable<Json> resolve_tool_field(TokioCallBridge& bridge, ToolFieldJob job) {
  std::string operation = job.tool->read_only ? "query" : "mutation";
  auto reply = co_await bridge.call_tool(job.tool->server_id, job.tool->tool_name,
                                         std::move(operation), Json(std::move(job.arguments)));
  if (!reply) co_return tool_error_result(reply.error());
  co_return std::move(*reply);
}

std::vector<FieldValue> resolve_tool_jobs(TokioCallBridge& bridge, std::vector<ToolFieldJob> jobs) {
  std::vector<FieldValue> results;
  results.reserve(jobs.size());
  std::vector<ToolFieldJob> attached;
  std::vector<std::size_t> attached_at;
  for (auto& job : jobs) {
    // The flag is read once per field, before any request is made.
    if (bridge.attached()) {
      attached_at.push_back(results.size());
      results.emplace_back(std::move(job.response_key), nullptr);
      attached.push_back(std::move(job));
    } else {
      results.emplace_back(std::move(job.response_key), placeholder_result(*job.tool));
    }
  }
  if (!attached.empty()) {
    auto values = block_on(call_all(bridge, std::move(attached)));
    for (std::size_t i = 0; i < values.size(); ++i) {
      results[attached_at[i]].second = std::move(values[i]);
    }
  }
  return results;
}

}  // namespace ziri
