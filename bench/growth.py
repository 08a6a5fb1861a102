"""Growth: the cost per unit of each dimension of the input at 1k, 10k, 100k and 1M units.

Every input dimension that a request or a catalogue can grow along gets one row:
the time of one `execute` (or construction) divided by the number of units, at
each size, and the growth from the smallest size to the largest. A linear path
keeps its cost per unit flat (growth near 1); a quadratic one multiplies it by
the size ratio (1000x from 1k to 1M).

    tools/devroot env PYTHONPATH=build python3 bench/growth.py            # about 3 min
    tools/devroot env PYTHONPATH=build python3 bench/growth.py --max 100000
    tools/devroot env PYTHONPATH=build python3 bench/growth.py --only fields,catalogue
    tools/devroot env PYTHONPATH=build python3 bench/growth.py --instructions --sizes 1000,1000000

`bench/run.py` runs it as workload 8. Each case builds its input once per size,
checks the response once (so a fast wrong answer cannot pass), then times it in
CPU time of the whole process (every thread), so that other load on a shared
machine does not pass for growth. The floor row is orjson reading and writing
an object of n members: what a linear pass over as many heap objects costs here
once they no longer fit in the caches.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass

import orjson
from _graphql import SchemaEngine

from catalogue import catalogue_json, make_tools
from timing import Settings, per_op

SIZES = (1_000, 10_000, 100_000, 1_000_000)
TOOL = "srv0_tool1"  # a read-only tool of make_tools' catalogues


@dataclass(frozen=True)
class Case:
    """One dimension: `make(n)` returns (callable to time, check of its result)."""

    name: str
    unit: str
    make: Callable[[int], tuple[Callable[[], object], Callable[[object], bool]]]
    group: str


def _engine() -> SchemaEngine:
    return SchemaEngine(catalogue_json(make_tools(10)))


SMALL = _engine()


def _query(query: str, variables: str | None = None, engine: SchemaEngine = SMALL,
           expect: str | None = None):
    def run() -> str:
        return engine.execute(query, variables)

    def check(response: str) -> bool:
        value = json.loads(response)
        return not value["errors"] and (expect is None or expect in response)

    return run, check


def _error(query: str, variables: str | None, message: str):
    def run() -> str:
        return SMALL.execute(query, variables)

    return run, lambda response: json.loads(response)["errors"][0]["message"].startswith(message)


def _names(n: int) -> list[str]:
    # Descending, so that nothing arrives in the order an object keeps.
    return [f"k{i:07d}" for i in range(n - 1, -1, -1)]


def _catalogue(n: int, servers: bool) -> str:
    tools = make_tools(n)
    if not servers:
        return catalogue_json(tools)
    # One server per tool, in descending order of their ids.
    return json.dumps([{"server": f"s{n - i:07d}", "name": t.name} for i, t in enumerate(tools)])


class _Host:
    """An engine with the bridge attached and one host thread that answers every
    request at once with `reply`; it lives as long as the benchmark process."""

    START = len('{"request_id":"')

    def __init__(self, reply: str = "1"):
        self.engine = SchemaEngine(catalogue_json(make_tools(10)))
        self.engine.attach_call_bridge()
        self.reply = reply
        self.longest = 0
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self) -> None:
        while True:
            request = self.engine.receive_tool_call(1000)
            if request is not None:
                self.longest = max(self.longest, len(request))
                request_id = request[self.START:request.index('"', self.START)]
                self.engine.respond_tool_call(request_id, self.reply)


def _attached(n: int):
    """n tool fields with the bridge attached: more than the queue holds from 10k on."""
    host = _Host()
    return _query("{" + " ".join(f"{k}: {TOOL}" for k in _names(n)) + "}", engine=host.engine,
                  expect=f'"k{n - 1:07d}":1')


def _reply(n: int):
    """One tool field whose reply is a string of n bytes."""
    host = _Host(json.dumps("x" * n))
    return _query("{ " + TOOL + " }", engine=host.engine, expect="x" * n)


def _request(n: int):
    """One tool field whose argument is a string of n bytes: the request text the host takes."""
    host = _Host()
    run, check = _query(f'{{ {TOOL}(s: "{"x" * n}") }}', engine=host.engine)
    return run, lambda response: check(response) and host.longest > n


def _construct(text: str, count: int):
    return (lambda: SchemaEngine(text)), (lambda engine: engine.tool_count() == count)


CASES = [
    Case("query length (comment bytes)", "byte",
         lambda n: _query("{ __typename #" + "c" * n + "\n}"), "query"),
    Case("query length (white space)", "byte",
         lambda n: _query("{ __typename" + " " * n + "}"), "query"),
    Case("top-level fields with aliases (`__typename`)", "field",
         lambda n: _query("{" + " ".join(f"{k}: __typename" for k in _names(n)) + "}"), "fields"),
    Case("duplicate response keys", "field",
         lambda n: _query("{" + " a: __typename" * n + "}"), "fields"),
    Case("tool fields, bridge detached", "field",
         lambda n: _query("{" + " ".join(f"{k}: {TOOL}" for k in _names(n)) + "}"), "fields"),
    Case("tool fields, bridge attached (1 host thread)", "field", _attached, "bridge"),
    Case("unknown field after n fields", "field",
         lambda n: _error("{" + " __typename" * n + " nosuchfield }", None,
                          "unknown GraphQL field"), "fields"),
    Case("arguments per field", "argument",
         lambda n: _query("{ " + TOOL + "(" + " ".join(f"{k}: 1" for k in _names(n)) + ") }"),
         "arguments"),
    Case("argument list length", "element",
         lambda n: _query("{ " + TOOL + "(l: [" + "1 " * n + "]) }"), "arguments"),
    Case("input object width", "member",
         lambda n: _query("{ " + TOOL + "(o: {" + " ".join(f"{k}: 1" for k in _names(n)) + "}) }"),
         "arguments"),
    Case("string literal size", "byte",
         lambda n: _query("{ " + TOOL + '(s: "' + "x" * n + '") }'), "literals"),
    Case("string literal with escapes", "byte",
         lambda n: _query("{ " + TOOL + '(s: "' + "\\n" * (n // 2) + '") }'), "literals"),
    Case("number literal size (fraction digits)", "byte",
         lambda n: _query("{ " + TOOL + "(x: 0." + "1" * n + ") }"), "literals"),
    Case("nested selection sets (depth, skipped)", "level",
         lambda n: _query("{ __typename " + "{ a " * n + "}" * n + " }"), "skipped"),
    Case("nested selection set (width, skipped)", "field",
         lambda n: _query("{ __typename { " + "a " * n + "} }"), "skipped"),
    Case("directives on one field", "directive",
         lambda n: _query("{ __typename " + "@d(if: true) " * n + "}"), "skipped"),
    Case("variable definitions (skipped)", "definition",
         lambda n: _query("query Q(" + " ".join(f"$v{i}: Int" for i in range(n)) + ") { __typename }"),
         "skipped"),
    Case("variables text size (one string)", "byte",
         lambda n: _query("{ __typename }", json.dumps({"v": "x" * n})), "variables"),
    Case("variables width (members)", "member",
         lambda n: _query("{ __typename }", json.dumps({k: 1 for k in _names(n)})), "variables"),
    Case("variable used by n fields", "field",
         lambda n: _query("{" + " ".join(f"{k}: {TOOL}(v: $v)" for k in _names(n)) + "}",
                          json.dumps({"v": [1, 2, 3]})), "variables"),
    Case("variable of n/2 bytes used by n/200 fields", "byte",
         lambda n: _query("{" + " ".join(f"{k}: {TOOL}(v: $v)" for k in _names(n // 200 or 1)) + "}",
                          json.dumps({"v": "x" * (n // 2)})), "variables"),
    Case("invalid variables text (error at the end)", "byte",
         lambda n: _error("{ __typename }", '{"v": "' + "x" * n + '"', "invalid variables JSON"),
         "variables"),
    Case("catalogue construction", "tool",
         lambda n: _construct(catalogue_json(make_tools(n)), n), "catalogue"),
    Case("catalogue construction, one server per tool", "tool",
         lambda n: _construct(_catalogue(n, servers=True), n), "catalogue"),
    Case("`describe`", "tool", lambda n: (
        (lambda e: (lambda: e.describe()))(SchemaEngine(catalogue_json(make_tools(n)))),
        lambda text: f"({n} tool fields)" in text), "catalogue"),
    Case("`search`", "tool", lambda n: _query(
        "{ search }", engine=SchemaEngine(catalogue_json(make_tools(n)))), "catalogue"),
    Case("`servers`, one server per tool", "server", lambda n: _query(
        "{ servers }", engine=SchemaEngine(_catalogue(n, servers=True))), "catalogue"),
    Case("reply text size", "byte", _reply, "bridge"),
    Case("request text size", "byte", _request, "bridge"),
]


def _floor(n: int):
    text = orjson.dumps({k: "Query" for k in _names(n)})
    return (lambda: orjson.dumps(orjson.loads(text), option=orjson.OPT_SORT_KEYS)), bool


CASES.append(Case("floor: orjson loads + sorted dumps, n members", "member", _floor, "floor"))


def measure(cases: list[Case], sizes: tuple[int, ...], settings: Settings):
    """Yields (case, {size: seconds per unit})."""
    for case in cases:
        per_unit: dict[int, float] = {}
        for n in sizes:
            print(f"  growth: {case.name}, {n:,} ...", file=sys.stderr, flush=True)
            run, check = case.make(n)
            if not check(run()):
                raise SystemExit(f"growth: {case.name} at {n}: wrong result")
            sample = per_op(f"growth {case.name} {n}", run, None, settings, clock=time.process_time)
            per_unit[n] = sample.best / n
        yield case, per_unit


def count_instructions(cases: list[Case], sizes: tuple[int, ...]):
    """Yields (case, {size: instructions per unit}), counted by Cachegrind in user
    space: a machine-independent measure of the work done, blind to cache misses
    and page faults, so that it shows an algorithm's growth alone. Each count is
    the difference between a process that runs the operation three times and one
    that runs it once, so building the input and the first run's set-up drop out."""
    for case in cases:
        per_unit: dict[int, float] = {}
        for n in sizes:
            print(f"  instructions: {case.name}, {n:,} ...", file=sys.stderr, flush=True)
            counts = []
            for runs in (1, 3):
                done = subprocess.run(
                    ["valgrind", "--tool=cachegrind", "--cache-sim=no",
                     "--cachegrind-out-file=/dev/null", sys.executable, __file__,
                     "--run", str(CASES.index(case)), str(n), str(runs)],
                    capture_output=True, text=True, check=True,
                    env={**os.environ, "PYTHONHASHSEED": "0"})  # the same dict layouts in both
                refs = re.search(r"I\s+refs:\s+([\d,]+)", done.stderr)[1]
                counts.append(int(refs.replace(",", "")))
            per_unit[n] = (counts[1] - counts[0]) / 2 / n
        yield case, per_unit


