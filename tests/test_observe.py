"""What the gateway tells about itself: /metrics, spans with the caller's trace id, JSON log lines."""

import asyncio
import io
import json
import logging
import sys
from pathlib import Path
from typing import Any

import pytest

from conftest import DEADLINE, require_mcp_sdk

require_mcp_sdk()

import httpx  # noqa: E402
from mcp.server.fastmcp import Context, FastMCP  # noqa: E402
from mcp.server.fastmcp.exceptions import ToolError  # noqa: E402
from mcp.types import ToolAnnotations  # noqa: E402
from opentelemetry.sdk.trace import TracerProvider  # noqa: E402
from opentelemetry.sdk.trace.export import SimpleSpanProcessor  # noqa: E402
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter  # noqa: E402
from prometheus_client.parser import text_string_to_metric_families  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from gateway import Gateway, in_process  # noqa: E402
from gateway.access import Access  # noqa: E402
from gateway.http import make_app  # noqa: E402
from gateway.metrics import Metrics  # noqa: E402
from gateway.observe import JsonFormatter, Observer, access_logger  # noqa: E402
from gateway.tracing import Tracing, current_ids, provider_from_environ  # noqa: E402

TRACE_ID = "4bf92f3577b34da6a3ce929d0e0e4736"
PARENT_ID = "00f067aa0ba902b7"
READ_ONLY = ToolAnnotations(readOnlyHint=True)


def observed_server() -> FastMCP:
    server = FastMCP("obs", log_level="WARNING")

    @server.tool(name="meta", annotations=READ_ONLY)
    def meta(ctx: Context) -> dict[str, Any]:  # type: ignore[type-arg]
        """The trace context the call came with, as the request's _meta carried it."""
        given = ctx.request_context.meta
        return {"traceparent": getattr(given, "traceparent", None)}

    @server.tool(name="fail", annotations=READ_ONLY)
    def fail() -> str:
        raise ToolError("refused")

    @server.tool(name="other", annotations=READ_ONLY)
    def other() -> dict[str, Any]:
        return {"other": True}

    return server


def run(scenario: Any, observer: Observer, access: Access | None = None) -> Any:
    """Runs `scenario(client)` against a gateway over the in-process server, served by its app."""
    async def main() -> Any:
        async with Gateway([in_process("obs", observed_server())], observer=observer) as gateway:
            app = make_app(gateway, access=access)
            transport = httpx.ASGITransport(app=app)
            async with httpx.AsyncClient(transport=transport, base_url="http://127.0.0.1") as client:
                return await scenario(client)
    return asyncio.run(asyncio.wait_for(main(), DEADLINE))


def samples(text: str) -> dict[tuple[str, tuple[tuple[str, str], ...]], float]:
    return {(s.name, tuple(sorted(s.labels.items()))): s.value
            for family in text_string_to_metric_families(text) for s in family.samples}


def post(client: httpx.AsyncClient, query: str, **headers: str) -> Any:
    return client.post("/graphql", json={"query": query}, headers=headers)


def test_metrics_count_requests_and_tool_calls_by_outcome() -> None:
    async def scenario(client: httpx.AsyncClient) -> tuple[int, str]:
        answer = await post(client, "{ obs_other obs_fail }", authorization="Bearer s3cret")
        assert answer.status_code == 200, answer.text
        refused = await client.get("/metrics")
        metrics = await client.get("/metrics", headers={"authorization": "Bearer s3cret"})
        assert metrics.status_code == 200
        return refused.status_code, metrics.text

    refused, text = run(scenario, Observer(Metrics()), Access(token="s3cret"))
    assert refused == 401  # under the token like /graphql
    found = samples(text)
    expected = {
        ("gateway_tool_calls_total", (("outcome", "ok"), ("server", "obs"), ("tool", "other"))): 1,
        ("gateway_tool_calls_total", (("outcome", "error"), ("server", "obs"), ("tool", "fail"))): 1,
        ("gateway_tool_call_duration_seconds_count", (("server", "obs"), ("tool", "other"))): 1,
        ("gateway_http_requests_total", (("route", "/graphql"), ("status", "200"))): 1,
        ("gateway_http_requests_total", (("route", "/metrics"), ("status", "401"))): 1,
        ("gateway_query_fields_count", ()): 1,
        ("gateway_query_fields_sum", ()): 2,
        ("gateway_query_duration_seconds_count", ()): 1,
        ("gateway_upstream_up", (("server", "obs"),)): 1,
        ("gateway_upstream_restarts_total", (("server", "obs"),)): 0,
        ("gateway_queries_in_flight", ()): 0,
        ("gateway_tool_calls_in_flight", ()): 0,
    }
    assert {key: found.get(key) for key in expected} == expected


