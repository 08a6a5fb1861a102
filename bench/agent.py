#!/usr/bin/env python3
"""An agent that needs ten tool results from three MCP servers, through the gateway's MCP face.

Run from the repository root (the module built in build/, the npm servers installed):

    tools/devroot env PYTHONPATH=build PATH=/opt/dive-ziri-npm/node_modules/.bin:/usr/bin:/bin \\
        python3 bench/agent.py            # about 30 s; --repeat N for more rounds

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
import json
import os
import re
import statistics
import subprocess
import sys
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
        assert not any(r.isError for r in results)

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


def start_serving() -> tuple[subprocess.Popen[str], str]:
    """The gateway serving on a free loopback port, once it says where."""
    process = subprocess.Popen([sys.executable, "-m", "gateway", "--serve", "127.0.0.1:0", "--mcp-tools"],
                               cwd=REPO, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=20, help="rounds per way (default: %(default)s)")
    args = parser.parse_args()
    run: dict[str, Callable[[int], Awaitable[list[tuple[str, int, float, int]]]]] = {
        "stdio": over_stdio, "HTTP": over_http}
    results = {name: asyncio.run(way(args.repeat)) for name, way in run.items()}
    print(table(results))
    print(json.dumps({k: [list(r) for r in v] for k, v in results.items()}), file=sys.stderr)


if __name__ == "__main__":
    main()
