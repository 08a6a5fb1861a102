#!/usr/bin/env python3
"""What metrics and tracing cost: the gateway with both off, then with both on, in one run.

    tools/devroot env PYTHONPATH=build python3 bench/observe_cost.py --seconds 3

The gateway of bench/http_servers.py (the toolbox server in process), loaded
by wrk as bench/http_load.py does, for `{ __typename }` and five tool fields.
"On" is every metric plus a span per request and per tool call, exported in
batches by the console exporter into /dev/null: the spans are built and
written, so the cost of exporting them is in the figure. Nothing is asserted.
"""

import argparse
import os
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from http_load import FIVE_FIELDS, REPO, TYPENAME, free_port, load, wait_until_up  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5)
    args = parser.parse_args()
    rows = []
    for label, kind, extra in [("off", "gateway", {}),
                               ("on", "gateway-observed", {"OTEL_TRACES_EXPORTER": "console"})]:
        env = {k: v for k, v in os.environ.items() if not k.startswith("OTEL_")} | extra
        port = free_port()
        process = subprocess.Popen([sys.executable, "bench/http_servers.py", kind, str(port)], cwd=REPO,
                                   env=env, stderr=subprocess.DEVNULL)
        try:
            wait_until_up(port, process)
            for query, name in ((TYPENAME, "`{ __typename }`"), (FIVE_FIELDS, "five tool fields")):
                load(port, query, 1)  # warm
                rows.append((f"metrics and tracing {label}, {name}", *load(port, query, args.seconds)))
        finally:
            process.terminate()
            process.wait(30)
    print("| gateway, query | requests/s | p50 | p99 |")
    print("|---|---|---|---|")
    for name, rps, p50, p99 in rows:
        print(f"| {name} | {rps:,.0f} | {p50} | {p99} |")


if __name__ == "__main__":
    main()
