"""What the gateway tells about itself: Prometheus metrics, OpenTelemetry traces and JSON log lines.

Everything here belongs to one gateway: its own metric registry and its own
tracer provider, never the process-wide ones, so two gateways in one process
(an embedding host, the tests) count and trace apart. Tracing is off unless
the standard OTEL_* variables ask for it, and then costs nothing per request:
no middleware work, no span, no `_meta` on the calls.
"""

import json
import logging
import os
import sys
import time
from collections.abc import Callable, Iterable, Iterator, Mapping
from contextlib import AbstractContextManager, contextmanager, nullcontext
from contextvars import ContextVar
from dataclasses import dataclass, field
from typing import Any

from opentelemetry import context as otel_context
from opentelemetry import trace
from opentelemetry.sdk.resources import Resource
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import BatchSpanProcessor, ConsoleSpanExporter, SpanExporter
from opentelemetry.trace import SpanKind, Status, StatusCode
from opentelemetry.trace.propagation.tracecontext import TraceContextTextMapPropagator
from prometheus_client import CONTENT_TYPE_LATEST, CollectorRegistry, Counter, Gauge, Histogram, generate_latest
from prometheus_client.core import GaugeMetricFamily

logger = logging.getLogger(__name__)

METRICS_MEDIA_TYPE = CONTENT_TYPE_LATEST
# Seconds: a cached built-in field answers in well under a millisecond, a slow tool in tens of seconds.
LATENCY_BUCKETS = (0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0, 30.0)
FIELD_BUCKETS = (0, 1, 2, 5, 10, 20, 50, 100, 200, 500, 1000)
UNMATCHED = "unmatched"  # the route label of a path no route serves: paths themselves would be unbounded
SERVICE_NAME = "ziri-gateway"
TRACER_NAME = "gateway"
# The word characters of a GraphQL name: what a tool field's name is made of.
_NAME_CHARACTERS = frozenset("_0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ")
_NOT_NAME = str.maketrans({chr(c): " " for c in range(128) if chr(c) not in _NAME_CHARACTERS})

# The W3C trace context of the tool call running in this task, for the MCP request's `_meta`.
_CALL_META: ContextVar[dict[str, str] | None] = ContextVar("gateway_call_meta", default=None)


def call_meta() -> dict[str, str] | None:
    """`traceparent` (and `tracestate`) of the tool call this task runs, as MCP carries them in a
    request's `params._meta`; None when tracing is off."""
    return _CALL_META.get()


class Metrics:
    """The gateway's Prometheus metrics in a registry of its own."""

    def __init__(self) -> None:
        self.registry = CollectorRegistry(auto_describe=True)
        registry = self.registry
        self.requests = Counter("gateway_http_requests", "HTTP requests answered, by route and status",
                                ["route", "status"], registry=registry)
        self.query_seconds = Histogram("gateway_query_duration_seconds", "Time to answer one /graphql request",
                                       buckets=LATENCY_BUCKETS, registry=registry)
        self.query_fields = Histogram("gateway_query_fields", "Top-level fields of one /graphql request",
                                      buckets=FIELD_BUCKETS, registry=registry)
        self.queries_in_flight = Gauge("gateway_queries_in_flight",
                                       "Queries running or waiting for a query thread", registry=registry)
        self.tool_calls = Counter("gateway_tool_calls", "Tool calls ended, by server, tool and outcome",
                                  ["server", "tool", "outcome"], registry=registry)
        self.tool_seconds = Histogram("gateway_tool_call_duration_seconds", "Time of one tool call",
                                      ["server", "tool"], buckets=LATENCY_BUCKETS, registry=registry)
        self.tool_calls_in_flight = Gauge("gateway_tool_calls_in_flight", "Tool calls waiting for their server",
                                          registry=registry)
        self.restarts = Counter("gateway_upstream_restarts", "Times a server was started again after it failed",
                                ["server"], registry=registry)

    def watch_servers(self, names: Iterable[str], state: Callable[[], Mapping[str, bool]]) -> None:
        """Reports each server up (1) or down (0) as read at scrape time, and its restarts from 0."""
        for name in names:
            self.restarts.labels(name)
        self.registry.register(_ServersUp(state))

    def text(self) -> bytes:
        return bytes(generate_latest(self.registry))


