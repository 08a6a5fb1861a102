#!/usr/bin/env python3
"""The HTTP gateway under abuse: memory, a legitimate client's latency, throughput.

Run from the repository root (the module built in build/), never beside tests:

    tools/devroot env PYTHONPATH=build python3 bench/abuse.py       # about 2 min
    mkdir -p build/before && git archive main gateway examples | tar -x -C build/before
    tools/devroot env PYTHONPATH=build python3 bench/abuse.py --source build/before

`--source DIR` serves the gateway/ and examples/ folders found in DIR (the
engine stays this checkout's build), so the same rows give the figures before
a change.
Each row starts the gateway program afresh, on a loopback port, over the
example toolbox server (stdio):

  - amplification: one POST of a 1 MB variable used by 1,000 tool fields (a
    body within --max-body), then 16 such requests at once; the gateway's
    peak RSS (VmHWM), the statuses and the time to the last answer. A
    watchdog kills the gateway past --rss-cap, so an unbounded gateway cannot
    take the machine; the row then says so;
  - a legitimate client's `{ __typename }` (a new connection each, from
    127.0.0.1) while 2,000 idle sockets (127.0.0.3) and 16 slow queries
    (127.0.0.2) are open: the latency of each, and what the slow ones got;
  - requests per second of `{ __typename }` by GET under 1,000 connections (wrk),
    the per-client cap on queries raised past them: wrk's connections all come
    from one address, and this row measures the connection layer, not the
    sharing of the query threads (which would answer most of them 429);
  - attacks (--rows attacks), each for ATTACK_SECONDS from 127.0.0.2 while a
    victim at 127.0.0.5 sends a query every 0.2 s: the victim's worst latency
    and statuses, and the gateway's peak RSS above idle. Introspection and
    `search` multiplied by aliases and fragments, a batch of 16 documents of
    450 conflicting fields, 2,000 aliases of a tool field (refused: over the
    top-level field limit), 40 concurrent /mcp `graphql` calls of a slow tool
    (the victim's query calls a tool), and 64 bodies sent a byte a second
    (the victim's query is a POST).

Nothing here is a test: no figure is asserted.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import json
import os
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from collections import Counter
from pathlib import Path
from typing import Any

import httpx

REPO = Path(__file__).resolve().parent.parent
VARIABLE_BYTES = 1_000_000
FIELDS = 1_000
COPIES = 16
IDLE_SOCKETS = 2_000
SLOW_QUERIES = 16
SLOW_SECONDS = 20
LEGIT_REQUESTS = 5
CONNECTIONS = 1_000
ATTACK_SECONDS = 15
PROBE_EVERY = 0.2


def aliases(template: str, count: int) -> str:
    return " ".join(template.format(n) for n in range(count))


INTROSPECTION_BOMB = ("{ __schema { " + aliases("t{}: types {{ ...F }}", 40) + " } } fragment F on __Type { name "
                      + aliases("f{}: fields {{ ...G }}", 40)
                      + " } fragment G on __Field { name args { name type { name } } }")
SEARCH_BOMB = ("{ " + aliases("x{}: search {{ ...S }}", 900) + " } fragment S on SearchHit { "
               + aliases("d{}: description", 75) + " }")
CONFLICTS = "{" + aliases('a:toolbox_reverse(text:"{}"){{text}}', 450) + "}"  # just under 16 KiB
ALIASES = "{" + aliases('a{}:toolbox_reverse(text:"x"){{text}}', 2000) + "}"  # twice the top-level field limit
SLOW_TOOL = "{ toolbox_sleep(seconds: 5) { isError } }"
VICTIM = "{ __typename }"
VICTIM_TOOL = '{ toolbox_word_count(text: "a b") { isError } }'
AMPLIFIED = "query ($v: String!) {\n" + "".join(
    f"  f{n}: toolbox_word_count(text: $v) {{ isError }}\n" for n in range(FIELDS)) + "}"


class Gateway:
    """The gateway program on a loopback port, its standard error drained, its memory watched."""

    def __init__(self, source: Path, config: Path, rss_cap: int, *flags: str) -> None:
        env = {**os.environ, "PYTHONPATH": f"{source}{os.pathsep}{REPO / 'build'}"}
        self.process = subprocess.Popen(
            [sys.executable, "-m", "gateway", "--config", str(config), "--serve", "127.0.0.1:0", *flags],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env, cwd=source)
        assert self.process.stderr is not None
        while not (found := re.search(r"127\.0\.0\.1:(\d+)/graphql", line := self.process.stderr.readline())):
            if not line:
                raise SystemExit("the gateway did not start")
        self.url = f"http://127.0.0.1:{found.group(1)}/graphql"
        self.log: Counter[str] = Counter()
        self.killed = False
        self._stop = threading.Event()
        self._threads = [threading.Thread(target=self._drain, daemon=True),
                         threading.Thread(target=self._watch, args=(rss_cap,), daemon=True)]
        for thread in self._threads:
            thread.start()

    def _drain(self) -> None:
        assert self.process.stderr is not None
        for line in self.process.stderr:
            self.log["accept" if "accept()" in line else "line"] += 1

    def _watch(self, cap: int) -> None:
        while not self._stop.wait(0.05):
            if self.memory("VmRSS") > cap:
                self.killed = True
                self.process.kill()
                return

    def memory(self, field: str) -> int:
        try:
            status = Path(f"/proc/{self.process.pid}/status").read_text()
        except OSError:
            return 0
        found = re.search(rf"^{field}:\s+(\d+) kB", status, re.MULTILINE)
        return int(found.group(1)) * 1024 if found else 0

    def close(self) -> None:
        self._stop.set()
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for thread in self._threads:
            thread.join(30)


async def amplification(url: str, copies: int) -> tuple[Counter[str], float]:
    body = {"query": AMPLIFIED, "variables": {"v": "x " * (VARIABLE_BYTES // 2)}}
    began = time.perf_counter()

    async def one() -> str:
        try:
            async with httpx.AsyncClient(timeout=120) as client:
                return str((await client.post(url, json=body)).status_code)
        except httpx.HTTPError as exc:
            return type(exc).__name__

    statuses = Counter(await asyncio.gather(*(one() for _ in range(copies))))
    return statuses, time.perf_counter() - began


def idle_sockets(port: int, count: int) -> list[socket.socket]:
    """Connections that never send a byte, from their own loopback address."""
    sockets = []
    for _ in range(count):
        sock = socket.socket()
        sock.bind(("127.0.0.3", 0))
        sock.setblocking(False)
        try:
            sock.connect(("127.0.0.1", port))
        except BlockingIOError:
            pass
        sockets.append(sock)
    return sockets


def still_open(sockets: list[socket.socket]) -> int:
    """Sockets the server has not closed (a read finds neither data nor the end)."""
    open_ = 0
    for sock in sockets:
        try:
            open_ += sock.recv(1 << 16) != b""
        except BlockingIOError:
            open_ += 1
        except OSError:
            pass
    return open_


async def legitimate_latency(url: str, port: int) -> dict[str, object]:
    idle = idle_sockets(port, IDLE_SOCKETS)
    slow_transport = httpx.AsyncHTTPTransport(local_address="127.0.0.2")
    slow_statuses: Counter[str] = Counter()

    async def slow(client: httpx.AsyncClient) -> None:
        try:
            response = await client.post(url, json={"query": f"{{ toolbox_sleep(seconds: {SLOW_SECONDS}) {{ isError }} }}"})
            slow_statuses[str(response.status_code)] += 1
        except httpx.HTTPError as exc:
            slow_statuses[type(exc).__name__] += 1

    latencies = []
    statuses: Counter[str] = Counter()
    async with httpx.AsyncClient(transport=slow_transport, timeout=SLOW_SECONDS * 3,
                                 limits=httpx.Limits(max_connections=SLOW_QUERIES)) as slow_client:
        slow_ones = [asyncio.ensure_future(slow(slow_client)) for _ in range(SLOW_QUERIES)]
        await asyncio.sleep(1)  # the slow queries reach the gateway first: the load is already there
        for _ in range(LEGIT_REQUESTS):
            began = time.perf_counter()
            try:
                async with httpx.AsyncClient(timeout=SLOW_SECONDS * 3) as client:
                    response = await client.post(url, json={"query": "{ __typename }"})
                statuses[str(response.status_code)] += 1
            except httpx.HTTPError as exc:
                statuses[type(exc).__name__] += 1
            latencies.append(time.perf_counter() - began)
        await asyncio.gather(*slow_ones)
    open_after = still_open(idle)  # the slow queries took longer than the head timeout
    for sock in idle:
        sock.close()
    return {"p50": statistics.median(latencies), "max": max(latencies), "statuses": dict(statuses),
            "slow": dict(slow_statuses), "idle_open": open_after}


def throughput(url: str, seconds: float) -> tuple[float, str, str]:
    target = f"{url}?" + urllib.parse.urlencode({"query": "{ __typename }"})
    subprocess.run(["wrk", "-t2", f"-c{CONNECTIONS}", "-d1s", target], capture_output=True, check=True)  # warm
    out = subprocess.run(["wrk", "-t2", f"-c{CONNECTIONS}", f"-d{seconds:g}s", "--latency", target],
                         capture_output=True, text=True, check=True).stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))  # type: ignore[union-attr]
    p99 = re.search(r"^\s+99%\s+(\S+)", out, re.MULTILINE).group(1)  # type: ignore[union-attr]
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    socket_errors = re.search(r"Socket errors: (.*)", out)
    problems = ", ".join(filter(None, [f"non-2xx {errors.group(1)}" if errors else "",
                                       f"socket errors {socket_errors.group(1)}" if socket_errors else ""]))
    return rps, p99, problems or "none"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", metavar="DIR", type=Path, default=REPO,
                        help="serve the gateway/ and examples/ of this folder (default: this checkout)")
    parser.add_argument("--rss-cap", metavar="MB", type=int, default=3000,
                        help="kill the gateway past this resident memory (default: %(default)s)")
    parser.add_argument("--seconds", type=float, default=5, help="of the wrk run (default: %(default)s)")
    parser.add_argument("--rows", default="memory,latency,throughput",
                        help="which rows to run (default: %(default)s)")
    parser.add_argument("--attacks", default=",".join(ATTACKS),
                        help="which attacks the attacks row runs (default: %(default)s)")
    args = parser.parse_args()
    cap = args.rss_cap << 20
    with tempfile.TemporaryDirectory() as name:
        folder = Path(name)
        source = args.source.resolve()
        config = folder / "servers.json"
        config.write_text(json.dumps({"mcpServers": {"toolbox": {
            "command": sys.executable, "args": [str(source / "examples" / "toolbox.py")]}}}))
        print(f"| row ({source}) | result |")
        print("|---|---|")
        rows = args.rows.split(",")
        if "memory" in rows:
            for copies in (1, COPIES):
                memory_row(source, config, args.rss_cap, copies)
        if "latency" in rows:
            latency_row(source, config, cap)
        if "throughput" in rows:
            throughput_row(source, config, cap, args.seconds)
        if "attacks" in rows:
            for name in args.attacks.split(","):
                attack_row(source, config, cap, name)


def memory_row(source: Path, config: Path, cap_mb: int, copies: int) -> None:
    gateway = Gateway(source, config, cap_mb << 20)
    try:
        base = gateway.memory("VmRSS")
        statuses, elapsed = asyncio.run(amplification(gateway.url, copies))
        peak = gateway.memory("VmHWM")
    finally:
        gateway.close()
    fate = f"killed past {cap_mb} MB" if gateway.killed else f"peak RSS {peak / 2**20:,.0f} MB"
    print(f"| {copies} × (1 MB variable × {FIELDS} tool fields) | {fate} (idle {base / 2**20:,.0f} MB); "
          f"statuses {dict(statuses)}; last answer after {elapsed:.1f} s |")


def latency_row(source: Path, config: Path, cap: int) -> None:
    gateway = Gateway(source, config, cap)
    try:
        port = int(gateway.url.split(":")[2].split("/")[0])
        seen = asyncio.run(legitimate_latency(gateway.url, port))
    finally:
        gateway.close()
    print(f"| `{{ __typename }}` beside {IDLE_SOCKETS:,} idle sockets and {SLOW_QUERIES} slow queries | "
          f"p50 {seen['p50']:.3f} s, max {seen['max']:.3f} s, statuses {seen['statuses']}; slow queries got "
          f"{seen['slow']}; idle sockets still open after the slow queries: {seen['idle_open']} |")


def throughput_row(source: Path, config: Path, cap: int, seconds: float) -> None:
    # A gateway from before the per-client cap has no flags for it.
    shared = (source / "gateway" / "admission.py").exists()
    raised = ["--client-queries", str(2 * CONNECTIONS), "--query-queue", str(2 * CONNECTIONS)] if shared else []
    gateway = Gateway(source, config, cap, *raised)
    try:
        rps, p99, problems = throughput(gateway.url, seconds)
    finally:
        gateway.close()
    print(f"| `{{ __typename }}` by GET under {CONNECTIONS:,} connections | {rps:,.0f} requests/s, "
          f"p99 {p99}, errors: {problems} |")


async def _post_loop(url: str, body: Any, stop: asyncio.Event, statuses: Counter[str],
                     headers: dict[str, str] | None = None) -> None:
    transport = httpx.AsyncHTTPTransport(local_address="127.0.0.2")
    async with httpx.AsyncClient(transport=transport, timeout=ATTACK_SECONDS * 2) as client:
        while not stop.is_set():
            try:
                response = await client.post(url, json=body() if callable(body) else body, headers=headers)
                statuses[str(response.status_code)] += 1
            except httpx.HTTPError as exc:
                statuses[type(exc).__name__] += 1


async def _repeat(url: str, body: Any, clients: int, stop: asyncio.Event, statuses: Counter[str],
                  headers: dict[str, str] | None = None) -> None:
    await asyncio.gather(*(_post_loop(url, body, stop, statuses, headers) for _ in range(clients)))


async def _dribble(url: str, stop: asyncio.Event, statuses: Counter[str]) -> None:
    """64 connections declaring a megabyte and sending a byte a second."""
    host, port = url.split("//")[1].split("/")[0].split(":")
    head = (f"POST /graphql HTTP/1.1\r\nHost: {host}:{port}\r\nContent-Type: application/json\r\n"
            f"Content-Length: 1048576\r\n\r\n").encode()

    async def one() -> None:
        while not stop.is_set():
            try:
                reader, writer = await asyncio.open_connection(host, int(port), local_addr=("127.0.0.2", 0))
                writer.write(head)
                while not stop.is_set() and not reader.at_eof():
                    writer.write(b" ")
                    await writer.drain()
                    try:
                        line = await asyncio.wait_for(reader.readline(), 1)
                    except TimeoutError:
                        continue
                    if line.startswith(b"HTTP/1.1"):
                        statuses[line.split()[1].decode()] += 1
                        break
                writer.close()
            except OSError as exc:
                statuses[type(exc).__name__] += 1
                await asyncio.sleep(1)

    await asyncio.gather(*(one() for _ in range(64)))


MCP_CALL = {"jsonrpc": "2.0", "id": 1, "method": "tools/call",
            "params": {"name": "graphql", "arguments": {"query": SLOW_TOOL}}}
MCP_HEADERS = {"Accept": "application/json, text/event-stream", "Mcp-Protocol-Version": "2025-06-18"}
ATTACKS = {  # name: (what the attacker does, the victim's query)
    "introspection": (lambda url, stop, seen: _repeat(url, lambda: {"query": f"{INTROSPECTION_BOMB}#"
                                                                             f"{time.perf_counter_ns()}"},
                                                      2, stop, seen), VICTIM),
    "search": (lambda url, stop, seen: _repeat(url, lambda: {"query": f"{SEARCH_BOMB}#{time.perf_counter_ns()}"},
                                               2, stop, seen), VICTIM),
    # Each document new (a comment makes it so), as an attacker would send them: none is cached.
    "conflicts": (lambda url, stop, seen: _repeat(url, lambda: [{"query": f"{CONFLICTS}#{time.perf_counter_ns()}"}
                                                                for _ in range(16)], 2, stop, seen), VICTIM),
    "aliases": (lambda url, stop, seen: _repeat(url, lambda: {"query": f"{ALIASES}#{time.perf_counter_ns()}"},
                                                4, stop, seen), VICTIM),
    "mcp": (lambda url, stop, seen: _repeat(url.replace("/graphql", "/mcp"), MCP_CALL, 40, stop, seen,
                                            MCP_HEADERS), VICTIM_TOOL),
    "bodies": (_dribble, VICTIM),
}


async def under_attack(url: str, name: str) -> dict[str, object]:
    attack, victim = ATTACKS[name]
    stop = asyncio.Event()
    attacker: Counter[str] = Counter()
    running = asyncio.ensure_future(attack(url, stop, attacker))
    await asyncio.sleep(1)  # the attack is under way before the victim's first query
    latencies, statuses = [], Counter[str]()
    transport = httpx.AsyncHTTPTransport(local_address="127.0.0.5")
    async with httpx.AsyncClient(transport=transport, timeout=ATTACK_SECONDS * 4) as client:
        began = time.perf_counter()
        while time.perf_counter() - began < ATTACK_SECONDS:
            sent = time.perf_counter()
            try:
                statuses[str((await client.post(url, json={"query": victim})).status_code)] += 1
            except httpx.HTTPError as exc:
                statuses[type(exc).__name__] += 1
            latencies.append(time.perf_counter() - sent)
            await asyncio.sleep(PROBE_EVERY)
    stop.set()
    running.cancel()
    with contextlib.suppress(asyncio.CancelledError, Exception):
        await running
    return {"max": max(latencies), "p50": statistics.median(latencies), "statuses": dict(statuses),
            "attacker": dict(attacker)}


def attack_row(source: Path, config: Path, cap: int, name: str) -> None:
    gateway = Gateway(source, config, cap)
    try:
        base = gateway.memory("VmRSS")
        seen = asyncio.run(under_attack(gateway.url, name))
        peak = gateway.memory("VmHWM")
    finally:
        gateway.close()
    fate = "killed past the cap" if gateway.killed else f"+{(peak - base) / 2**20:,.0f} MB"
    print(f"| attack: {name} | victim max {seen['max']:.3f} s (p50 {seen['p50']:.3f} s), {seen['statuses']}; "
          f"peak RSS {fate}; attacker got {seen['attacker']} |")


if __name__ == "__main__":
    main()
