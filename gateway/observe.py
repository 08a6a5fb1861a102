"""What the gateway tells about itself: metrics, traces and log lines, as one object the dispatcher,
the HTTP app and the upstreams share.

Each gateway has its own (metrics in a registry of their own, spans from a
tracer provider of their own), so two gateways in one process count and trace
apart. Tracing is off unless the standard OTEL_* variables ask for it, and
then costs nothing: its libraries are not even imported.
"""

import os
import time
from collections.abc import Callable, Iterable, Iterator, Mapping
from contextlib import AbstractContextManager, contextmanager, nullcontext
from contextvars import ContextVar, Token
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .fields import FieldIndex
    from .metrics import Metrics
    from .tracing import CallSpan, Tracing

# The status logged for a request whose client left before its answer (nginx's code; nobody reads it).
CLIENT_GONE = 499
UNMATCHED = "unmatched"  # the route label of a path no route serves: the paths themselves are unbounded

# The W3C trace context of the tool call this task runs, for its MCP request's `_meta`.
_CALL_META: ContextVar[dict[str, str] | None] = ContextVar("gateway_call_meta", default=None)


def call_meta() -> dict[str, str] | None:
    """`traceparent` (and `tracestate`) of the tool call this task runs, as MCP carries them in
    a request's `params._meta`; None when tracing is off."""
    return _CALL_META.get()


class ToolCall:
    """One tool call being observed, ended by `end(outcome)` with "ok" or "error"."""

    def __init__(self, metrics: Metrics | None, server: str, tool: str, span: CallSpan | None) -> None:
        self.metrics = metrics
        self.server = server
        self.tool = tool
        self.span = span
        self.began = time.perf_counter()
        self._meta: Token[dict[str, str] | None] | None = None
        if metrics is not None:
            metrics.tool_call_started()
        if span is not None:
            self._meta = _CALL_META.set(span.meta)

    def end(self, outcome: str) -> None:
        if self.metrics is not None:
            self.metrics.tool_call_ended(self.server, self.tool, outcome, time.perf_counter() - self.began)
        if self.span is not None:
            assert self._meta is not None
            _CALL_META.reset(self._meta)
            self.span.end(outcome)


class Observer:
    """The gateway's metrics and tracing; either may be off (None)."""

    def __init__(self, metrics: Metrics | None = None, tracing: Tracing | None = None) -> None:
        self.metrics = metrics
        self.tracing = tracing

    @classmethod
    def from_environ(cls, environ: Mapping[str, str] = os.environ, *, metrics: bool = True) -> Observer:
        """Metrics (unless `metrics` is false) and tracing as the OTEL_* variables say.
        An OTEL setting that cannot be followed raises ValueError."""
        counted = None
        if metrics:
            from .metrics import Metrics
            counted = Metrics()
        traced = None
        if any(key.startswith("OTEL_") for key in environ):
            from .tracing import Tracing, provider_from_environ
            provider = provider_from_environ(environ)
            traced = Tracing(provider) if provider is not None else None
        return cls(counted, traced)

    def watch(self, configured: Iterable[str], servers: Callable[[], Mapping[str, bool]]) -> None:
        """Servers to report up or down; `servers()` is asked when scraped."""
        if self.metrics is not None:
            self.metrics.watch_servers(configured, servers)

    def watch_more(self, servers: Iterable[str]) -> None:
        """Servers a reload added: their restarts shown from 0 as the first ones' are."""
        if self.metrics is not None:
            self.metrics.watch_more(servers)

    def upstream_restarted(self, server: str) -> None:
        """For the supervisor that starts a failed server again."""
        if self.metrics is not None:
            self.metrics.upstream_restarted(server)

    def query(self, fields: frozenset[str]) -> AbstractContextManager[None]:
        """Around one query's run: counted in flight, and the parent of the tool calls it causes."""
        if self.tracing is None and self.metrics is None:
            return nullcontext()
        return self._query(fields)

    @contextmanager
    def _query(self, fields: frozenset[str]) -> Iterator[None]:
        if self.metrics is not None:
            self.metrics.queries_in_flight.inc()
        try:
            if self.tracing is not None:
                with self.tracing.query(fields):
                    yield
            else:
                yield
        finally:
            if self.metrics is not None:
                self.metrics.queries_in_flight.dec()

    def serving(self, index: FieldIndex) -> None:
        """The fields of the engine whose tool calls are observed next."""
        if self.tracing is not None:
            self.tracing.serving(index)
        if self.metrics is not None:
            self.metrics.offered({(hit.server, hit.tool) for hit in index.hits})

    def tool_call(self, server: str, tool: str) -> ToolCall:
        """Starts observing one call; the caller ends it with `.end(outcome)`."""
        span = self.tracing.tool_call(server, tool) if self.tracing is not None else None
        return ToolCall(self.metrics, server, tool, span)

    def close(self) -> None:
        if self.tracing is not None:
            self.tracing.shutdown()


class ObserveMiddleware:
    """Counts, traces and logs every HTTP request, timing it and reading its status once for all
    three. It wraps the whole stack, so its span is the current one for every check and log line
    beneath it. `log(scope, status, milliseconds)` writes the access line (access_log.request_line)."""

    def __init__(self, app: Any, observer: Observer,
                 log: Callable[[dict[str, Any], int, float], None] | None = None) -> None:
        self.app = app
        self.metrics = observer.metrics
        self.tracing = observer.tracing
        self.log = log
        self._paths: frozenset[str] | None = None

    async def __call__(self, scope: dict[str, Any], receive: Any, send: Any) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        began = time.perf_counter()
        status = 0  # until the answer starts

        async def status_kept(message: dict[str, Any]) -> None:  # a closure: cheaper to call than an object
            nonlocal status
            if message["type"] == "http.response.start":
                status = message["status"]
            await send(message)

        span = self.tracing.request(scope["method"], scope["path"], scope["headers"]) if self.tracing else None
        try:
            await self.app(scope, receive, status_kept)
        except BaseException:
            status = status or 500  # the app failed before answering
            raise
        finally:
            # Returned without answering: the client left first (a body it stopped sending), which
            # is no fault of the gateway's and must not count as one.
            status = status or CLIENT_GONE
            elapsed = time.perf_counter() - began
            if self.log is not None:  # inside the span, so a JSON line carries its trace
                self.log(scope, status, elapsed * 1000)
            route = self._route(scope)
            if self.metrics is not None:
                state = scope.get("state")
                self.metrics.request_ended(route, status, elapsed, state.get("fields") if state else None)
            if span is not None:
                span.end(scope["method"], route, status)


    def _route(self, scope: dict[str, Any]) -> str:
        """The route's path template as the router matched it; for a request a check refused before
        routing, its path when that is a route's own. Never the raw path: that is the client's to vary."""
        matched = getattr(scope.get("route"), "path", None)
        if isinstance(matched, str):
            return matched
        if self._paths is None:
            routes = getattr(scope.get("app"), "routes", ())
            self._paths = frozenset(path for route in routes if isinstance(path := getattr(route, "path", None), str))
        return scope["path"] if scope["path"] in self._paths else UNMATCHED
