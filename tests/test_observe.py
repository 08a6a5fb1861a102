"""What the gateway tells about itself: /metrics, spans with the caller's trace id, JSON log lines."""

import asyncio
import contextlib
import http.server
import io
import json
import logging
import os
import re
import signal
import subprocess
import sys
import threading
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

import _graphql  # noqa: E402

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO))
from gateway import Gateway, in_process  # noqa: E402
from gateway.access import Access, AccessError  # noqa: E402
from gateway.http import make_app, make_metrics_app, metrics_bearer  # noqa: E402
from gateway.metrics import Metrics  # noqa: E402
from gateway.access_log import access_logger  # noqa: E402
from gateway.logs import JsonFormatter  # noqa: E402
from gateway.observe import Observer  # noqa: E402
from gateway.tracing import Tracing, provider_from_environ  # noqa: E402

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
        answer = await post(client, "{ obs_other { json } obs_fail { isError } }", authorization="Bearer s3cret")
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
    handler.setFormatter(JsonFormatter())
    access_log = logging.getLogger("gateway.access.test")
    access_log.addHandler(handler)
    access_log.setLevel(logging.INFO)
    other_trace = "0af7651916cd43dd8448eb211c80319c"

    async def scenario(client: httpx.AsyncClient) -> list[Any]:
        # Two callers at once, each its own trace: each call must land in its caller's.
        return list(await asyncio.gather(
            post(client, "{ obs_meta { json } obs_fail { isError } }", traceparent=f"00-{TRACE_ID}-{PARENT_ID}-01"),
            post(client, "{ obs_other { json } }", traceparent=f"00-{other_trace}-{PARENT_ID}-01")))

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


@pytest.mark.parametrize("host, token, authorization, status", [
    ("127.0.0.1", None, None, 200),
    ("::1", "s3cret", None, 200),  # loopback: only this machine's scraper reaches it
    ("0.0.0.0", "s3cret", None, 401),
    ("0.0.0.0", "s3cret", "Bearer wrong", 401),
    ("0.0.0.0", "s3cret", "Bearer s3cret", 200),
    ("0.0.0.0", None, None, AccessError),  # reachable by others, and no token to ask for
])
def test_a_metrics_address_asks_for_the_token_off_loopback(host: str, token: str | None,
                                                            authorization: str | None, status: Any) -> None:
    class Bound:  # the address a listening socket reports, without listening anywhere
        def getsockname(self) -> tuple[str, int]:
            return host, 9464

    if status is AccessError:
        with pytest.raises(AccessError):
            metrics_bearer(Bound(), token)  # type: ignore[arg-type]
        return
    app = make_metrics_app(Observer(Metrics()), metrics_bearer(Bound(), token))  # type: ignore[arg-type]

    async def get() -> int:
        headers = {"authorization": authorization} if authorization else {}
        async with httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://127.0.0.1") as client:
            return (await client.get("/metrics", headers=headers)).status_code

    assert asyncio.run(get()) == status


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


class TraceSink(http.server.ThreadingHTTPServer):
    """An OTLP/HTTP trace receiver on loopback: keeps the (trace id, span name) of each span."""

    def __init__(self) -> None:
        from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import ExportTraceServiceRequest

        sink = self
        self.spans: set[tuple[str, str]] = set()
        self.got_spans = threading.Condition()

        class Receive(http.server.BaseHTTPRequestHandler):
            def do_POST(self) -> None:
                body = self.rfile.read(int(self.headers["content-length"]))
                request = ExportTraceServiceRequest.FromString(body)
                with sink.got_spans:
                    sink.spans |= {(span.trace_id.hex(), span.name) for resource in request.resource_spans
                                   for scope in resource.scope_spans for span in scope.spans}
                    sink.got_spans.notify_all()
                self.send_response(200)
                self.send_header("content-type", "application/x-protobuf")
                self.send_header("content-length", "0")
                self.end_headers()

            def log_message(self, *args: Any) -> None:
                pass

        super().__init__(("127.0.0.1", 0), Receive)


