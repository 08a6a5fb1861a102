"""The gateway as an MCP server: the SDK's client over stdio and Streamable HTTP, the checks on
/mcp, and the official conformance suite against a served gateway."""

import asyncio
import contextlib
import json
import os
import shutil
import signal
import subprocess
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import httpx
import pytest
from conftest import DEADLINE, LoopThread, foreign_env, poll_async, require_mcp_sdk

require_mcp_sdk()

from mcp import ClientSession, types
from mcp.server.lowlevel import Server
from pydantic import ValidationError
from mcp.server.transport_security import TransportSecuritySettings
from mcp.client.stdio import StdioServerParameters, stdio_client
from mcp.client.streamable_http import streamable_http_client
from support import running, server_entry, serving, write_config

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO))
from types import SimpleNamespace

import _graphql
from gateway import load_config
from gateway.access import Access
from gateway.fields import FieldIndex
from gateway.generation import routes
from gateway.http import WebOptions
from gateway.identity import version
from gateway.mcp_server import _block, _relayed_tool
from gateway import mcp_transport
from gateway.mcp_transport import StreamableHttp
from gateway.names import distinct
from gateway.schema import build

TOKEN = "s3cret-token"
SERVERS = ("alpha", "beta", "gamma")
# Ten tool results from three servers in one document: (alias, server, number).
TEN = [(f"r{n}", SERVERS[n % 3], n) for n in range(10)]
TEN_QUERY = "query ($k: JSON) { " + " ".join(
    f"{alias}: {server}_echo_args(number: {n}, value: $k) {{ json }}" for alias, server, n in TEN) + " }"
CONFORMANCE = ("server-initialize", "ping", "tools-list", "logging-set-level", "dns-rebinding-protection")


@pytest.fixture(scope="module")
def config(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return write_config(tmp_path_factory.mktemp("mcp"), {name: server_entry(name) for name in SERVERS})


@pytest.fixture(scope="module")
def urls(runner: LoopThread, config: Path) -> Iterator[dict[str, str]]:
    """One gateway served twice: without a token (tools relayed too) and with one."""
    with running(runner, load_config(config), call_timeout=10) as gateway, \
            serving(runner, gateway, Access(), web=WebOptions(mcp_tools=True)) as open_url, \
            serving(runner, gateway, Access(token=TOKEN)) as token_url:
        yield {"open": open_url, "token": token_url}


def check_ten(result: types.CallToolResult) -> None:
    assert not result.isError, result.content
    data = result.structuredContent["data"]
    assert data == {alias: {"json": {"value": 42, "number": n, "server": server}} for alias, server, n in TEN}
    assert json.loads(result.content[0].text) == result.structuredContent  # the text is the same answer


async def over_http(url: str, session_work: Any) -> Any:
    async with streamable_http_client(f"{url}/mcp") as (read, write, _), ClientSession(read, write) as session:
        answer = await session.initialize()
        # The gateway's own name and version, not the SDK's.
        assert (answer.serverInfo.name, answer.serverInfo.version) == ("ziri-gateway", version())
        return await session_work(session)


def test_over_http_one_graphql_call_gives_ten_results_from_three_servers(urls: dict[str, str]) -> None:
    async def work(session: ClientSession) -> None:
        names = [tool.name for tool in (await session.list_tools()).tools]
        assert names[:2] == ["graphql", "schema"]
        assert {f"{s}_echo_args" for s in SERVERS} <= set(names) and "beta_write" in names
        check_ten(await session.call_tool("graphql", {"query": TEN_QUERY, "variables": {"k": 42}}))
        # A relayed tool: one call, one field, the upstream's structured result.
        echoed = await session.call_tool("gamma_echo_args", {"number": 7})
        assert echoed.structuredContent == {"value": None, "number": 7, "server": "gamma"}
        failed = await session.call_tool("alpha_fail", {"reason": "no luck"})
        assert failed.isError and failed.content[0].text.endswith("no luck")  # the server's own words
        refused = await session.call_tool("alpha_echo_args", {"nonsense": 1})
        assert refused.isError and "nonsense" in refused.content[0].text
        written = await session.call_tool("graphql", {"query": "mutation { beta_write { json } }"})
        assert written.structuredContent == {"data": {"beta_write": {"json": {"written": True}}}}

    asyncio.run(over_http(urls["open"], work))


@pytest.mark.parametrize(("arguments", "error", "expected"), [
    ({"query": "{ alpha_missing { json } }"}, True, "Cannot query field 'alpha_missing'"),
    ({"query": "{ alpha_write { json } }"}, True, "Cannot query field 'alpha_write'"),  # a query cannot write
    ({"query": "query ($n: Int!) { alpha_echo_args(number: $n) { json } }", "variables": {"n": "x"}},
     True, "Int cannot represent"),
    ({"query": "{ a: alpha_fail { isError text } }"}, False, '"isError":true'),  # a tool's failure is data
    ({"query": 7}, True, "`query` must be a string"),
])
def test_graphql_tool_refusals_say_why(urls: dict[str, str], arguments: dict[str, Any], error: bool,
                                       expected: str) -> None:
    async def work(session: ClientSession) -> types.CallToolResult:
        return await session.call_tool("graphql", arguments)

    result = asyncio.run(over_http(urls["open"], work))
    assert result.isError is error and expected in result.content[0].text


def test_schema_tool_whole_and_in_part(urls: dict[str, str]) -> None:
    async def work(session: ClientSession) -> list[types.CallToolResult]:
        return [await session.call_tool("schema", arguments) for arguments in
                ({}, {"servers": ["beta"]}, {"servers": ["delta"]})]

    whole, part, unknown = asyncio.run(over_http(urls["open"], work))
    assert all(f"{s}_echo_args(" in whole.content[0].text for s in SERVERS)
    assert "beta_echo_args(" in part.content[0].text and "beta_write" in part.content[0].text
    assert "alpha_echo_args" not in part.content[0].text and "search:" in part.content[0].text
    assert unknown.isError and "delta" in unknown.content[0].text


INITIALIZE = {"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {
    "protocolVersion": "2025-11-25", "capabilities": {}, "clientInfo": {"name": "t", "version": "1"}}}