class _ServersUp:
    """`gateway_upstream_up`, asked of the gateway when scraped rather than kept in step with it."""

    def __init__(self, state: Callable[[], Mapping[str, bool]]) -> None:
        self._state = state

    def describe(self) -> list[Any]:
        return []  # its series depend on the servers, known only when scraped

    def collect(self) -> Iterator[GaugeMetricFamily]:
        family = GaugeMetricFamily("gateway_upstream_up", "Whether a configured MCP server is up", labels=["server"])
        for name, up in self._state().items():
            family.add_metric([name], 1.0 if up else 0.0)
        yield family


@dataclass
class _Running:
    """A query in flight, as the tool calls it causes look for their parent span."""

    words: frozenset[str]
    context: otel_context.Context


class Tracing:
    """Spans of requests and of the tool calls they cause, from a tracer provider of the gateway's own.

    The engine's tool-call request names its server and tool but not the query
    that caused it, so a call's parent is the oldest query in flight whose text
    holds the call's field name. Two queries calling the same tool at the same
    moment may therefore swap their calls' parents; a call nobody claims is a
    root span of its own.
    """

    def __init__(self, provider: TracerProvider) -> None:
        self.provider = provider
        self.tracer = provider.get_tracer(TRACER_NAME)
        self.propagator = TraceContextTextMapPropagator()
        self._running: list[_Running] = []

    @contextmanager
    def query(self, text: str) -> Iterator[None]:
        # Linear in the text: its name-like words, found without reading the text as GraphQL.
        entry = _Running(frozenset(text.translate(_NOT_NAME).split()), otel_context.get_current())
        self._running.append(entry)
        try:
            yield
        finally:
            self._running.remove(entry)

    def parent_of(self, field_name: str | None) -> otel_context.Context | None:
        for entry in self._running:
            if field_name is not None and field_name in entry.words:
                return entry.context
        return self._running[0].context if len(self._running) == 1 else None

    def shutdown(self) -> None:
        self.provider.shutdown()  # exports what is still batched


class ToolCall:
    """One tool call being observed: its clock, its span and its `_meta` context."""

    def __init__(self, metrics: Metrics | None, server: str, tool: str) -> None:
        self.metrics = metrics
        self.server = server
        self.tool = tool
        self.began = time.perf_counter()
        self.span: trace.Span | None = None
        self._token: Any = None
        self._meta_token: Any = None
        if metrics is not None:
            metrics.tool_calls_in_flight.inc()

    def trace(self, tracing: Tracing, parent: otel_context.Context | None) -> None:
        self.span = tracing.tracer.start_span(
            f"tools/call {self.tool}", context=parent, kind=SpanKind.CLIENT,
            attributes={"mcp.method.name": "tools/call", "mcp.server.name": self.server,
                        "mcp.tool.name": self.tool})
        active = trace.set_span_in_context(self.span, parent)
        self._token = otel_context.attach(active)
        meta: dict[str, str] = {}
        tracing.propagator.inject(meta, context=active)
        self._meta_token = _CALL_META.set(meta)

    def end(self, outcome: str) -> None:
        """Counts the call and ends its span; `outcome` is "ok" or "error"."""
        elapsed = time.perf_counter() - self.began
        if self.metrics is not None:
            self.metrics.tool_calls_in_flight.dec()
            self.metrics.tool_calls.labels(self.server, self.tool, outcome).inc()
            self.metrics.tool_seconds.labels(self.server, self.tool).observe(elapsed)
        if self.span is not None:
            self.span.set_attribute("mcp.tool.outcome", outcome)
            if outcome != "ok":
                self.span.set_status(Status(StatusCode.ERROR))
            self.span.end()
            _CALL_META.reset(self._meta_token)
            otel_context.detach(self._token)


