#!/usr/bin/env python3
"""Load on the gateway's GraphQL over HTTP, with wrk, beside GraphQL Yoga and the stack's floor.

Run from the repository root (the module built in build/):

    tools/devroot env PYTHONPATH=build python3 bench/http_load.py             # about 6 min
    tools/devroot env PYTHONPATH=build python3 bench/http_load.py --seconds 3 --rounds 2
    # against a base: its gateway package exported where the root sees it
    mkdir -p build/base && git archive main gateway | tar -x -C build/base
    tools/devroot env PYTHONPATH=build python3 bench/http_load.py --before build/base

Every server runs at once, each alone in its own process on a loopback port,
and wrk (2 threads, 32 connections, GET) loads one at a time, row after row
and round after round, so a machine whose load changes meets every server
alike:

  - a constant response from Starlette on Uvicorn (uvloop and httptools when
    installed, as the gateway uses them): the HTTP stack's own limit;
  - GraphQL Yoga (npm, pinned in gateway/npm) on Node, with a schema of one
    unused field (bench/yoga_server.mjs): what a user would pick instead;
  - the gateway as --serve runs it (metrics counted, an access line per
    request, written to a standard error that is discarded), the example
    toolbox server run in its process (FastMCP on memory streams: the SDK's
    work without a process hop), and with --before the gateway package found
    in DIR, run the same way.

The documents: `{ __typename }`; a 2 KB document of 20 aliases of
`__typename`, the same each request; a new document each request (an alias
numbered per request, so nothing prepared can be reused); and for the
gateways five tool fields, the same and new each request.

Prints each row's requests per second over the rounds (least-most) and its
ratio to Yoga and to the constant response in the same round, the server
process's CPU time per request (user and system, from /proc: less moved by
other work on the machine than the rate), with the machine's load average.
Nothing here is a test: no figure is asserted.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
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
# 20 aliases of about 100 bytes each: a client's document of some size, the same every time.
TWO_KB = "{ " + " ".join(f"{'alias_of_some_length_' * 4}{i:02d}: __typename" for i in range(20)) + " }"
NPM = Path(os.environ.get("GATEWAY_NPM", "/opt/dive-ziri-npm/node_modules"))
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


def cpu_seconds(pid: int) -> float:
    """A process's CPU time so far, user and system (/proc/PID/stat, fields 14 and 15)."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


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


def start(command: list[str]) -> tuple[int, subprocess.Popen[bytes]]:
    port = free_port()
    command = [part.replace("{port}", str(port)) for part in command]
    process = subprocess.Popen(command, cwd=REPO, stderr=subprocess.DEVNULL,
                               env={**os.environ, "NODE_PATH": str(NPM)})
    wait_until_up(port, process)
    return port, process


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=8)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--before", metavar="DIR", type=Path,
                        help="also load the gateway package found in this folder")
    args = parser.parse_args()
    if args.before and not (args.before / "gateway" / "__init__.py").is_file():
        raise SystemExit(f"{args.before} holds no gateway package")
    front = [("`{ __typename }`", TYPENAME, False), ("2 KB document, the same each request", TWO_KB, False),
             ("a new document each request", TYPENAME, True)]
    tools = [("five tool fields", FIVE_FIELDS, False), ("five tool fields, a new document each request",
                                                        FIVE_FIELDS, True)]
    python = sys.executable
    servers: list[tuple[str, list[str], list[tuple[str, str, bool]]]] = [
        ("constant response", [python, "bench/http_servers.py", "constant", "{port}"], front[:1]),
        ("GraphQL Yoga", ["node", "bench/yoga_server.mjs", "{port}"], front),
        ("gateway", [python, "bench/http_servers.py", "gateway-served", "{port}"], front + tools),
    ]
    if args.before:
        servers.append(("gateway before", [python, "bench/http_servers.py", "gateway-served", "{port}",
                                           str(args.before.resolve())], front + tools))
    results: dict[tuple[str, str], list[float]] = {}
    cpu: dict[tuple[str, str], list[float]] = {}  # µs of the server's CPU per request
    loads: list[str] = []
    with tempfile.TemporaryDirectory() as name, contextlib.ExitStack() as stack:
        folder = Path(name)
        ports, pids = {}, {}
        for label, command, _ in servers:
            port, process = start(command)
            stack.callback(process.wait, 30)
            stack.callback(process.terminate)
            ports[label], pids[label] = port, process.pid
        for label, _, queries in servers:  # warm: every document's first run, the JIT's for Node
            for _, query, fresh in queries:
                load(ports[label], query, 1, fresh, folder)
        for _ in range(args.rounds):
            loads.append(os.getloadavg().__repr__())
            for row, query, fresh in front + tools:
                for label, _, queries in servers:
                    if any(row == name for name, _, _ in queries):
                        used = cpu_seconds(pids[label])
                        rps = load(ports[label], query, args.seconds, fresh, folder)[0]
                        used = cpu_seconds(pids[label]) - used
                        results.setdefault((row, label), []).append(rps)
                        cpu.setdefault((row, label), []).append(used * 1e6 / (rps * args.seconds))
    print(f"load averages (1, 5, 15 min) at each round's start: {'; '.join(loads)}")
    print("| document | server | requests/s | x Yoga | x constant | CPU µs/request |")
    print("|---|---|---|---|---|---|")

    def span(values: list[float], digits: str) -> str:
        return f"{min(values):{digits}}–{max(values):{digits}}"

    for row, _, _ in front + tools:
        for label, _, _ in servers:
            if (row, label) not in results:
                continue
            rps = results[row, label]
            ratios = []
            for base in ("GraphQL Yoga", "constant response"):
                against = results.get((row, base))
                ratios.append(span([a / b for a, b in zip(rps, against, strict=True)], ".2f")
                              if against and base != label else "")
            print(f"| {row} | {label} | {span(rps, ',.0f')} | {ratios[0]} | {ratios[1]} | "
                  f"{span(cpu[row, label], ',.0f')} |")


if __name__ == "__main__":
    main()