def fmt_count(count: float) -> str:
    return f"{count:.3g}"


def fmt_unit(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        if seconds >= scale or unit == "ns":
            return f"{seconds / scale:.3g} {unit}"
    raise AssertionError


def table(results, sizes: tuple[int, ...], fmt: Callable[[float], str] = fmt_unit) -> str:
    """Rows with their growth, and beside it the growth over the floor's: a row is
    linear when it grows at most 1.5x, or no more than 1.25x as much as the floor."""
    results = list(results)
    growth = {case.name: per_unit[sizes[-1]] / per_unit[sizes[0]] for case, per_unit in results}
    floor = next((growth[c.name] for c, _ in results if c.group == "floor"), None)
    span = f"{sizes[-1]:,}/{sizes[0]:,}"
    header = ["dimension", "unit", *(f"{n:,}" for n in sizes), f"growth {span}", "over floor",
              "linear"]
    rows = []
    for case, per_unit in results:
        g = growth[case.name]
        over = g / floor if floor else None
        ok = g <= 1.5 or (over is not None and over <= 1.25)
        rows.append([case.name, case.unit, *(fmt(per_unit[n]) for n in sizes), f"{g:.2f}",
                     "—" if over is None or case.group == "floor" else f"{over:.2f}",
                     "—" if case.group == "floor" else ("yes" if ok else "**NO**")])
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(header)]
    line = lambda cells: "| " + " | ".join(c.ljust(w) for c, w in zip(cells, widths)) + " |"
    return "\n".join([line(header), "|" + "|".join("-" * (w + 2) for w in widths) + "|",
                      *(line(r) for r in rows)])