@pytest.mark.slow
def test_the_program_exports_spans_counts_apart_and_logs_json(tmp_path: Path) -> None:
    config = tmp_path / "servers.json"
    config.write_text(json.dumps({"mcpServers": {"toolbox": {
        "command": sys.executable, "args": [str(REPO / "examples" / "toolbox.py")]}}}), encoding="utf-8")
    sink = TraceSink()
    receiving = threading.Thread(target=sink.serve_forever, daemon=True)
    receiving.start()
    env = {k: v for k, v in os.environ.items() if not k.startswith("OTEL_")}
    env |= {"PYTHONPATH": os.pathsep.join([str(Path(_graphql.__file__).resolve().parent), str(REPO)]),
            "OTEL_EXPORTER_OTLP_ENDPOINT": f"http://127.0.0.1:{sink.server_address[1]}"}
    process = subprocess.Popen(
        [sys.executable, "-m", "gateway", "--config", str(config), "--serve", "127.0.0.1:0",
         "--metrics", "127.0.0.1:0", "--log-format", "json"],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env, cwd=REPO)
    try:
        assert process.stderr is not None
        announced = [json.loads(process.stderr.readline())["message"] for _ in "ab"]
        graphql, metrics = (re.search(r"http://127\.0\.0\.1:\d+", line) for line in announced)
        assert graphql and metrics
        answer = httpx.post(f"{graphql.group()}/graphql", json={"query": "{ toolbox_add(numbers: [1, 2]) { isError } }"},
                            headers={"traceparent": f"00-{TRACE_ID}-{PARENT_ID}-01"}, timeout=DEADLINE)
        assert answer.json()["data"]["toolbox_add"]["isError"] is False
        counted = httpx.get(f"{metrics.group()}/metrics", timeout=DEADLINE)
        beside = httpx.get(f"{graphql.group()}/metrics", timeout=DEADLINE)
        process.send_signal(signal.SIGTERM)
        _, rest = process.communicate(timeout=DEADLINE)
        with sink.got_spans:  # the last batch goes out as the gateway stops
            assert sink.got_spans.wait_for(
                lambda: {(TRACE_ID, "POST /graphql"), (TRACE_ID, "tools/call add")} <= sink.spans, DEADLINE)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait(DEADLINE)
        sink.shutdown()
        receiving.join(DEADLINE)
        sink.server_close()
    assert not receiving.is_alive()
    assert process.returncode == 0, rest
    assert samples(counted.text)[("gateway_tool_calls_total", (("outcome", "ok"), ("server", "toolbox"),
                                                              ("tool", "add")))] == 1
    assert beside.status_code == 404  # served on its own address only
    logged = [json.loads(line) for line in rest.splitlines()]  # every line JSON, the program's own too
    request = next(line for line in logged if line.get("kind") == "request")
    assert (request["method"], request["path"], request["status"], request["fields"]) == ("POST", "/graphql", 200, 1)
    call = next(line for line in logged if line.get("kind") == "call")
    assert (call["server"], call["tool"], call["outcome"]) == ("toolbox", "add", "ok")
    assert logged[-1]["message"] == "stopped"

    def kind(message: str) -> str:  # "call SERVER.TOOL ..." or "CLIENT METHOD PATH ..."
        words = message.split()
        return " ".join(words[:2] if words[0] == "call" else words[1:3])

    traced = {kind(line["message"]): line.get("trace_id") for line in logged if line["logger"] == "gateway.access"}
    assert traced["call toolbox.add"] == traced["POST /graphql"] == TRACE_ID, logged


def test_series_of_tools_no_longer_offered_are_dropped() -> None:
    metrics = Metrics()
    for tool in ("renamed_1", "renamed_2", "kept"):
        metrics.tool_call_ended("s", tool, "ok", 0.01)
    metrics.offered({("s", "kept")})
    text = metrics.text().decode()
    assert 'tool="kept"' in text and "renamed" not in text


@pytest.mark.parametrize(("outcome", "logged"), [("answered", 200), ("left", 499), ("failed", 500)])
def test_the_request_line_says_whose_fault_an_unanswered_request_was(outcome: str, logged: int) -> None:
    """A client that leaves before its body is whole gets no answer: that is no fault of the
    gateway's, and must not be counted as a 500 as an app that raised is."""
    from gateway.observe import ObserveMiddleware

    async def app(scope: Any, receive: Any, send: Any) -> None:
        if outcome == "failed":
            raise RuntimeError("the gateway's own fault")
        if outcome == "answered":
            await send({"type": "http.response.start", "status": 200, "headers": []})
            await send({"type": "http.response.body", "body": b""})

    lines: list[int] = []
    observed = ObserveMiddleware(app, Observer(), log=lambda scope, status, ms: lines.append(status))

    async def sent(message: Any) -> None:
        pass

    scope = {"type": "http", "method": "POST", "path": "/graphql", "headers": []}
    with pytest.raises(RuntimeError) if outcome == "failed" else contextlib.nullcontext():
        asyncio.run(observed(scope, None, sent))
    assert lines == [logged]