MCP_HEADERS = {"Accept": "application/json, text/event-stream"}


@pytest.mark.parametrize(("which", "headers", "method", "status"), [
    ("open", {}, "POST", 200),
    ("open", {"Host": "evil.example"}, "POST", 403),  # the gateway's Host rule, as at /graphql
    ("open", {"Origin": "http://evil.example"}, "POST", 403),  # the SDK's DNS-rebinding protection
    ("open", {}, "GET", 405),
    ("open", {"Content-Type": "text/plain"}, "POST", 415),  # the media type rule, as at /graphql
    ("token", {}, "POST", 401),
    ("token", {"Authorization": "Bearer wrong"}, "POST", 401),
    ("token", {"Authorization": f"Bearer {TOKEN}"}, "POST", 200),
    ("token", {"Authorization": f"Bearer {TOKEN}", "Host": "gateway.example"}, "POST", 200),
])
def test_mcp_endpoint_checks(urls: dict[str, str], which: str, headers: dict[str, str], method: str,
                             status: int) -> None:
    body = json.dumps(INITIALIZE).encode()
    response = httpx.request(method, f"{urls[which]}/mcp", content=body if method == "POST" else None,
                             headers={"Content-Type": "application/json", **MCP_HEADERS, **headers})
    assert response.status_code == status, response.text


def test_mcp_body_is_bounded(urls: dict[str, str]) -> None:
    big = {**INITIALIZE, "params": {**INITIALIZE["params"], "pad": "x" * (1 << 17)}}
    response = httpx.post(f"{urls['open']}/mcp", json=big, headers=MCP_HEADERS)
    assert response.status_code == 413


