#!/usr/bin/env python3
"""Load on the gateway's GraphQL over HTTP, with wrk, beside two floors.

Run from the repository root (the module built in build/):

    tools/devroot env PYTHONPATH=build python3 bench/http_load.py             # about 2 min
    tools/devroot env PYTHONPATH=build python3 bench/http_load.py --seconds 3 # shorter
    # against a base: its gateway package exported where the root sees it
    mkdir -p build/base && git archive main gateway | tar -x -C build/base
    tools/devroot env PYTHONPATH=build python3 bench/http_load.py --before build/base

Each server runs alone in its own process on a loopback port, one Uvicorn
worker; wrk (2 threads, 32 connections, GET) loads it for the given time:

  - the same Starlette/Uvicorn stack answering a constant response (the HTTP
    stack's own limit);
  - graphql-core behind that stack answering `{ __typename }` (what a user
    would pick instead);
  - the gateway answering `{ __typename }`, and a query of five tool fields
    on the example toolbox server (instant tools) run in the gateway's
    process (FastMCP on memory streams: the SDK's work without a process
    hop), each as the same document every request and as a new document
    every request (an alias numbered per request, so nothing prepared can be
    reused); and the five fields with the toolbox over stdio.

--before DIR adds the gateway rows again with the `gateway` package found in
DIR (the same engine module), so a change is measured against its base in one
run. Its documents are the same less the `{ json }` selections, which a
gateway from before the typed schema did not take.

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
# wrk's script for "a new document every request": each thread numbers its requests, and the
# number names an extra `__typename` at the document's start, so every text is one not seen before.
FRESH_SCRIPT = """\
local threads = 0
function setup(thread) threads = threads + 1; thread:set("id", threads) end
local n = 0
local function encode(s)
  return (s:gsub("[^%w%-_%.~]", function(c) return string.format("%%%02X", string.byte(c)) end))
end
function request()
  n = n + 1
  local query = "{ n" .. id .. "_" .. n .. ": __typename " .. REST
  return wrk.format("GET", "/graphql?query=" .. encode(query))
end
"""


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


def load(port: int, query: str, seconds: float, fresh: bool, folder: Path) -> tuple[float, str, str]:
    url = f"http://127.0.0.1:{port}/graphql?" + urllib.parse.urlencode({"query": query})
    script: list[str] = []
    if fresh:  # "{ a ... }" becomes "{ n1_7: __typename a ... }"
        path = folder / "fresh.lua"
        path.write_text(f"REST = {json.dumps(query.removeprefix('{ '))}\n{FRESH_SCRIPT}")
        script = ["-s", str(path)]
    out = subprocess.run(["wrk", "-t2", "-c32", f"-d{seconds:g}s", "--latency", *script, url],
                         capture_output=True, text=True, check=True).stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    p50 = re.search(r"^\s+50%\s+(\S+)", out, re.MULTILINE).group(1)
    p99 = re.search(r"^\s+99%\s+(\S+)", out, re.MULTILINE).group(1)
    if "Non-2xx" in out:
        raise SystemExit(f"errors under load of {query!r}:\n{out}")
    return rps, p50, p99


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=8)
    parser.add_argument("--before", metavar="DIR", type=Path,
                        help="also load the gateway package found in this folder")
    args = parser.parse_args()
    rows: list[tuple[str, float, str, str]] = []
    with tempfile.TemporaryDirectory() as name:
        folder = Path(name)
        config = folder / "servers.json"
        config.write_text(json.dumps({"mcpServers": {"toolbox": {
            "command": sys.executable, "args": [str(REPO / "examples" / "toolbox.py")]}}}))
        both = [(TYPENAME, False), (TYPENAME, True), (FIVE_FIELDS, False), (FIVE_FIELDS, True)]
        runs = [
            ("constant response (stack floor)", ["bench/http_servers.py", "constant"], [(TYPENAME, False)]),
            ("graphql-core", ["bench/http_servers.py", "graphql-core"], [(TYPENAME, False)]),
        ]
        if args.before:
            if not (args.before / "gateway" / "__init__.py").is_file():
                raise SystemExit(f"{args.before} holds no gateway package")
            runs.append(("gateway before, toolbox in process",
                         ["bench/http_servers.py", "gateway", "{port}", str(args.before.resolve())],
                         [(query.replace(" { json }", ""), fresh) for query, fresh in both]))
        runs += [
            ("gateway, toolbox in process", ["bench/http_servers.py", "gateway"], both),
            # wrk's connections share one address: let them all have a turn, as distinct clients would.
            ("gateway, toolbox over stdio", ["-m", "gateway", "--config", str(config), "--client-queries", "1024",
                                             "--query-queue", "1024", "--serve", "127.0.0.1:{port}"],
             [(FIVE_FIELDS, False)]),
        ]
        for label, command, queries in runs:
            port = free_port()
            if "{port}" in " ".join(command):
                command = [part.replace("{port}", str(port)) for part in command]
            else:
                command = [*command, str(port)]
            process = subprocess.Popen([sys.executable, *command], cwd=REPO, stderr=subprocess.DEVNULL)
            try:
                wait_until_up(port, process)
                for query, fresh in queries:
                    load(port, query, 1, fresh, folder)  # warm
                    kind = "`{ __typename }`" if query == TYPENAME else "five tool fields"
                    each = ", a new document each request" if fresh else ""
                    rows.append((f"{label}, {kind}{each}", *load(port, query, args.seconds, fresh, folder)))
            finally:
                process.terminate()
                process.wait(30)
    print("| server, query | requests/s | p50 | p99 |")
    print("|---|---|---|---|")
    for row, rps, p50, p99 in rows:
        print(f"| {row} | {rps:,.0f} | {p50} | {p99} |")


if __name__ == "__main__":
    main()
