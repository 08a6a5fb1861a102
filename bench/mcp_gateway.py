#!/usr/bin/env python3
"""What the MCP gateway costs on top of the MCP SDK's own round trip.

Run from the repository root (the module built in build/):

    tools/devroot env PYTHONPATH=build python3 bench/mcp_gateway.py            # about 30 s
    tools/devroot env PYTHONPATH=build python3 bench/mcp_gateway.py --quick    # about 10 s

Three copies of examples/toolbox.py run as stdio servers (t1, t2, t3). Rows:

  1  one tool field per query through the gateway (engine.execute on this
     thread, the call carried to the session's loop and back), against one
     `await session.call_tool(...)` on the loop itself: the SDK's round trip,
     the floor any Python client pays; and the same gateway path with the
     session's answer made instant, which leaves the gateway's own share;
  2  20 tool fields over the 3 servers in one query, against the same 20
     calls awaited one after another (what a client without the gateway
     writes first) and gathered at once (the best a hand-written client does),
     for an instant tool and for one that sleeps 10 ms.

Times are the best and the median of the batches, each batch the mean per
operation. Nothing here is a test: no time is asserted.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import statistics
import sys
import threading
import time
from collections.abc import Awaitable, Callable
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO))

from gateway import Gateway, ServerConfig  # noqa: E402
from mcp.types import CallToolResult, TextContent  # noqa: E402

SERVERS = ["t1", "t2", "t3"]
FIELDS = 20


def configs() -> list[ServerConfig]:
    toolbox = str(REPO / "examples" / "toolbox.py")
    return [ServerConfig(name, command=sys.executable, args=(toolbox,)) for name in SERVERS]


def batches(run_batch: Callable[[], float], repeat: int) -> tuple[float, float]:
    times = [run_batch() for _ in range(repeat)]
    return min(times), statistics.median(times)


def fmt(seconds: float) -> str:
    if seconds != seconds:
        return "—"
    return f"{seconds * 1e3:.3g} ms" if seconds >= 1e-3 else f"{seconds * 1e6:.3g} µs"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    calls, repeat, fan_batches = (50, 3, 5) if args.quick else (300, 5, 20)

    loop = asyncio.new_event_loop()
    thread = threading.Thread(target=loop.run_forever, daemon=True)
    thread.start()

    def on_loop(coroutine: Awaitable[object]) -> object:
        return asyncio.run_coroutine_threadsafe(coroutine, loop).result()  # type: ignore[arg-type]

    gateway = Gateway(configs(), query_threads=1)
    on_loop(gateway.start())
    assert gateway.generation is not None
    engine = gateway.generation.engine
    sessions = [gateway.upstreams[name]._session for name in SERVERS]  # the same sessions, bypassed

    def gateway_batch(query: str, number: int) -> Callable[[], float]:
        def run() -> float:
            began = time.perf_counter()
            for _ in range(number):
                engine.execute(query)
            return (time.perf_counter() - began) / number
        return run

    def sdk_batch(make: Callable[[], Awaitable[object]], number: int) -> Callable[[], float]:
        async def timed() -> float:
            began = time.perf_counter()
            for _ in range(number):
                await make()
            return (time.perf_counter() - began) / number
        return lambda: on_loop(timed())  # type: ignore[return-value]

    one = '{ t1_reverse(text: "abc") }'
    reply = json.loads(engine.execute(one))
    assert reply["errors"] == [] and reply["data"]["t1_reverse"]["json"] == {"text": "cba"}, reply
    rows: list[tuple[str, tuple[float, float], str, tuple[float, float]]] = []
    for _ in range(2):  # warm both paths
        gateway_batch(one, 20)()
        sdk_batch(lambda: sessions[0].call_tool("reverse", {"text": "abc"}), 20)()
    rows.append(("1. one tool call, gateway", batches(gateway_batch(one, calls), repeat),
                 "SDK call_tool",
                 batches(sdk_batch(lambda: sessions[0].call_tool("reverse", {"text": "abc"}), calls),
                         repeat)))

    for tool, arguments, label in (("reverse", {"text": "abc"}, "instant tool"),
                                   ("sleep", {"seconds": 0.01}, "10 ms tool")):
        literal = ", ".join(f"{k}: {json.dumps(v)}" for k, v in arguments.items())
        query = "{ " + " ".join(f"f{n}: {SERVERS[n % 3]}_{tool}({literal})" for n in range(FIELDS)) + " }"
        reply = json.loads(engine.execute(query))
        assert not [v for v in reply["data"].values() if v["isError"]], reply

        async def sequential(tool: str = tool, arguments: dict = arguments) -> None:
            for n in range(FIELDS):
                await sessions[n % 3].call_tool(tool, arguments)

        async def gathered(tool: str = tool, arguments: dict = arguments) -> None:
            await asyncio.gather(*(sessions[n % 3].call_tool(tool, arguments) for n in range(FIELDS)))

        fan = batches(gateway_batch(query, fan_batches), repeat)
        rows.append((f"2. {FIELDS} fields / 3 servers, {label}, gateway", fan, "20 sequential SDK calls",
                     batches(sdk_batch(sequential, fan_batches), repeat)))
        rows.append((f"2. {FIELDS} fields / 3 servers, {label}, gateway", fan, "20 gathered SDK calls",
                     batches(sdk_batch(gathered, fan_batches), repeat)))

    # The gateway's own share: the same path with the session's answer made instant.
    async def instant(tool: str, arguments: dict, timeout: float) -> CallToolResult:
        return CallToolResult(content=[TextContent(type="text", text='{"text":"cba"}')],
                              structuredContent={"text": "cba"})

    gateway.upstreams["t1"].call = instant  # type: ignore[method-assign]
    own = batches(gateway_batch(one, calls * 4), repeat)
    rows.insert(1, ("1. one tool call, gateway, instant session", own, "—", (float("nan"),) * 2))

    on_loop(gateway.close())
    loop.call_soon_threadsafe(loop.stop)
    thread.join()

    print("| workload | gateway best (median) | floor | floor best (median) | gateway/floor |")
    print("|---|---|---|---|---|")
    for name, ours, floor_name, floor in rows:
        ratio = "—" if floor[0] != floor[0] else f"{ours[0] / floor[0]:.2f}x"
        print(f"| {name} | {fmt(ours[0])} ({fmt(ours[1])}) | {floor_name} | {fmt(floor[0])} "
              f"({fmt(floor[1])}) | {ratio} |")


if __name__ == "__main__":
    main()