@dataclass
class Observer:
    """The gateway's metrics and tracing; either may be off (None)."""

    metrics: Metrics | None = field(default_factory=Metrics)
    tracing: Tracing | None = None
    _fields: dict[tuple[str, str], str] = field(default_factory=dict)
    _field_source: object = None

    @classmethod
    def from_environ(cls, environ: Mapping[str, str] = os.environ, *, metrics: bool = True) -> Observer:
        """Metrics on (unless asked otherwise), tracing as the OTEL_* variables say."""
        provider = tracer_provider_from_environ(environ)
        return cls(Metrics() if metrics else None, Tracing(provider) if provider is not None else None)

    def watch(self, configured: Iterable[str], servers: Callable[[], Mapping[str, bool]]) -> None:
        if self.metrics is not None:
            self.metrics.watch_servers(configured, servers)

    def query(self, text: str) -> AbstractContextManager[None]:
        """Around one query's run: counted in flight, and the parent of the tool calls it causes."""
        if self.tracing is None and self.metrics is None:
            return nullcontext()
        return self._query(text)

    @contextmanager
    def _query(self, text: str) -> Iterator[None]:
        if self.metrics is not None:
            self.metrics.queries_in_flight.inc()
        try:
            if self.tracing is not None:
                with self.tracing.query(text):
                    yield
            else:
                yield
        finally:
            if self.metrics is not None:
                self.metrics.queries_in_flight.dec()

    def tool_call(self, server: str, tool: str, engine: Any) -> ToolCall:
        """Starts observing one call of `engine`'s; the caller ends it with `.end(outcome)`."""
        call = ToolCall(self.metrics, server, tool)
        if self.tracing is not None:
            call.trace(self.tracing, self.tracing.parent_of(self._field_names(engine).get((server, tool))))
        return call

    def _field_names(self, engine: Any) -> Mapping[tuple[str, str], str]:
        """(server, tool) -> field name, asked of the engine's own search view (its naming, not a
        copy of it) once per engine."""
        if self._field_source is not engine:
            hits = json.loads(engine.execute("{ search { field server tool } }"))["data"]["search"]
            self._fields = {(hit["server"], hit["tool"]): hit["field"] for hit in hits}
            self._field_source = engine
        return self._fields

    def close(self) -> None:
        if self.tracing is not None:
            self.tracing.shutdown()


def tracer_provider_from_environ(environ: Mapping[str, str]) -> TracerProvider | None:
    """A tracer provider exporting as OTEL_TRACES_EXPORTER says, or None when tracing is off.

    Off unless OTEL_TRACES_EXPORTER names an exporter or an OTLP endpoint is
    set (OTLP is then the exporter, as the SDK's own default has it); off
    whenever OTEL_SDK_DISABLED is true. An exporter this gateway cannot build
    stops the start (ValueError) rather than silently tracing nothing.
    """
    if environ.get("OTEL_SDK_DISABLED", "").strip().lower() == "true":
        return None
    names = environ.get("OTEL_TRACES_EXPORTER", "").strip().lower()
    if not names and any(environ.get(key) for key in ("OTEL_EXPORTER_OTLP_ENDPOINT",
                                                       "OTEL_EXPORTER_OTLP_TRACES_ENDPOINT")):
        names = "otlp"
    exporters = [_exporter(name.strip(), environ) for name in names.split(",") if name.strip() not in ("", "none")]
    if not exporters:
        return None
    # Resource.create reads OTEL_SERVICE_NAME and OTEL_RESOURCE_ATTRIBUTES over this default.
    default_name = {} if environ.get("OTEL_SERVICE_NAME") else {"service.name": SERVICE_NAME}
    provider = TracerProvider(resource=Resource.create(default_name))
    for exporter in exporters:
        provider.add_span_processor(BatchSpanProcessor(exporter))
    return provider


