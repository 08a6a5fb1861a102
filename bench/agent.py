#!/usr/bin/env python3
"""An agent that needs ten tool results from three MCP servers, through the gateway's MCP face.

Run from the repository root (the module built in build/, the npm servers installed):

    tools/devroot env PYTHONPATH=build PATH=/opt/dive-ziri-npm/node_modules/.bin:/usr/bin:/bin \\
        python3 bench/agent.py            # about 30 s; --repeat N for more rounds
        python3 bench/agent.py --peer     # the gateway against mcp-hub over HTTP, rounds interleaved
        python3 bench/agent.py --peer --before DIR  # and the gateway of another checkout, in the same rounds

The gateway runs the bundled servers (toolbox, files, memory) with `--mcp-tools`,
once over stdio (`--mcp`) and once over Streamable HTTP (`--serve`, /mcp). The
same ten results are fetched three ways:

  a   ten tools/call round trips through the re-served tools, one after another:
      an agent that calls one tool per model turn;
  a'  the same ten calls sent at once: a model that emits parallel tool calls in
      one turn (still ten calls, ten answers for the model to read);
  b   one `graphql` call whose document selects all ten.

Transport is the client's wall time for the calls (median of the rounds);
messages are the JSON-RPC messages the client sent and received for them. The
model's share is a simulated latency per turn (MODEL_SECONDS), added apart and
never slept: the figures say what a real model's turns would add.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import AsyncIterator, Awaitable, Callable
from contextlib import asynccontextmanager
from pathlib import Path
from typing import Any

import anyio
from mcp import ClientSession
from mcp.client.stdio import StdioServerParameters, stdio_client
from mcp.client.streamable_http import streamable_http_client

REPO = Path(__file__).resolve().parent.parent
MODEL_SECONDS = 0.5  # one model turn: read the results so far, decide the next call
# The ten results: (field, arguments).
CALLS: list[tuple[str, dict[str, Any]]] = [
    ("toolbox_add", {"numbers": [1, 2, 3.5]}),
    ("toolbox_divide", {"a": 22, "b": 7}),
    ("toolbox_word_count", {"text": "the quick brown fox"}),
    ("toolbox_reverse", {"text": "gateway"}),
    ("toolbox_days_between", {"start": "2026-01-01", "end": "2026-12-09"}),
    ("files_read_text_file", {"path": "hello.txt"}),
    ("files_list_directory", {"path": "."}),
    ("files_get_file_info", {"path": "hello.txt"}),
    ("memory_read_graph", {}),
    ("memory_search_nodes", {"query": "gateway"}),
]


def document() -> tuple[str, dict[str, Any]]:
    """The ten calls as one GraphQL document, every argument a variable."""
    declared, fields, variables = [], [], {}
    types = {"numbers": "[Float!]!", "a": "Float!", "b": "Float!", "text": "String!", "start": "String!",
             "end": "String!", "path": "String!", "query": "String!"}
    for n, (field, arguments) in enumerate(CALLS):
        passed = []
        for name, value in arguments.items():
            declared.append(f"$v{n}_{name}: {types[name]}")
            passed.append(f"{name}: $v{n}_{name}")
            variables[f"v{n}_{name}"] = value
        fields.append(f"r{n}: {field}{f'({", ".join(passed)})' if passed else ''} {{ isError json text }}")
    return f"query ({', '.join(declared)}) {{ {' '.join(fields)} }}", variables


class Counter:
    def __init__(self) -> None:
        self.messages = 0


@asynccontextmanager
async def counted(read: Any, write: Any, counter: Counter) -> AsyncIterator[tuple[Any, Any]]:
    """The client's streams with every message in and out counted on the way."""
    to_server, from_client = anyio.create_memory_object_stream[Any](0)
    to_client, from_server = anyio.create_memory_object_stream[Any](0)

    async def pump(source: Any, sink: Any) -> None:
        async with sink:
            async for message in source:
                counter.messages += 1
                await sink.send(message)

    async with anyio.create_task_group() as group:
        group.start_soon(pump, from_client, write)
        group.start_soon(pump, read, to_client)
        yield from_server, to_server
        group.cancel_scope.cancel()


