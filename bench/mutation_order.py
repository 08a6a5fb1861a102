#!/usr/bin/env python3
"""The price of order: a mutation of five writes (one after another) against a query of five
reads (all at once), in the same run, over the probe server on stdio.

Run from the repository root (the module built in build/):

    tools/devroot env PYTHONPATH=build python3 bench/mutation_order.py    # about 10 s

Each tool answers at once (the writes append a line to a file), so the difference is what
five calls in turn cost against five calls together: four more round trips to the server
and four more engine calls. The writes then wait `--delay` seconds each as a slower tool
would, to show how order adds the tools' own times. Medians of `--runs` requests each.

Nothing here is a test: no figure is asserted.
"""

import argparse
import asyncio
import statistics
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO))

from gateway import Gateway, ServerConfig  # noqa: E402

PROBE = REPO / "tests" / "mcp_probe_server.py"


async def median_ms(gateway: Gateway, query: str, runs: int) -> float:
    times = []
    for _ in range(runs):
        began = time.perf_counter()
        answer = await gateway.execute(query)
        times.append(time.perf_counter() - began)
        assert '"errors"' not in answer, answer
    return statistics.median(times) * 1000


async def main(runs: int, delay: float) -> None:
    config = ServerConfig("probe", command=sys.executable, args=(str(PROBE),))
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "log"
        reads = "{ " + " ".join(f"r{n}: probe_echo_int(n: {n}) {{ text }}" for n in range(5)) + " }"

        def writes(wait: float) -> str:
            return "mutation { " + " ".join(f'w{n}: probe_append(path: "{path}", text: "{n}", delay: {wait}) '
                                            "{ text }" for n in range(5)) + " }"

        async with Gateway([config]) as gateway:
            await median_ms(gateway, reads, 20)  # warm: documents prepared, the server's imports done
            await median_ms(gateway, writes(0), 20)
            rows = [("query of five reads", await median_ms(gateway, reads, runs)),
                    ("mutation of five writes", await median_ms(gateway, writes(0), runs)),
                    (f"mutation of five writes taking {delay:g} s each", await median_ms(gateway, writes(delay), 5))]
    print("| request | median ms |\n|---|---|")
    for name, value in rows:
        print(f"| {name} | {value:.2f} |")
    print(f"\nwrites / reads: {rows[1][1] / rows[0][1]:.2f}x")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--delay", type=float, default=0.05)
    arguments = parser.parse_args()
    asyncio.run(main(arguments.runs, arguments.delay))
