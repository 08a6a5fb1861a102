"""The gateway's Prometheus metrics, in a registry of its own (never the process-wide one)."""

import bisect
import contextlib
import time
from collections.abc import Callable, Iterable, Iterator, Mapping

from prometheus_client import CONTENT_TYPE_LATEST, CollectorRegistry, Counter, Gauge, Histogram, generate_latest
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, HistogramMetricFamily, Metric
from prometheus_client.registry import Collector
from prometheus_client.samples import Sample
from prometheus_client.utils import floatToGoString

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
        self.requests = _Requests()
        registry.register(self.requests)
        self.queries_in_flight = Gauge("gateway_queries_in_flight",
                                       "Queries with tool fields running or waiting for a query thread",
                                       registry=registry)
        self.tool_calls = Counter("gateway_tool_calls", "Tool calls ended, by server, tool and outcome",
                                  ["server", "tool", "outcome"], registry=registry)
        self.tool_seconds = Histogram("gateway_tool_call_duration_seconds", "Time of one tool call",
                                      ["server", "tool"], buckets=LATENCY_BUCKETS, registry=registry)
        self.tool_calls_in_flight = Gauge("gateway_tool_calls_in_flight", "Tool calls waiting for their server",
                                          registry=registry)
        # Label children by their values; as bounded as the labels (the offered tools), and a tool's
        # children leave with its series.
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
        """For the HTTP middleware, on the event loop, as each request ends."""
        requests = self.requests
        key = (route, status)
        if key in requests.counts:
            requests.counts[key] += 1
        else:
            requests.counts[key] = 1
            requests.created[key] = time.time()
        if route == "/graphql":
            requests.seconds.observe(seconds)
            if isinstance(fields, int):
                requests.fields.observe(fields)

    def text(self) -> bytes:
        return bytes(generate_latest(self.registry))


class _Tally:
    """One histogram's buckets, sum and count as plain numbers."""

    def __init__(self, name: str, documentation: str, bounds: tuple[float, ...]) -> None:
        self.name = name
        self.documentation = documentation
        self.bounds = bounds
        self.counts = [0] * (len(bounds) + 1)  # the last: above every bound
        self.sum = 0.0
        self.created = time.time()

    def observe(self, value: float) -> None:
        self.counts[bisect.bisect_left(self.bounds, value)] += 1  # the first bound >= value: `le`
        self.sum += value

    def family(self) -> HistogramMetricFamily:
        counts, total = list(self.counts), self.sum  # one moment's numbers, should another thread scrape
        cumulative, buckets = 0, []
        for bound, count in zip((*map(floatToGoString, self.bounds), "+Inf"), counts, strict=True):
            cumulative += count
            buckets.append((bound, float(cumulative)))
        family = HistogramMetricFamily(self.name, self.documentation, buckets=buckets, sum_value=total)
        family.samples.append(Sample(f"{self.name}_created", {}, self.created))
        return family


class _Requests(Collector):
    """`gateway_http_requests` by route and status, and the time and top-level fields of /graphql
    requests. Counted by the HTTP middleware, which runs on the event loop alone, in plain
    numbers: prometheus_client's own metrics take a lock at every update, for threads that
    never count these. The series read as theirs would."""

    def __init__(self) -> None:
        self.counts: dict[tuple[str, int], int] = {}  # as bounded as routes and statuses
        self.created: dict[tuple[str, int], float] = {}
        self.seconds = _Tally("gateway_query_duration_seconds", "Time to answer one /graphql request", LATENCY_BUCKETS)
        self.fields = _Tally("gateway_query_fields", "Top-level fields of one /graphql request", FIELD_BUCKETS)

    def describe(self) -> list[Metric]:
        return []  # its series are known only when counted

    def collect(self) -> Iterator[Metric]:
        family = CounterMetricFamily("gateway_http_requests", "HTTP requests answered, by route and status",
                                     labels=["route", "status"])
        for (route, status), count in list(self.counts.items()):
            family.add_metric([route, str(status)], count, created=self.created[route, status])
        yield family
        yield self.seconds.family()
        yield self.fields.family()


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