def test_spans_continue_the_callers_trace_and_reach_the_server() -> None:
    exporter = InMemorySpanExporter()
    provider = TracerProvider()
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    lines = io.StringIO()
    handler = logging.StreamHandler(lines)
    handler.setFormatter(JsonFormatter(current_ids))
    access_log = logging.getLogger("gateway.access.test")
    access_log.addHandler(handler)
    access_log.setLevel(logging.INFO)
    other_trace = "0af7651916cd43dd8448eb211c80319c"

    async def scenario(client: httpx.AsyncClient) -> list[Any]:
        # Two callers at once, each its own trace: each call must land in its caller's.
        return list(await asyncio.gather(
            post(client, "{ obs_meta obs_fail }", traceparent=f"00-{TRACE_ID}-{PARENT_ID}-01"),
            post(client, "{ obs_other }", traceparent=f"00-{other_trace}-{PARENT_ID}-01")))

    try:
        first, second = run(scenario, Observer(tracing=Tracing(provider)),
                             Access(log=access_logger("gateway.access.test")))
    finally:
        access_log.removeHandler(handler)
    spans = {span.name: span for span in exporter.get_finished_spans()}
    assert len(exporter.get_finished_spans()) == 5  # two requests, three calls
    requests = [s for s in exporter.get_finished_spans() if s.name == "POST /graphql"]
    by_trace = {format(s.context.trace_id, "032x"): s for s in requests}
    assert set(by_trace) == {TRACE_ID, other_trace}
    assert all(format(s.parent.span_id, "016x") == PARENT_ID for s in requests)
    for name, trace_id, outcome in [("tools/call meta", TRACE_ID, "ok"), ("tools/call fail", TRACE_ID, "error"),
                                    ("tools/call other", other_trace, "ok")]:
        call = spans[name]
        assert call.parent.span_id == by_trace[trace_id].context.span_id, name
        assert (call.attributes["mcp.server.name"], call.attributes["mcp.tool.outcome"]) == ("obs", outcome)
    # The server got the call's own span as the parent of whatever it does.
    meta = spans["tools/call meta"].context
    assert first.json()["data"]["obs_meta"]["json"] == {
        "traceparent": f"00-{TRACE_ID}-{format(meta.span_id, '016x')}-01"}
    assert second.json()["data"]["obs_other"]["json"] == {"other": True}
    logged = [json.loads(line) for line in lines.getvalue().splitlines()]
    assert sorted(line["trace_id"] for line in logged) == sorted([TRACE_ID, other_trace])


@pytest.mark.parametrize("environ, traced", [
    ({}, False),
    ({"OTEL_TRACES_EXPORTER": "none"}, False),
    ({"OTEL_TRACES_EXPORTER": "console"}, True),
    ({"OTEL_EXPORTER_OTLP_ENDPOINT": "http://127.0.0.1:4318"}, True),
    ({"OTEL_SDK_DISABLED": "true", "OTEL_TRACES_EXPORTER": "console"}, False),
    ({"OTEL_TRACES_EXPORTER": "zipkin"}, ValueError),
    ({"OTEL_TRACES_EXPORTER": "otlp", "OTEL_EXPORTER_OTLP_PROTOCOL": "grpc"}, ValueError),
])
def test_tracing_follows_the_otel_variables(environ: dict[str, str], traced: Any) -> None:
    if traced is ValueError:
        with pytest.raises(ValueError):
            provider_from_environ(environ)
        return
    observer = Observer.from_environ(environ)
    assert (observer.tracing is not None) == traced
    observer.close()
