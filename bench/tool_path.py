#!/usr/bin/env python3
"""CPU per tool call: the gateway beside the MCP SDK's own client, for the same calls.

Run from the repository root (the module built in build/, the npm servers installed):

    tools/devroot env PYTHONPATH=build PATH=/opt/dive-ziri-npm/node_modules/.bin:/usr/bin:/bin \\
        python3 bench/tool_path.py            # about 1 min; --calls N, --rounds N

The ten calls of bench/agent.py on the three bundled servers (toolbox, files,
memory, each over stdio), CONCURRENCY at a time:

  - the SDK: one ClientSession per server in this process, each call its raw
    `send_request` (no output-schema check, no tool-list refresh): the floor
    any client of these servers pays; its CPU is this process's;
  - the gateway: `python -m gateway --serve`, each call one /graphql POST of
    one tool field; its CPU is the gateway process's (its query threads
    included), read from /proc, the client's apart;
  - the gateway without HTTP: the same gateway in this process, each call
    the front's run of the same document prepared once (its CPU is this
    process's, like the SDK's): the tool path alone, so that the gap to the
    served row is what the HTTP request costs;
  - the gateway, ten fields a document: the same served gateway, each POST
    the ten calls in one document (bench/agent.py's): what a call costs when
    a request carries several, as the gateway is meant to be used.

Rounds alternate them. Prints calls per second and CPU milliseconds per
call for each, and the gateway's CPU over the SDK's, with the load average.

With --fairness it measures instead what one document of WIDE tool fields
costs the gateway's other clients: a probe from another address (127.0.0.2)
sends `{ __typename }` by GET one after another while the wide document runs,
and the probe's slowest and median answers are printed beside the wide
document's own time, for each served gateway, rounds alternating.
Nothing here is a test: no figure is asserted.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import json
import os
import re
import subprocess
import sys
import threading
import tempfile
import time
from pathlib import Path
from typing import Any

import httpx
from agent import CALLS, REPO, hub_config
from agent import document as agent_document
from mcp import ClientSession
from mcp.client.stdio import StdioServerParameters, stdio_client
from mcp.types import CallToolRequest, CallToolRequestParams, CallToolResult, ClientRequest

CONCURRENCY = 8
WIDE = 900  # tool fields of the document the fairness probe runs beside
TYPES = {"numbers": "[Float!]!", "a": "Float!", "b": "Float!", "text": "String!", "start": "String!",
         "end": "String!", "path": "String!", "query": "String!"}
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime + stime


async def in_turns(calls: list[Any], run: Any) -> float:
    """Wall seconds for `calls`, CONCURRENCY at a time."""
    pending = iter(calls)

    async def worker() -> None:
        for call in pending:
            await run(call)

    began = time.perf_counter()
    await asyncio.gather(*(worker() for _ in range(CONCURRENCY)))
    return time.perf_counter() - began


async def sdk(stack: contextlib.AsyncExitStack, config: Path) -> Any:
    servers = json.loads(config.read_text())["mcpServers"]
    sessions = {}
    names: dict[str, tuple[str, str]] = {}
    for name, entry in servers.items():
        params = StdioServerParameters(command=entry["command"], args=entry.get("args", []),
                                       env={**os.environ, **entry.get("env", {})}, cwd=REPO / "examples" / "files")
        read, write = await stack.enter_async_context(stdio_client(params))
        session = await stack.enter_async_context(ClientSession(read, write))
        await session.initialize()
        sessions[name] = session
        for tool in (await session.list_tools()).tools:  # a field's name spells a hyphen as "_"
            names[f"{name}_{tool.name.replace('-', '_')}"] = (name, tool.name)

    async def run(call: tuple[str, dict[str, Any]]) -> None:
        server, tool = names[call[0]]
        request = ClientRequest(CallToolRequest(params=CallToolRequestParams(name=tool, arguments=call[1])))
        result = await sessions[server].send_request(request, CallToolResult)
        assert not result.isError, (call, result.content)

    return run


async def served(stack: contextlib.AsyncExitStack, config: Path, source: Path) -> tuple[str, int]:
    """The gateway package found in `source` serving the servers of `config`: its URL and pid."""
    process = subprocess.Popen([sys.executable, "-m", "gateway", "--config", str(config), "--serve", "127.0.0.1:0",
                                "--client-queries", "1024", "--query-queue", "1024"], cwd=source,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    stack.callback(process.wait, 30)
    stack.callback(process.terminate)
    assert process.stderr is not None
    line = process.stderr.readline()
    found = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
    assert found, line
    threading.Thread(target=process.stderr.read, daemon=True).start()  # the access log, read away
    return f"http://127.0.0.1:{found.group(1)}", process.pid


async def gateway(stack: contextlib.AsyncExitStack, config: Path, source: Path) -> tuple[Any, int]:
    """The gateway package found in `source` serving the servers of `config`."""
    url, pid = await served(stack, config, source)
    client = await stack.enter_async_context(httpx.AsyncClient(base_url=url,
                                                               limits=httpx.Limits(max_connections=CONCURRENCY)))
    documents = one_field_documents()

    async def run(call: tuple[str, dict[str, Any]]) -> None:
        answer = (await client.post("/graphql", json={"query": documents[call[0]], "variables": call[1]})).json()
        assert not answer.get("errors") and not answer["data"]["r"]["isError"], answer

    return run, pid


async def gateway_ten(stack: contextlib.AsyncExitStack, config: Path, source: Path) -> tuple[Any, int]:
    """The same gateway, each POST one document of the ten calls (bench/agent.py's): run once
    for every ten calls, so that what the HTTP request costs is shared by ten."""
    url, pid = await served(stack, config, source)
    client = await stack.enter_async_context(httpx.AsyncClient(base_url=url,
                                                               limits=httpx.Limits(max_connections=CONCURRENCY)))
    query, variables = agent_document()

    async def run(call: tuple[str, dict[str, Any]]) -> None:
        if call is not CALLS[0]:
            return  # one document stands for each ten calls, from the first of them
        answer = (await client.post("/graphql", json={"query": query, "variables": variables})).json()
        assert not answer.get("errors") and not any(r["isError"] for r in answer["data"].values()), answer

    return run, pid


def one_field_documents() -> dict[str, str]:
    """Each call's document: one tool field, its arguments as variables."""
    documents = {}
    for field, arguments in CALLS:
        declared = ", ".join(f"${name}: {TYPES[name]}" for name in arguments)
        passed = ", ".join(f"{name}: ${name}" for name in arguments)
        documents[field] = (f"query{f'({declared})' if declared else ''} "
                            f"{{ r: {field}{f'({passed})' if passed else ''} {{ isError text }} }}")
    return documents


async def no_http(stack: contextlib.AsyncExitStack, config: Path) -> Any:
    """The gateway in this process without its HTTP server: each call the front's run of a
    prepared document, as a /graphql POST reaches it (query threads, receivers, the upstreams'
    sessions, the output checks); what the HTTP request adds is the gap to the served row."""
    sys.path.insert(0, str(REPO))
    from gateway import Gateway, load_config

    served = Gateway(load_config(config))
    await served.start()
    stack.push_async_callback(served.close)
    documents = one_field_documents()
    generation = await stack.enter_async_context(served.taken())
    front = generation.front
    prepared = {field: await front.prepare_async(text, None) for field, text in documents.items()}

    async def run(call: tuple[str, dict[str, Any]]) -> None:
        answer = await front.run(prepared[call[0]], call[1])
        assert not answer.get("errors") and not answer["data"]["r"]["isError"], answer

    return run


async def main(calls: int, rounds: int, before: Path | None) -> None:
    work = [CALLS[n % len(CALLS)] for n in range(calls)]
    found: dict[str, list[tuple[float, float]]] = {}
    with tempfile.TemporaryDirectory() as folder:
        config = hub_config(Path(folder))
        async with contextlib.AsyncExitStack() as stack:
            runs: dict[str, tuple[Any, int | None]] = {"SDK send_request": (await sdk(stack, config), None)}
            runs["gateway, no HTTP (in this process)"] = (await no_http(stack, config), None)
            runs["gateway"] = await gateway(stack, config, REPO)
            runs["gateway, ten fields a document"] = await gateway_ten(stack, config, REPO)
            if before is not None:
                runs["gateway before"] = await gateway(stack, config, before.resolve())
            for run, _ in runs.values():
                await in_turns(work[:CONCURRENCY * 4], run)  # warm
            for _ in range(rounds):
                for who, (run, pid) in runs.items():
                    began = time.process_time() if pid is None else cpu_seconds(pid)
                    wall = await in_turns(work, run)
                    used = (time.process_time() if pid is None else cpu_seconds(pid)) - began
                    found.setdefault(who, []).append((calls / wall, used / calls))
            # Said before the sessions close: the SDK's stdio client can fail its own teardown.
            report(found)


async def probing(probe: httpx.AsyncClient, done: asyncio.Event, waits: list[float]) -> None:
    """`{ __typename }` one after another until `done`, each one's wait in `waits`."""
    while not done.is_set():
        began = time.perf_counter()
        assert (await probe.get("/graphql", params={"query": "{ __typename }"})).is_success
        waits.append(time.perf_counter() - began)


async def fairness(rounds: int, before: Path | None) -> None:
    """The probe's answers while one wide document runs, per served gateway."""
    wide = "{ " + " ".join(f'f{n}: toolbox_reverse(text: "{n}") {{ text }}' for n in range(WIDE)) + " }"
    found: dict[str, list[tuple[float, float, float]]] = {}
    with tempfile.TemporaryDirectory() as folder:
        config = hub_config(Path(folder))
        async with contextlib.AsyncExitStack() as stack:
            urls = {"gateway": (await served(stack, config, REPO))[0]}
            if before is not None:
                urls["gateway before"] = (await served(stack, config, before.resolve()))[0]
            clients = {who: (await stack.enter_async_context(httpx.AsyncClient(base_url=url, timeout=120)),
                             await stack.enter_async_context(httpx.AsyncClient(
                                 base_url=url, transport=httpx.AsyncHTTPTransport(local_address="127.0.0.2"))))
                       for who, url in urls.items()}
            for _ in range(rounds + 1):  # the first round warms
                for who, (client, probe) in clients.items():
                    done = asyncio.Event()
                    waits: list[float] = []
                    prober = asyncio.ensure_future(probing(probe, done, waits))
                    began = time.perf_counter()
                    answer = (await client.post("/graphql", json={"query": wide})).json()
                    took = time.perf_counter() - began
                    done.set()
                    await prober
                    assert not answer.get("errors") and len(answer["data"]) == WIDE, str(answer)[:300]
                    waits.sort()
                    found.setdefault(who, []).append((waits[-1], waits[len(waits) // 2], took))
    print(f"load averages (1, 5, 15 min) after: {os.getloadavg()}")
    print(f"| gateway | probe's slowest | probe's median | {WIDE} fields took |")
    print("|---|---:|---:|---:|")
    for who, rows in found.items():
        rows = rows[1:]
        spans = ["–".join(f"{f(r[i] for r in rows) * 1000:,.0f}" for f in (min, max)) for i in range(3)]
        print(f"| {who} | {spans[0]} ms | {spans[1]} ms | {spans[2]} ms |")


def report(found: dict[str, list[tuple[float, float]]]) -> None:
    print(f"load averages (1, 5, 15 min) after: {os.getloadavg()}")
    print("| client | tool calls/s | CPU per call | x SDK CPU |")
    print("|---|---:|---:|---:|")
    for who, rows in found.items():
        ratio = [cpu / base[1] for (_, cpu), base in zip(rows, found["SDK send_request"], strict=True)]
        print(f"| {who} | {min(r for r, _ in rows):,.0f}–{max(r for r, _ in rows):,.0f} | "
              f"{min(c for _, c in rows) * 1000:.2f}–{max(c for _, c in rows) * 1000:.2f} ms | "
              f"{min(ratio):.2f}–{max(ratio):.2f} |")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--before", metavar="DIR", type=Path, help="also the gateway package found in this folder")
    parser.add_argument("--fairness", action="store_true",
                        help=f"the other clients' answers while a document of {WIDE} tool fields runs")
    args = parser.parse_args()
    asyncio.run(fairness(args.rounds, args.before) if args.fairness else main(args.calls, args.rounds, args.before))
