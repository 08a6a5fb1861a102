#!/usr/bin/env python3
"""Load on the gateway's GraphQL over HTTP, with wrk, beside two floors.

Run from the repository root (the module built in build/):

    tools/devroot env PYTHONPATH=build python3 bench/http_load.py             # about 1 min
    tools/devroot env PYTHONPATH=build python3 bench/http_load.py --seconds 3 # shorter

Each server runs alone in its own process on a loopback port, one Uvicorn
worker; wrk (2 threads, 32 connections, GET) loads it for the given time:

  - the same Starlette/Uvicorn stack answering a constant response (the HTTP
    stack's own limit);
  - graphql-core behind that stack answering `{ __typename }` (what a user
    would pick instead);
  - the gateway answering `{ __typename }`, and a query of five tool fields
    on the example toolbox server (instant tools) run in the gateway's
    process (FastMCP on memory streams: the SDK's work without a process
    hop), and the same query with the toolbox over stdio.

Prints requests per second and p50/p99 latency as wrk reports them. Nothing
here is a test: no figure is asserted.
"""

from __future__ import annotations

import argparse
import json
import re
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
TYPENAME = "{ __typename }"
FIVE_FIELDS = ('{ a: toolbox_reverse(text: "abc") { json } b: toolbox_add(numbers: [1, 2]) { json } '
               'c: toolbox_word_count(text: "a b c") { json } d: toolbox_slugify(text: "A b") { json } '
               'e: toolbox_divide(a: 1, b: 4) { json } }')


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return int(sock.getsockname()[1])


def wait_until_up(port: int, process: subprocess.Popen[bytes]) -> None:
    began = time.monotonic()
    while time.monotonic() - began < 60:
        if process.poll() is not None:
            raise SystemExit(f"server exited with {process.returncode}")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.1)
    raise SystemExit("server did not come up")


def load(port: int, query: str, seconds: float) -> tuple[float, str, str]:
    url = f"http://127.0.0.1:{port}/graphql?" + urllib.parse.urlencode({"query": query})
    out = subprocess.run(["wrk", "-t2", "-c32", f"-d{seconds:g}s", "--latency", url],
                         capture_output=True, text=True, check=True).stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    p50 = re.search(r"^\s+50%\s+(\S+)", out, re.M).group(1)
    p99 = re.search(r"^\s+99%\s+(\S+)", out, re.M).group(1)
    if "Non-2xx" in out:
        raise SystemExit(f"errors under load:\n{out}")
    return rps, p50, p99


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=10)
    args = parser.parse_args()
    rows: list[tuple[str, float, str, str]] = []
    with tempfile.TemporaryDirectory() as folder:
        config = Path(folder) / "servers.json"
        config.write_text(json.dumps({"mcpServers": {"toolbox": {
            "command": sys.executable, "args": [str(REPO / "examples" / "toolbox.py")]}}}))
        runs = [
            ("constant response (stack floor)", ["bench/http_servers.py", "constant"], [TYPENAME]),
            ("graphql-core", ["bench/http_servers.py", "graphql-core"], [TYPENAME]),
            ("gateway, toolbox in process", ["bench/http_servers.py", "gateway"], [TYPENAME, FIVE_FIELDS]),
            ("gateway, toolbox over stdio", ["-m", "gateway", "--config", str(config), "--serve"],
             [FIVE_FIELDS]),
        ]
        for name, command, queries in runs:
            port = free_port()
            address = [str(port)] if command[-1] != "--serve" else [f"127.0.0.1:{port}"]
            process = subprocess.Popen([sys.executable, *command, *address], cwd=REPO,
                                       stderr=subprocess.DEVNULL)
            try:
                wait_until_up(port, process)
                for query in queries:
                    load(port, query, 1)  # warm
                    label = "`{ __typename }`" if query == TYPENAME else "five tool fields"
                    rows.append((f"{name}, {label}", *load(port, query, args.seconds)))
            finally:
                process.terminate()
                process.wait(30)
    print("| server, query | requests/s | p50 | p99 |")
    print("|---|---|---|---|")
    for name, rps, p50, p99 in rows:
        print(f"| {name} | {rps:,.0f} | {p50} | {p99} |")


if __name__ == "__main__":
    main()