def _exporter(name: str, environ: Mapping[str, str]) -> SpanExporter:
    if name == "console":
        return ConsoleSpanExporter(out=sys.stderr)  # standard output carries the one-shot answers
    if name == "otlp":
        protocol = (environ.get("OTEL_EXPORTER_OTLP_TRACES_PROTOCOL") or environ.get("OTEL_EXPORTER_OTLP_PROTOCOL")
                    or "http/protobuf")
        if protocol != "http/protobuf":
            raise ValueError(f"OTEL_EXPORTER_OTLP_PROTOCOL={protocol}: only http/protobuf is available here")
        from opentelemetry.exporter.otlp.proto.http.trace_exporter import OTLPSpanExporter
        return OTLPSpanExporter()  # endpoint, headers and timeout from the OTEL_EXPORTER_OTLP_* variables
    raise ValueError(f"OTEL_TRACES_EXPORTER={name}: this gateway exports traces by otlp or console (or none)")


class ObserveMiddleware:
    """Counts and traces every HTTP request; wraps the whole stack, so that its span is the
    current one for every check and log line beneath it."""

    def __init__(self, app: Any, observer: Observer) -> None:
        self.app = app
        self.metrics = observer.metrics
        self.tracing = observer.tracing

    async def __call__(self, scope: dict[str, Any], receive: Any, send: Any) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        began = time.perf_counter()
        status = 500  # what the client sees when the app fails before it answers

        async def sending(message: dict[str, Any]) -> None:
            nonlocal status
            if message["type"] == "http.response.start":
                status = message["status"]
            await send(message)

        span = None
        token = None
        if self.tracing is not None:
            # W3C trace context: `traceparent` and `tracestate`, as HTTP headers carry them.
            carrier = {name.decode("latin-1"): value.decode("latin-1") for name, value in scope["headers"]
                       if name in (b"traceparent", b"tracestate")}
            parent = self.tracing.propagator.extract(carrier)
            span = self.tracing.tracer.start_span(scope["method"], context=parent, kind=SpanKind.SERVER,
                                                  attributes={"http.request.method": scope["method"],
                                                              "url.path": scope["path"]})
            token = otel_context.attach(trace.set_span_in_context(span, parent))
        try:
            await self.app(scope, receive, sending)
        finally:
            route = getattr(scope.get("route"), "path", None) or UNMATCHED
            if self.metrics is not None:
                self.metrics.requests.labels(route, str(status)).inc()
                if route == "/graphql":
                    self.metrics.query_seconds.observe(time.perf_counter() - began)
                    fields = scope.get("state", {}).get("fields")
                    if isinstance(fields, int):
                        self.metrics.query_fields.observe(fields)
            if span is not None:
                span.update_name(f"{scope['method']} {route}")
                span.set_attribute("http.route", route)
                span.set_attribute("http.response.status_code", status)
                if status >= 500:
                    span.set_status(Status(StatusCode.ERROR))
                span.end()
                otel_context.detach(token)


class JsonFormatter(logging.Formatter):
    """One JSON object per line: time, level, logger, message, and the trace and span ids of
    the request or tool call the line was written for, when one is being traced."""

    def format(self, record: logging.LogRecord) -> str:
        line: dict[str, Any] = {
            "time": self.formatTime(record, "%Y-%m-%dT%H:%M:%S") + f".{int(record.msecs):03d}Z",
            "level": record.levelname.lower(),
            "logger": record.name,
            "message": record.getMessage(),
        }
        span = trace.get_current_span().get_span_context()
        if span.is_valid:
            line["trace_id"] = format(span.trace_id, "032x")
            line["span_id"] = format(span.span_id, "016x")
        if record.exc_info:
            line["exception"] = self.formatException(record.exc_info)
        return json.dumps(line, ensure_ascii=False)


JsonFormatter.converter = time.gmtime


def configure_logging(log_format: str, level: int = logging.INFO) -> None:
    """The program's log: lines on standard error, as text or as JSON objects; the gateway's own
    at `level`, the libraries' (the MCP SDK, Uvicorn, HTTPX) from warnings up."""
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(JsonFormatter() if log_format == "json" else logging.Formatter("gateway: %(message)s"))
    root = logging.getLogger()
    root.handlers[:] = [handler]
    root.setLevel(logging.WARNING)
    logging.getLogger("gateway").setLevel(level)


def access_logger(name: str = "gateway.access") -> Callable[[str], None]:
    """An access-log sink (see access.Access.log) writing through Python logging."""
    log = logging.getLogger(name)
    return log.info
