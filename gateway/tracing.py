"""OpenTelemetry spans of the gateway's requests and tool calls, from a tracer provider of its own.

Imported only when the OTEL_* variables turn tracing on (see observe.py).
"""

import sys
from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from contextvars import Token
from dataclasses import dataclass

from opentelemetry import context as otel_context
from opentelemetry import trace
from opentelemetry.sdk.resources import Resource
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import BatchSpanProcessor, ConsoleSpanExporter, SpanExporter
from opentelemetry.trace import SpanKind, Status, StatusCode
from opentelemetry.trace.propagation.tracecontext import TraceContextTextMapPropagator

from .fields import FieldIndex

SERVICE_NAME = "ziri-gateway"
TRACER_NAME = "gateway"
# W3C trace context: the two headers (and `_meta` members) that carry it.
CONTEXT_HEADERS = (b"traceparent", b"tracestate")


def provider_from_environ(environ: Mapping[str, str]) -> TracerProvider | None:
    """A tracer provider exporting as OTEL_TRACES_EXPORTER says, or None when tracing is off.

    Off unless OTEL_TRACES_EXPORTER names an exporter or an OTLP endpoint is
    set (OTLP is then the exporter, the SDK's own default); off whenever
    OTEL_SDK_DISABLED is true. An exporter this gateway cannot build stops the
    start (ValueError) rather than silently tracing nothing.
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
    # Resource.create puts OTEL_SERVICE_NAME and OTEL_RESOURCE_ATTRIBUTES over this default.
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
        try:
            from opentelemetry.exporter.otlp.proto.http.trace_exporter import OTLPSpanExporter
        except ImportError as exc:
            raise ValueError(f"OTEL_TRACES_EXPORTER=otlp needs the otlp extra "
                             f"(opentelemetry-exporter-otlp-proto-http): {exc}") from None
        # The endpoint from `environ` as the SDK would read it (the traces URL as given, or the base
        # URL plus /v1/traces); headers, certificates and timeouts the SDK reads from the process.
        endpoint = environ.get("OTEL_EXPORTER_OTLP_TRACES_ENDPOINT")
        if not endpoint and (base := environ.get("OTEL_EXPORTER_OTLP_ENDPOINT")):
            endpoint = base.rstrip("/") + "/v1/traces"
        return OTLPSpanExporter(endpoint=endpoint or None)
    raise ValueError(f"OTEL_TRACES_EXPORTER={name}: this gateway exports traces by otlp or console (or none)")


@dataclass(eq=False)  # removed by identity: comparing field sets would cost their length
class _Running:
    """A query in flight, as the tool calls it causes look for their parent span."""

    fields: frozenset[str]
    context: otel_context.Context


class Tracing:
    """The spans of one gateway.

    The engine's tool-call request names its server and tool but not the query
    that caused it, so a call's parent is the oldest query in flight whose text
    selects the call's field (or the only query in flight). Two queries
    calling the same tool at the same moment may swap their calls' parents; a
    call no query claims is a trace of its own. All of it runs on the loop.
    """

    def __init__(self, provider: TracerProvider) -> None:
        self.provider = provider
        self.tracer = provider.get_tracer(TRACER_NAME)
        self.propagator = TraceContextTextMapPropagator()
        self._running: list[_Running] = []
        self._index = FieldIndex((), {})

    def request(self, method: str, path: str, headers: list[tuple[bytes, bytes]]) -> RequestSpan:
        """The span of one HTTP request, a child of the caller's trace context when it sends one."""
        carrier = {name.decode("latin-1"): value.decode("latin-1") for name, value in headers
                   if name in CONTEXT_HEADERS}
        parent = self.propagator.extract(carrier)
        span = self.tracer.start_span(method, context=parent, kind=SpanKind.SERVER,
                                      attributes={"http.request.method": method, "url.path": path})
        return RequestSpan(span, otel_context.attach(trace.set_span_in_context(span, parent)))

    @contextmanager
    def query(self, fields: frozenset[str]) -> Iterator[None]:
        """Around one query's run; `fields` are the tool fields the front found in its document."""
        entry = _Running(fields, otel_context.get_current())
        self._running.append(entry)
        try:
            yield
        finally:
            self._running.remove(entry)

    def serving(self, index: FieldIndex) -> None:
        """The field of each (server, tool) from now on, as the engine named it."""
        self._index = index

    def tool_call(self, server: str, tool: str) -> CallSpan:
        """The span of one tool call, current until it ends, its context handed to `meta`."""
        field = self._index.field_of(server, tool)
        parent = next((entry.context for entry in self._running if field in entry.fields),
                      self._running[0].context if len(self._running) == 1 else None)
        span = self.tracer.start_span(f"tools/call {tool}", context=parent, kind=SpanKind.CLIENT,
                                      attributes={"mcp.method.name": "tools/call", "mcp.server.name": server,
                                                  "mcp.tool.name": tool})
        active = trace.set_span_in_context(span, parent)
        meta: dict[str, str] = {}
        self.propagator.inject(meta, context=active)
        return CallSpan(span, otel_context.attach(active), meta)

    def shutdown(self) -> None:
        self.provider.shutdown()  # exports what is still batched


class RequestSpan:
    def __init__(self, span: trace.Span, token: Token[otel_context.Context]) -> None:
        self.span = span
        self._token = token

    def end(self, method: str, route: str, status: int) -> None:
        self.span.update_name(f"{method} {route}")
        self.span.set_attribute("http.route", route)
        self.span.set_attribute("http.response.status_code", status)
        if status >= 500:
            self.span.set_status(Status(StatusCode.ERROR))
        self.span.end()
        otel_context.detach(self._token)


class CallSpan:
    def __init__(self, span: trace.Span, token: Token[otel_context.Context], meta: dict[str, str]) -> None:
        self.span = span
        self.meta = meta
        self._token = token

    def end(self, outcome: str) -> None:
        self.span.set_attribute("mcp.tool.outcome", outcome)
        if outcome != "ok":
            self.span.set_status(Status(StatusCode.ERROR))
        self.span.end()
        otel_context.detach(self._token)


def current_ids() -> tuple[str, str] | None:
    """The trace and span ids of the span current in this context, in hex."""
    context = trace.get_current_span().get_span_context()
    if not context.is_valid:
        return None
    return format(context.trace_id, "032x"), format(context.span_id, "016x")