def test_mcp_answers_json_unless_a_notification_comes_first(urls: dict[str, str]) -> None:
    def call(query: str) -> httpx.Response:
        body = {"jsonrpc": "2.0", "id": 3, "method": "tools/call",
                "params": {"name": "graphql", "arguments": {"query": query}}}
        return httpx.post(f"{urls['open']}/mcp", json=body, headers=MCP_HEADERS)

    plain, streamed = call("{ __typename }"), call("{ alpha_missing { json } }")  # the refusal logs a warning
    assert plain.headers["content-type"] == "application/json"
    assert plain.json()["id"] == 3 and not plain.json()["result"]["isError"]
    assert streamed.headers["content-type"] == "text/event-stream"
    events = [json.loads(line[5:]) for line in streamed.text.splitlines() if line.startswith("data:")]
    assert [(e.get("method"), e.get("id")) for e in events] == [("notifications/message", None), (None, 3)]
    assert events[0]["params"]["level"] == "warning" and events[1]["result"]["isError"]


ECHO = {"name": "gamma_echo_args", "arguments": {"number": 7}}


@pytest.mark.parametrize(("params", "expected"), [
    (ECHO, {"number": 7, "server": "gamma", "value": None}),
    ({**ECHO, "_meta": {"progressToken": "p", "more": [1]}}, {"number": 7, "server": "gamma", "value": None}),
    ({**ECHO, "task": {"ttl": 1000}}, {"number": 7, "server": "gamma", "value": None}),  # the model's way
    ({"name": "gamma_echo_args", "arguments": None}, {"number": 0, "server": "gamma", "value": None}),
    ({"name": "nothing"}, "isError"),
    ({"name": 7}, -32602), ({"arguments": {}}, -32602), ({**ECHO, "arguments": [7]}, -32602),
    ({**ECHO, "_meta": {"progressToken": [1]}}, -32602), (None, -32602),
])
def test_mcp_tool_call_params_are_checked_as_their_model_checks_them(urls: dict[str, str], params: Any,
                                                                     expected: Any) -> None:
    body = {"jsonrpc": "2.0", "id": 5, "method": "tools/call"} | ({"params": params} if params else {})
    answer = httpx.post(f"{urls['open']}/mcp", json=body, headers=MCP_HEADERS).json()
    assert answer["id"] == 5
    if isinstance(expected, int):
        assert answer["error"]["code"] == expected
    elif expected == "isError":
        assert answer["result"]["isError"] and answer["result"]["content"][0]["type"] == "text"
    else:
        assert answer["result"]["structuredContent"] == expected and not answer["result"]["isError"]


def test_an_mcp_id_no_answer_could_echo_is_a_parse_error(urls: dict[str, str]) -> None:
    """Half a surrogate pair, spelled as a JSON escape, cannot be written back as UTF-8."""
    answer = httpx.post(f"{urls['open']}/mcp", content=b'{"jsonrpc":"2.0","id":"\\ud800","method":"ping"}',
                        headers={**MCP_HEADERS, "Content-Type": "application/json"})
    assert answer.status_code == 400 and answer.json()["error"]["code"] == -32700


def test_mcp_sessions_are_bounded_and_a_deleted_one_makes_room() -> None:
    transport = StreamableHttp(Server("bounded"), TransportSecuritySettings(enable_dns_rebinding_protection=False),
                               sessions=True, limit=1, idle_seconds=60)

    async def scenario() -> list[int]:
        async with transport.run(), httpx.AsyncClient(transport=httpx.ASGITransport(app=transport),
                                                      base_url="http://localhost", headers=MCP_HEADERS) as client:
            bad = await client.post("/mcp", json={**INITIALIZE, "params": {}})  # opens none
            first = await client.post("/mcp", json=INITIALIZE)
            second = await client.post("/mcp", json=INITIALIZE)
            named = {"Mcp-Session-Id": first.headers["mcp-session-id"]}
            ended = await client.delete("/mcp", headers=named)
            third = await client.post("/mcp", json=INITIALIZE)
            return [r.status_code for r in (bad, first, second, ended, third)]

    assert asyncio.run(scenario()) == [200, 200, 503, 200, 200]


