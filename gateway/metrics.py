"""The gateway's Prometheus metrics, in a registry of its own (never the process-wide one)."""

import contextlib
from collections.abc import Callable, Iterable, Iterator, Mapping

from prometheus_client import CONTENT_TYPE_LATEST, CollectorRegistry, Counter, Gauge, Histogram, generate_latest
from prometheus_client.core import GaugeMetricFamily
from prometheus_client.registry import Collector

MEDIA_TYPE = CONTENT_TYPE_LATEST
# Seconds: a built-in field answers in well under a millisecond, a slow tool in tens of seconds.
LATENCY_BUCKETS = (0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0, 30.0)
FIELD_BUCKETS = (0, 1, 2, 5, 10, 20, 50, 100, 200, 500, 1000)


class Metrics:
    """Every series the gateway exports. Label values are bounded by the configuration: routes
    are the app's own (a path no route serves is one label), servers and tools the catalogue's,
    whose series are dropped once their tool is no longer offered (a server that renames its
    tools at every listing would otherwise grow them without end)."""

    media_type = MEDIA_TYPE

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
                                       "Queries with tool fields running or waiting for a query thread",
                                       registry=registry)
        self.tool_calls = Counter("gateway_tool_calls", "Tool calls ended, by server, tool and outcome",
                                  ["server", "tool", "outcome"], registry=registry)
        self.tool_seconds = Histogram("gateway_tool_call_duration_seconds", "Time of one tool call",
                                      ["server", "tool"], buckets=LATENCY_BUCKETS, registry=registry)
        self.tool_calls_in_flight = Gauge("gateway_tool_calls_in_flight", "Tool calls waiting for their server",
                                          registry=registry)
        # Label children by their values; as bounded as the labels (routes, statuses, the offered tools),
        # and a tool's children leave with its series.
        self._request_counters: dict[tuple[str, int], Counter] = {}
        self._tool_children: dict[tuple[str, str, str], tuple[Counter, Histogram]] = {}
        self.restarts = Counter("gateway_upstream_restarts", "Times a server was started again after it failed",
                                ["server"], registry=registry)

    def watch_servers(self, names: Iterable[str], state: Callable[[], Mapping[str, bool]]) -> None:
        """Each server up (1) or down (0) as read when scraped; its restarts shown from 0."""
        for name in names:
            self.restarts.labels(name)
        self.registry.register(_ServersUp(state))

    def watch_more(self, names: Iterable[str]) -> None:
        for name in names:
            self.restarts.labels(name)

    def upstream_restarted(self, server: str) -> None:
        """For the supervisor that restarts a failed server."""
        self.restarts.labels(server).inc()

    def tool_call_started(self) -> None:
        self.tool_calls_in_flight.inc()

    def tool_call_ended(self, server: str, tool: str, outcome: str, seconds: float) -> None:
        self.tool_calls_in_flight.dec()
        try:
            ended, timed = self._tool_children[server, tool, outcome]
        except KeyError:  # a series counted for the first time (or again, after its tool came back)
            ended, timed = self._tool_children[server, tool, outcome] = (
                self.tool_calls.labels(server, tool, outcome), self.tool_seconds.labels(server, tool))
        ended.inc()
        timed.observe(seconds)

    def offered(self, tools: set[tuple[str, str]]) -> None:
        """The (server, tool) pairs now offered: every other tool's series is dropped."""
        for series in [s for s in self._tool_children if s[:2] not in tools]:
            del self._tool_children[series]
            self.tool_calls.remove(*series)
            with contextlib.suppress(KeyError):  # one per tool, beside one per outcome
                self.tool_seconds.remove(*series[:2])

    def request_ended(self, route: str, status: int, seconds: float, fields: object) -> None:
        # Each (route, status) child once: `labels()` checks and joins its values on every call.
        try:
            counter = self._request_counters[route, status]
        except KeyError:
            counter = self._request_counters[route, status] = self.requests.labels(route, str(status))
        counter.inc()
        if route == "/graphql":
            self.query_seconds.observe(seconds)
            if isinstance(fields, int):
                self.query_fields.observe(fields)

    def text(self) -> bytes:
        return bytes(generate_latest(self.registry))


class _ServersUp(Collector):
    """`gateway_upstream_up`, asked of the gateway when scraped rather than kept in step with it."""

    def __init__(self, state: Callable[[], Mapping[str, bool]]) -> None:
        self._state = state

    def describe(self) -> list[GaugeMetricFamily]:
        return []  # its series are the servers', known only when scraped

    def collect(self) -> Iterator[GaugeMetricFamily]:
        family = GaugeMetricFamily("gateway_upstream_up", "Whether a configured MCP server is up", labels=["server"])
        for name, up in self._state().items():
            family.add_metric([name], 1.0 if up else 0.0)
        yield family