async def rows(session: ClientSession, counter: Counter, repeat: int) -> list[tuple[str, int, float, int]]:
    """(row, model turns, median transport seconds, messages) for the three ways."""
    query, variables = document()

    async def sequential() -> None:
        for field, arguments in CALLS:
            result = await session.call_tool(field, arguments)
            assert not result.isError, (field, result.content)

    async def at_once() -> None:
        results = await asyncio.gather(*(session.call_tool(f, a) for f, a in CALLS))
        assert not any(r.isError for r in results), [r.content for r in results if r.isError]

    async def one_document() -> None:
        result = await session.call_tool("graphql", {"query": query, "variables": variables})
        data = (result.structuredContent or {}).get("data") or {}
        assert not result.isError and len(data) == len(CALLS), result.content
        assert not any(value["isError"] for value in data.values()), data

    out = []
    for name, turns, work in (("a  ten tools/call, one per turn", len(CALLS), sequential),
                              ("a' ten tools/call in one turn", 1, at_once),
                              ("b  one graphql call", 1, one_document)):
        await work()  # warm: documents prepared, sessions and processes awake
        times = []
        for _ in range(repeat):
            before = counter.messages
            began = time.perf_counter()
            await work()
            times.append(time.perf_counter() - began)
            messages = counter.messages - before
        out.append((name, turns, statistics.median(times), messages))
    return out


async def over_stdio(repeat: int) -> list[tuple[str, int, float, int]]:
    counter = Counter()
    params = StdioServerParameters(command=sys.executable, args=["-m", "gateway", "--mcp", "--mcp-tools"],
                                   env=dict(os.environ), cwd=REPO)
    async with stdio_client(params) as (read, write), counted(read, write, counter) as streams, \
            ClientSession(*streams) as session:
        await session.initialize()
        return await rows(session, counter, repeat)


