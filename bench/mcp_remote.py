#!/usr/bin/env python3
"""What the gateway costs on top of the MCP SDK for a remote server and for a large result.

Run from the repository root (the module built in build/):

    tools/devroot env PYTHONPATH=build python3 bench/mcp_remote.py            # about 40 s
    tools/devroot env PYTHONPATH=build python3 bench/mcp_remote.py --quick    # about 15 s

The test content server (tests/mcp_content_server.py) runs twice: over
Streamable HTTP on a loopback port ("remote") and over stdio ("local"). Rows:

  1  one small tool call through the gateway over Streamable HTTP, against
     `await session.call_tool(...)` on the same session: the SDK's own client
     calling the same server in the same run;
  2  a 5 MB image result (6.7 MB of base64) through the gateway, against the
     SDK's call alone, over Streamable HTTP and over stdio.

Times are the best and the median of the batches, each batch the mean per
call. Nothing here is a test: no time is asserted.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Awaitable, Callable
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO))

from gateway import Gateway, ServerConfig  # noqa: E402

CONTENT = REPO / "tests" / "mcp_content_server.py"
IMAGE_BYTES = 5 * 1000 * 1000


def fmt(seconds: float) -> str:
    if seconds >= 1:
        return f"{seconds:.3g} s"
    return f"{seconds * 1e3:.3g} ms" if seconds >= 1e-3 else f"{seconds * 1e6:.3g} µs"


def remote_server(folder: Path) -> tuple[subprocess.Popen[bytes], str]:
    port_file = folder / "port"
    process = subprocess.Popen([sys.executable, str(CONTENT), "--http", str(port_file)])
    began = time.monotonic()
    while not (port_file.exists() and port_file.read_text()):
        if process.poll() is not None or time.monotonic() - began > 30:
            raise SystemExit("the content server did not start")
        time.sleep(0.05)
    return process, f"http://127.0.0.1:{port_file.read_text()}/mcp"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    calls, big_calls, repeat = (30, 2, 3) if args.quick else (200, 5, 5)

    loop = asyncio.new_event_loop()
    thread = threading.Thread(target=loop.run_forever, daemon=True)
    thread.start()

    def on_loop(coroutine: Awaitable[object]) -> object:
        return asyncio.run_coroutine_threadsafe(coroutine, loop).result()  # type: ignore[arg-type]

    with tempfile.TemporaryDirectory() as folder:
        process, url = remote_server(Path(folder))
        try:
            configs = [ServerConfig("remote", transport="http", url=url),
                       ServerConfig("local", command=sys.executable, args=(str(CONTENT),))]
            gateway = Gateway(configs, query_threads=1, max_result_bytes=64 << 20)
            on_loop(gateway.start())
            rows = measure(gateway, on_loop, calls, big_calls, repeat)
            on_loop(gateway.close())
        finally:
            process.terminate()
            process.wait()
    loop.call_soon_threadsafe(loop.stop)
    thread.join()

    print("| workload | gateway best (median) | SDK alone best (median) | gateway/SDK |")
    print("|---|---|---|---|")
    for name, ours, floor in rows:
        print(f"| {name} | {fmt(ours[0])} ({fmt(ours[1])}) | {fmt(floor[0])} ({fmt(floor[1])}) "
              f"| {ours[0] / floor[0]:.2f}x |")


def measure(gateway: Gateway, on_loop: Callable[[Awaitable[object]], object], calls: int, big_calls: int,
            repeat: int) -> list[tuple[str, tuple[float, float], tuple[float, float]]]:
    engine = gateway.engine
    assert engine is not None

    def gateway_batch(query: str, number: int) -> Callable[[], float]:
        def run() -> float:
            began = time.perf_counter()
            for _ in range(number):
                reply = engine.execute(query)
            assert '"isError":false' in reply, reply[:300]
            return (time.perf_counter() - began) / number
        return run

    def sdk_batch(server: str, tool: str, arguments: dict[str, object], number: int) -> Callable[[], float]:
        session = gateway.upstreams[server]._session  # the gateway's own session, bypassed
        assert session is not None

        async def timed() -> float:
            began = time.perf_counter()
            for _ in range(number):
                result = await session.call_tool(tool, arguments)
            assert not result.isError
            return (time.perf_counter() - began) / number
        return lambda: on_loop(timed())  # type: ignore[return-value]

    def best_median(batch: Callable[[], float]) -> tuple[float, float]:
        batch()  # warm
        times = [batch() for _ in range(repeat)]
        return min(times), statistics.median(times)

    rows = []
    # A tool without an output schema: call_tool checks a structured result by
    # compiling the tool's schema on every call, which would make the floor slow.
    small = "{ remote_image(size: 16) }"
    rows.append(("1. one tool call, Streamable HTTP", best_median(gateway_batch(small, calls)),
                 best_median(sdk_batch("remote", "image", {"size": 16}, calls))))
    for server, label in (("remote", "Streamable HTTP"), ("local", "stdio")):
        big = f"{{ {server}_image(size: {IMAGE_BYTES}) }}"
        reply = json.loads(engine.execute(big))
        assert len(reply["data"][f"{server}_image"]["content"][0]["data"]) > IMAGE_BYTES, reply["errors"]
        rows.append((f"2. 5 MB image result, {label}", best_median(gateway_batch(big, big_calls)),
                     best_median(sdk_batch(server, "image", {"size": IMAGE_BYTES}, big_calls))))
    return rows


if __name__ == "__main__":
    main()
