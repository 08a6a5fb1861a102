#!/usr/bin/env python3
"""What the gateway's GraphQL front adds to a request, on a cache hit and a miss.

Run from the repository root (the module built in build/):

    tools/devroot env PYTHONPATH=build python3 bench/front.py          # about 20 s

No MCP server and no HTTP: an engine with its bridge detached (tool fields take
their placeholder at once) over five tools with typed inputs, and the front in
front of it, the engine called on the calling thread. Per document it prints
the time per request of:

  - the engine alone, given the document the front hands it (what a request
    cost before the front, less the text it was given);
  - the front on a cache hit: prepare (a look-up) and run (variables, engine,
    trimming, merging) and the response written as JSON;
  - the front on a miss: a new document every request (an alias numbered per
    request), so parse, validate and compile each time.

The best of five batches is kept.

`--fanout` instead measures what a request's fan-out costs in memory: one
variable of 256 KiB used by 32 and 64 tool fields of the test server, run over
stdio, and the growth of the gateway's peak resident memory (VmHWM); the
default `--max-fanout` is chosen from it.

Nothing here is a test: no figure is asserted.
"""

from __future__ import annotations

import argparse
import asyncio
import itertools
import json
import sys
import time
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import _graphql

from gateway.fields import FieldIndex
from gateway.front import Front
from gateway.preparing import Preparer
from gateway.schema import build
from graphql import get_introspection_query

TEXT = {"type": "object", "properties": {"text": {"type": "string"}}, "required": ["text"]}
NUMBERS = {"type": "object", "properties": {"numbers": {"type": "array", "items": {"type": "number"}}},
           "required": ["numbers"]}
PAIR = {"type": "object", "properties": {"a": {"type": "number"}, "b": {"type": "number"}}, "required": ["a", "b"]}
CATALOGUE = [{"server": "toolbox", "tools": [
    {"name": "reverse", "inputSchema": TEXT}, {"name": "add", "inputSchema": NUMBERS},
    {"name": "word_count", "inputSchema": TEXT}, {"name": "slugify", "inputSchema": TEXT},
    {"name": "divide", "inputSchema": PAIR}]}]
FIVE_FIELDS = ('query Five($t: String!) { a: toolbox_reverse(text: $t) { json } '
               'b: toolbox_add(numbers: [1, 2]) { json } c: toolbox_word_count(text: "a b c") { isError json } '
               'd: toolbox_slugify(text: "A b") { text } e: toolbox_divide(a: 1, b: 4) { json } }')
DOCUMENTS = {
    "{ __typename }": ("{ __typename }", None),
    "five tool fields, a variable": (FIVE_FIELDS, {"t": "abc"}),
    "five tool fields, literal arguments": (FIVE_FIELDS.replace("query Five($t: String!)", "").replace("$t", '"abc"'),
                                            None),
    "GraphiQL's introspection query": (get_introspection_query(descriptions=True), None),
}


def best_per_op(run: Any, seconds: float) -> float:
    """Seconds per call of run(), the best of five batches of about seconds/5 each."""
    number = 1
    while True:
        began = time.perf_counter()
        for _ in range(number):
            run()
        if time.perf_counter() - began > seconds / 25:
            break
        number *= 2
    times = []
    for _ in range(5):
        began = time.perf_counter()
        for _ in range(number):
            run()
        times.append((time.perf_counter() - began) / number)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=2.0, help="time per measurement (default: 2)")
    parser.add_argument("--fanout", action="store_true", help="measure memory per fan-out byte instead")
    args = parser.parse_args()
    if args.fanout:
        for uses in (32, 64):
            asyncio.run(fanout_peak(256 << 10, uses))
        return
    engine = _graphql.SchemaEngine(json.dumps(CATALOGUE))
    schema = build(CATALOGUE, FieldIndex.of(engine))

    async def on_this_thread(fields: frozenset[str], function: Any, *call: Any) -> str:
        return function(*call)

    # The default cache (misses evict as they would); preparation on this thread, as the engine.
    front = Front(schema, engine, on_this_thread, preparer=_OnThisThread())
    fresh = itertools.count()
    print("| document | engine alone | front, cache hit | added | front, cache miss | added |")
    print("|---|---|---|---|---|---|")
    for label, (query, variables) in DOCUMENTS.items():
        prepared = front.prepare(query)
        _drive(front.run(prepared, variables))  # renders the engine's document
        work = next(iter(prepared._variants.values()), None)
        engine_text = work.text if work is not None else None
        variables_json = json.dumps(variables) if variables else None

        def engine_alone(text: str | None = engine_text, given: str | None = variables_json) -> None:
            if text is not None:
                engine.execute(text, given)

        def hit(query: str = query, variables: Any = variables) -> None:
            json.dumps(_drive(front.execute(query, variables)))

        def miss(query: str = query, variables: Any = variables) -> None:
            json.dumps(_drive(front.execute(_renamed(query, next(fresh)), variables)))

        base = best_per_op(engine_alone, args.seconds) if engine_text is not None else 0.0
        on_hit = best_per_op(hit, args.seconds)
        on_miss = best_per_op(miss, args.seconds)
        print(f"| {label} | {_us(base)} | {_us(on_hit)} | {_us(on_hit - base)} | {_us(on_miss)} | "
              f"{_us(on_miss - base)} |")


class _OnThisThread(Preparer):
    """Prepares on the calling thread, at once: the front's own work, without a thread's hand-off."""

    async def run(self, seconds: float, client: str, function: Any, *args: Any) -> Any:
        return function(*args)


def _drive(coroutine: Any) -> Any:
    """The result of a coroutine that never waits (the engine runs on this thread): no event
    loop's scheduling in the figures, only the front's own work."""
    try:
        coroutine.send(None)
    except StopIteration as done:
        return done.value
    raise RuntimeError("the front waited: the engine was meant to run on this thread")


async def fanout_peak(size: int, uses: int) -> None:
    from gateway import Gateway, ServerConfig
    from gateway.limits import Limits

    server = Path(__file__).resolve().parent.parent / "tests" / "mcp_test_server.py"
    config = ServerConfig("a", command=sys.executable, args=(str(server),))
    query = "query ($v: String!) { " + " ".join(f"f{i}: a_fail(reason: $v) {{ isError }}" for i in range(uses)) + " }"
    async with Gateway([config], limits=Limits(fanout=1 << 40)) as gateway:
        await gateway.execute(query, {"v": "x"})  # every path warmed up
        before = _peak_mib()
        await gateway.execute(query, {"v": "x" * size})
        grown = _peak_mib() - before
    fanout = size * uses / (1 << 20)
    print(f"fan-out {fanout:.0f} MiB: peak memory grew {grown:.0f} MiB, {grown / fanout:.1f} bytes per byte")


def _peak_mib() -> float:
    with open("/proc/self/status", encoding="ascii") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM")) / 1024


def _renamed(query: str, n: int) -> str:
    """The same document with one more `__typename` under a fresh alias: a cache miss every time."""
    at = query.index("{") + 1
    return f"{query[:at]} fresh{n}: __typename {query[at:]}"


def _us(seconds: float) -> str:
    return f"{seconds * 1e6:,.1f} µs"


if __name__ == "__main__":
    main()