def test_an_id_in_use_in_its_session_is_refused_while_the_first_runs() -> None:
    """Two requests of one session under one id would share one answer's place: the second's
    messages would reach the first's client, or nobody."""
    server: Server[Any, Any] = Server("ids")
    release = asyncio.Event()

    @server.list_tools()  # type: ignore[untyped-decorator, no-untyped-call]
    async def slow() -> list[types.Tool]:
        await release.wait()
        return []

    transport = StreamableHttp(server, TransportSecuritySettings(enable_dns_rebinding_protection=False),
                               sessions=True, limit=4, idle_seconds=60)

    async def scenario() -> list[Any]:
        async with transport.run(), httpx.AsyncClient(transport=httpx.ASGITransport(app=transport),
                                                      base_url="http://localhost", headers=MCP_HEADERS) as client:
            named = {"Mcp-Session-Id": (await client.post("/mcp", json=INITIALIZE)).headers["mcp-session-id"]}
            listing = {"jsonrpc": "2.0", "id": 9, "method": "tools/list"}
            first = asyncio.ensure_future(client.post("/mcp", json=listing, headers=named))
            await poll_async(lambda: 9 in transport.sessions[named["Mcp-Session-Id"]].answers, "the first request")
            second = await client.post("/mcp", json=listing, headers=named)
            release.set()
            return [second.json()["error"]["code"], (await first).json()["result"]]

    assert asyncio.run(scenario()) == [-32600, {"tools": []}]


def test_one_client_holds_a_quarter_of_the_mcp_sessions() -> None:
    """So that one address opening sessions and leaving them cannot lock every other client out."""
    transport = StreamableHttp(Server("shared"), TransportSecuritySettings(enable_dns_rebinding_protection=False),
                               sessions=True, limit=8, idle_seconds=60)

    def client(host: str) -> httpx.AsyncClient:
        return httpx.AsyncClient(transport=httpx.ASGITransport(app=transport, client=(host, 1)),
                                 base_url="http://localhost", headers=MCP_HEADERS)

    async def scenario() -> list[int]:
        async with transport.run(), client("10.0.0.1") as greedy, client("10.0.0.2") as other:
            opened = [await greedy.post("/mcp", json=INITIALIZE) for _ in range(3)]
            elsewhere = await other.post("/mcp", json=INITIALIZE)
            await greedy.delete("/mcp", headers={"Mcp-Session-Id": opened[0].headers["mcp-session-id"]})
            again = await greedy.post("/mcp", json=INITIALIZE)
            return [r.status_code for r in (*opened, elsewhere, again)]

    assert asyncio.run(scenario()) == [200, 200, 429, 200, 200]