def start_serving(*flags: str, tree: Path = REPO) -> tuple[subprocess.Popen[str], str]:
    """The gateway (of `tree`, a checkout's root) serving on a free loopback port, once it says where."""
    # Ten calls at once from one client are more than the default per-client share of the query
    # threads (half of 16): an operator serving one agent that calls in parallel allows them.
    process = subprocess.Popen([sys.executable, "-m", "gateway", "--serve", "127.0.0.1:0", "--mcp-tools",
                                "--client-queries", "16", *flags],
                               cwd=tree, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    assert process.stderr is not None
    line = process.stderr.readline()
    found = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
    assert found, line
    # The access log goes on: read it away, or the gateway blocks once the pipe is full.
    threading.Thread(target=process.stderr.read, daemon=True).start()
    return process, f"http://127.0.0.1:{found.group(1)}/mcp"


async def over_http(repeat: int) -> list[tuple[str, int, float, int]]:
    process, url = await asyncio.to_thread(start_serving)
    try:
        counter = Counter()
        async with streamable_http_client(url) as (read, write, _), counted(read, write, counter) as streams, \
                ClientSession(*streams) as session:
            await session.initialize()
            return await rows(session, counter, repeat)
    finally:
        process.terminate()
        process.wait(30)


def table(results: dict[str, list[tuple[str, int, float, int]]]) -> str:
    lines = [(f"| transport | way | MCP messages | model turns | transport time | "
              f"+ model at {MODEL_SECONDS * 1000:.0f} ms/turn |"), "|---|---|---:|---:|---:|---:|"]
    for transport, found in results.items():
        for name, turns, seconds, messages in found:
            lines.append(f"| {transport} | {name} | {messages} | {turns} | {seconds * 1000:.1f} ms | "
                         f"{seconds + turns * MODEL_SECONDS:.2f} s |")
    return "\n".join(lines)


# --peer: what the task needs of each result, as the one graphql call selects it.
NEEDS = {"files_read_text_file": "structured { content }", "files_get_file_info": "structured { content }",
         "files_list_directory": "structured { content }", "memory_read_graph": "structured { entities { name } }",
         "memory_search_nodes": "structured { entities { name } }"}
HUB_PORT = 37391


def needed_document() -> tuple[str, dict[str, Any]]:
    """The ten calls as one document that selects of each result only what the task needs."""
    query, variables = document()
    parts = query.split(" { isError json text }")
    rebuilt = parts[0]
    for n, part in enumerate(parts[1:]):
        rebuilt += f" {{ {NEEDS.get(CALLS[n][0], 'text')} }}" + part
    return rebuilt, variables


def cpu_seconds(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime + stime


def rss_kb(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def model_bytes(result: Any) -> int:
    """What a model reads of a result: its content blocks' text (or data), in UTF-8."""
    return sum(len((getattr(b, "text", None) or getattr(b, "data", None) or "").encode()) for b in result.content)


async def peer_rows(session: ClientSession, counter: Counter, repeat: int, names: dict[str, str],
                    ways: tuple[str, ...], pid: int) -> list[tuple[str, float, int, int, float]]:
    """(way, median seconds, messages, bytes to the model, the aggregator's CPU seconds per
    run of the way: its own process, not its servers') for the ways asked."""
    query, variables = needed_document()

    async def ten() -> int:
        total = 0
        for field, arguments in CALLS:
            result = await session.call_tool(names[field], arguments)
            assert not result.isError, (field, result.content)
            total += model_bytes(result)
        return total

    async def ten_at_once() -> int:
        results = await asyncio.gather(*(session.call_tool(names[f], a) for f, a in CALLS))
        assert not any(r.isError for r in results), [r.content for r in results if r.isError]
        return sum(model_bytes(r) for r in results)

    async def one() -> int:
        result = await session.call_tool("graphql", {"query": query, "variables": variables})
        assert not result.isError and not (result.structuredContent or {}).get("errors"), result.content
        return model_bytes(result)

    out = []
    for way in ways:
        work = one if way.startswith("one") else ten_at_once if way.endswith("at once") else ten
        await work()
        times, messages, sent = [], 0, 0
        cpu = cpu_seconds(pid)
        for _ in range(repeat):
            before = counter.messages
            began = time.perf_counter()
            sent = await work()
            times.append(time.perf_counter() - began)
            messages = counter.messages - before
        out.append((way, statistics.median(times), messages, sent, (cpu_seconds(pid) - cpu) / repeat))
    return out


def hub_config(folder: Path) -> Path:
    examples = REPO / "examples"
    config = folder / "hub.json"
    config.write_text(json.dumps({"mcpServers": {
        "toolbox": {"command": sys.executable, "args": [str(examples / "toolbox.py")]},
        "files": {"command": "mcp-server-filesystem", "args": [str(examples / "files")]},
        "memory": {"command": "mcp-server-memory", "env": {"MEMORY_FILE_PATH": str(examples / "memory.jsonl")}},
    }}), encoding="utf-8")
    return config


TEN = ("ten tools/call in turn", "ten tools/call at once")
ONE = "one graphql call, selecting what is needed"


async def peer(repeat: int, rounds: int,
               before: Path | None) -> list[tuple[str, str, list[float], int, int, int, list[float]]]:
    """The gateway's /mcp (session-less, and with --mcp-sessions) and mcp-hub (its SSE endpoint)
    over the same three servers: all up at once, each taking its turn in every round; with `before`
    (another checkout's root, its gateway/ and examples/) that gateway too, in the same rounds."""
    from mcp.client.sse import sse_client

    found: dict[tuple[str, str], tuple[list[float], int, int, int, list[float]]] = {}
    async with contextlib.AsyncExitStack() as stack:
        sessions: list[tuple[str, ClientSession, Counter, dict[str, str], tuple[str, ...], int]] = []
        trees = [("", REPO)] + ([(" (before)", before)] if before is not None else [])
        for who, flags, tree in ((f"gateway{mark}{shown}", flags, tree) for mark, tree in trees
                                 for shown, flags in (("", ()), (" --mcp-sessions", ("--mcp-sessions",)))):
            process, url = await asyncio.to_thread(start_serving, *flags, tree=tree)
            stack.callback(process.wait, 30)
            stack.callback(process.terminate)
            counter = Counter()
            read, write, _ = await stack.enter_async_context(streamable_http_client(url))
            streams = await stack.enter_async_context(counted(read, write, counter))
            session = await stack.enter_async_context(ClientSession(*streams))
            await session.initialize()
            sessions.append((who, session, counter, {f: f for f, _ in CALLS}, (ONE, *TEN), process.pid))
        home = Path(stack.enter_context(tempfile.TemporaryDirectory()))
        # The hub keeps state and logs under the home folder: a throwaway one. The servers start in
        # the files folder, as the gateway's configuration starts the file server there.
        hub = subprocess.Popen(["mcp-hub", "--port", str(HUB_PORT), "--config", str(hub_config(home))],
                               cwd=REPO / "examples" / "files", stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL,
                               env={**os.environ, "HOME": str(home), "XDG_STATE_HOME": str(home),
                                    "XDG_CONFIG_HOME": str(home)})
        stack.callback(hub.wait, 30)
        stack.callback(hub.terminate)
        for _ in range(300):  # the hub answers once its servers are up
            counter = Counter()
            try:
                hub_stack = contextlib.AsyncExitStack()
                read, write = await hub_stack.enter_async_context(sse_client(f"http://127.0.0.1:{HUB_PORT}/mcp"))
                streams = await hub_stack.enter_async_context(counted(read, write, counter))
                session = await hub_stack.enter_async_context(ClientSession(*streams))
                await session.initialize()
                listed = {t.name for t in (await session.list_tools()).tools}
            except (OSError, ExceptionGroup):
                await hub_stack.aclose()
                await asyncio.sleep(0.2)
                continue
            names = {f: next((n for n in listed if n.split("__", 1)[0] == f.split("_", 1)[0]
                              and n.split("__", 1)[1].replace("-", "_") == f.split("_", 1)[1]), "")
                     for f, _ in CALLS}
            if all(names.values()):
                stack.push_async_exit(hub_stack)
                sessions.append(("mcp-hub", session, counter, names, TEN, hub.pid))
                break
            await hub_stack.aclose()
            await asyncio.sleep(0.2)
        else:
            raise SystemExit("mcp-hub did not list the servers' tools")
        for _ in range(rounds):
            for who, session, counter, names, ways, pid in sessions:
                for way, seconds, messages, sent, cpu in await peer_rows(session, counter, repeat, names, ways, pid):
                    times, _, _, _, cpus = found.get((who, way), ([], 0, 0, 0, []))
                    found[who, way] = ([*times, seconds], messages, sent, rss_kb(pid), [*cpus, cpu])
    return [(who, way, *row) for (who, way), row in found.items()]


def peer_table(found: list[tuple[str, str, list[float], int, int, int, list[float]]]) -> str:
    hub = {way: (times, cpus) for who, way, times, _, _, _, cpus in found if who == "mcp-hub"}
    lines = ["| aggregator | way | MCP messages | bytes to the model | transport time | x mcp-hub "
             "| aggregator CPU | x mcp-hub | aggregator RSS |", "|---|---|---:|---:|---:|---:|---:|---:|---:|"]

    def ratios(mine: list[float], theirs: list[float] | None) -> str:
        if theirs is None or mine is theirs:
            return ""
        return "{:.2f}–{:.2f}".format(*minmax([a / b for a, b in zip(mine, theirs, strict=True) if b]))
    for who, way, times, messages, sent, rss, cpus in found:
        times_then, cpus_then = hub.get(way, (None, None))
        lines.append(f"| {who} | {way} | {messages} | {sent:,} | "
                     f"{min(times) * 1000:.1f}–{max(times) * 1000:.1f} ms | {ratios(times, times_then)} | "
                     f"{min(cpus) * 1000:.1f}–{max(cpus) * 1000:.1f} ms | {ratios(cpus, cpus_then)} | "
                     f"{rss / 1024:.0f} MiB |")
    return "\n".join(lines)


def minmax(values: list[float]) -> tuple[float, float]:
    return min(values), max(values)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=20, help="rounds per way (default: %(default)s)")
    parser.add_argument("--peer", action="store_true", help="the gateway against mcp-hub over HTTP")
    parser.add_argument("--rounds", type=int, default=3, help="interleaved rounds with --peer (default: %(default)s)")
    parser.add_argument("--before", type=Path, help="with --peer: also the gateway of this checkout (its gateway/ "
                        "and examples/), in the same rounds")
    args = parser.parse_args()
    if args.peer:
        print(f"load averages (1, 5, 15 min) before: {os.getloadavg()}")
        print(peer_table(asyncio.run(peer(args.repeat, args.rounds, args.before))))
        print(f"load averages (1, 5, 15 min) after: {os.getloadavg()}")
        return
    run: dict[str, Callable[[int], Awaitable[list[tuple[str, int, float, int]]]]] = {
        "stdio": over_stdio, "HTTP": over_http}
    results = {name: asyncio.run(way(args.repeat)) for name, way in run.items()}
    print(table(results))
    print(json.dumps({k: [list(r) for r in v] for k, v in results.items()}), file=sys.stderr)


if __name__ == "__main__":
    main()