def select(only: str) -> list[Case]:
    """The cases of the groups named, or whose dimension starts with a text given."""
    wanted = [x.strip() for x in only.split(",") if x.strip()]
    # The floor always runs: every row is judged against it.
    return [c for c in CASES if not wanted or c.group == "floor"
            or any(c.group == w or c.name.startswith(w) for w in wanted)]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--max", type=int, default=SIZES[-1], help="largest size (default 1,000,000)")
    parser.add_argument("--sizes", help="the sizes, smallest first (default 1000,...,1000000)")
    parser.add_argument("--only", default="", help="groups (" + ",".join(sorted({c.group for c in CASES}))
                        + ") or the start of a dimension's name")
    parser.add_argument("--instructions", action="store_true",
                        help="count instructions per unit under Cachegrind instead of timing")
    parser.add_argument("--run", nargs=3, type=int, metavar=("CASE", "SIZE", "RUNS"),
                        help=argparse.SUPPRESS)  # one counted process of --instructions
    args = parser.parse_args()
    if args.run:
        case, n, runs = args.run
        run, _ = CASES[case].make(n)
        for _ in range(runs):
            run()
        return
    sizes = tuple(int(n) for n in args.sizes.split(",")) if args.sizes else SIZES
    sizes = tuple(n for n in sizes if n <= args.max)
    if args.instructions:
        print(table(count_instructions(select(args.only), sizes), sizes, fmt_count))
        return
    # One batch per repeat at the large sizes is plenty: they last long enough.
    settings = Settings(min_time=0.05, repeat=3, max_total=2.0)
    print(table(measure(select(args.only), sizes, settings), sizes))


if __name__ == "__main__":
    main()