def test_when_every_mcp_session_is_taken_the_address_holding_the_most_gives_one_up() -> None:
    """Sessions listening on their GET streams never idle out: four addresses at their quarter
    would otherwise hold every session, and nobody else could open one."""
    transport = StreamableHttp(Server("shared"), TransportSecuritySettings(enable_dns_rebinding_protection=False),
                               sessions=True, limit=8, idle_seconds=60)
    hosts = [f"10.0.0.{n}" for n in range(1, 6)]

    async def scenario() -> list[int]:
        async with transport.run(), contextlib.AsyncExitStack() as stack:
            clients = [await stack.enter_async_context(httpx.AsyncClient(
                transport=httpx.ASGITransport(app=transport, client=(host, 1)), base_url="http://localhost",
                headers=MCP_HEADERS)) for host in hosts]
            held = [await clients[n // 2].post("/mcp", json=INITIALIZE) for n in range(8)]
            newcomer = await clients[4].post("/mcp", json=INITIALIZE)
            ended = await clients[0].post("/mcp", json={"jsonrpc": "2.0", "id": 2, "method": "ping"},
                                          headers={"Mcp-Session-Id": held[0].headers["mcp-session-id"]})
            again = await clients[4].post("/mcp", json=INITIALIZE)  # every address holds at most one more
            return [r.status_code for r in (*held, newcomer, ended, again)]

    assert asyncio.run(scenario()) == [200] * 8 + [200, 404, 503]


def test_an_mcp_session_listening_on_its_stream_is_not_idle(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(mcp_transport, "SWEEP_SECONDS", 0.01)
    transport = StreamableHttp(Server("swept"), TransportSecuritySettings(enable_dns_rebinding_protection=False),
                               sessions=True, limit=8, idle_seconds=0)

    async def scenario() -> set[str]:
        async with transport.run():
            for ident in ("listening", "idle"):
                transport.sessions[ident] = mcp_transport._Session(ident)
            transport.sessions["listening"].stream = asyncio.Queue()
            await poll_async(lambda: "idle" not in transport.sessions, "the idle session ended")
            return set(transport.sessions)

    assert asyncio.run(scenario()) == {"listening"}


@pytest.mark.slow
def test_over_stdio_ten_results_and_log_levels(config: Path) -> None:
    logged: list[types.LoggingMessageNotificationParams] = []

    async def log(params: types.LoggingMessageNotificationParams) -> None:
        logged.append(params)

    async def work() -> None:
        params = StdioServerParameters(command=sys.executable, args=["-m", "gateway", "--mcp", "--config",
                                                                    str(config)],
                                       env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}, cwd=REPO)
        async with stdio_client(params) as (read, write), \
                ClientSession(read, write, logging_callback=log) as session:
            await session.initialize()
            names = [tool.name for tool in (await session.list_tools()).tools]
            assert names == ["graphql", "schema"]  # no relayed tools without --mcp-tools
            check_ten(await session.call_tool("graphql", {"query": TEN_QUERY, "variables": {"k": 42}}))
            assert logged == []  # debug lines only once the client asks for them
            await session.set_logging_level("debug")
            await session.call_tool("graphql", {"query": "{ __typename }"})
            assert [(p.level, p.data.split(":")[0]) for p in logged] == [("debug", "graphql")]

    asyncio.run(asyncio.wait_for(work(), DEADLINE * 2))


# The Inspector CLI decides between its own package.json and its parent package's by a path
# relative to the working directory, not to its module: it runs from its own build folder.
INSPECTOR = Path("/opt/dive-ziri-npm/node_modules/@modelcontextprotocol/inspector-cli/build")
TEN_LITERAL = TEN_QUERY.replace("query ($k: JSON) ", "").replace("$k", "42")


@pytest.mark.slow
@pytest.mark.parametrize("transport", ["stdio", "http"])
def test_the_inspector_cli_lists_and_calls_the_tools(urls: dict[str, str], config: Path, tmp_path: Path,
                                                      transport: str) -> None:
    if not (INSPECTOR / "cli.js").is_file():
        pytest.skip("the MCP Inspector CLI is not installed (tools/mcp-servers installs it)")
    if transport == "stdio":
        servers = tmp_path / "inspector.json"
        servers.write_text(json.dumps({"mcpServers": {"gateway": {
            "command": sys.executable, "args": ["-m", "gateway", "--mcp", "--config", str(config)],
            "env": {"PYTHONPATH": os.pathsep.join(sys.path)}}}}), encoding="utf-8")
        target = ["--config", str(servers), "--server", "gateway"]
    else:
        target = [f"{urls['open']}/mcp", "--transport", "http"]

    def inspector(*method: str) -> Any:
        done = subprocess.run(["node", "cli.js", "--cli", *target, *method], cwd=INSPECTOR, env=foreign_env(),
                              capture_output=True, text=True, timeout=DEADLINE, check=False)
        assert done.returncode == 0, done.stdout + done.stderr
        return json.loads(done.stdout[done.stdout.index("{"):])

    listed = inspector("--method", "tools/list")
    assert [tool["name"] for tool in listed["tools"]][:2] == ["graphql", "schema"]
    called = inspector("--method", "tools/call", "--tool-name", "graphql", "--tool-arg", f"query={TEN_LITERAL}")
    assert called["structuredContent"]["data"] == {
        alias: {"json": {"value": 42, "number": n, "server": server}} for alias, server, n in TEN}


@pytest.mark.slow
@pytest.mark.parametrize("scenario", CONFORMANCE)
def test_conformance_suite(urls: dict[str, str], scenario: str, tmp_path: Path) -> None:
    suite = shutil.which("conformance")
    if suite is None:
        pytest.skip("the MCP conformance suite is not on PATH (tools/test puts it there)")
    done = subprocess.run([suite, "server", "--url", f"{urls['open']}/mcp", "--scenario", scenario,
                           "-o", str(tmp_path)], capture_output=True, text=True, timeout=DEADLINE * 2,
                          check=False, env=foreign_env())
    assert done.returncode == 0, done.stdout + done.stderr
    checks = [json.loads(p.read_text()) for p in tmp_path.rglob("checks.json")]
    assert checks and all(c["status"] == "SUCCESS" for found in checks for c in found), checks


@pytest.mark.slow
def test_stdio_gateway_ends_on_sigterm_while_its_client_is_silent(config: Path) -> None:
    process = subprocess.Popen([sys.executable, "-m", "gateway", "--mcp", "--config", str(config)],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}, cwd=REPO)
    try:
        assert process.stdin is not None and process.stdout is not None
        process.stdin.write(json.dumps({"jsonrpc": "2.0", "id": 1, "method": "ping"}).encode() + b"\n")
        process.stdin.flush()
        assert json.loads(process.stdout.readline())["id"] == 1  # serving, and now waiting on stdin
        process.send_signal(signal.SIGTERM)
        assert process.wait(DEADLINE) == 143
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


def test_a_renamed_tool_is_re_served_with_its_own_definition() -> None:
    listed = [{"name": "a_b", "description": "reads"},
              {"name": "a-b", "description": "writes", "annotations": {"readOnlyHint": False}},
              {"name": "a-b_2", "description": "reads too", "annotations": {"readOnlyHint": True}}]
    listing = [{"server": "h", "tools": listed}]
    catalogue, renamed = distinct(listing, FieldIndex.of(_graphql.SchemaEngine(json.dumps(listing))))
    engine = _graphql.SchemaEngine(json.dumps(catalogue))
    schema = build(catalogue, FieldIndex.of(engine))
    generation = SimpleNamespace(schema=schema, routes=routes(catalogue, renamed),
                                 entries={(g["server"], t["name"]): t for g in catalogue for t in g["tools"]})
    tools = {name: _relayed_tool(generation, name) for name in schema.tools}  # type: ignore[arg-type]
    writer = tools["h_a_b_2"]  # `a-b`, renamed: the name `a-b_2` would have had
    assert (writer.description, writer.annotations.readOnlyHint) == ("writes", False)
    assert tools["h_a_b_2_2"].description == "reads too"


@pytest.mark.parametrize(("block", "expected"), [
    ({"type": "text", "text": "t", "data": None, "annotations": None}, {"type": "text", "text": "t"}),
    ({"type": "image", "data": "AA==", "mimeType": "image/png", "text": None},
     {"type": "image", "data": "AA==", "mimeType": "image/png"}),
    ({"type": "text", "text": "t", "annotations": {"priority": 0.5, "audience": None}},
     {"type": "text", "text": "t", "annotations": {"priority": 0.5}}),
    ({"type": "resource_link", "uri": "memo://a", "name": "a", "size": None},
     {"type": "resource_link", "uri": "memo://a", "name": "a"}),
    ({"type": "text", "text": 7}, None), ({"type": "image", "data": "AA=="}, None),
    ({"type": "video", "data": "AA=="}, None),
])
def test_a_relayed_block_is_given_as_mcp_dumps_it_or_refused(block: dict[str, Any],
                                                             expected: dict[str, Any] | None) -> None:
    if expected is None:
        with pytest.raises(ValidationError):
            _block(block)
    else:
        assert _block(block) == expected
