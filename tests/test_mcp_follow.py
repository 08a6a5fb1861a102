"""The MCP face as the catalogue changes, and what it passes on: typed structured results,
every content block of a re-served tool, images selected through `graphql`."""

import asyncio
import base64
import json
import os
import subprocess
import sys
from collections import defaultdict
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import httpx
import pytest
from graphql import GraphQLEnumType, GraphQLObjectType

from conftest import DEADLINE, LoopThread, foreign_env, require_mcp_sdk

require_mcp_sdk()

from mcp import ClientSession, types
from mcp.shared.exceptions import McpError
from mcp.client.stdio import StdioServerParameters, stdio_client
from mcp.client.streamable_http import streamable_http_client
from support import REPO, running, server_entry, serving, write_config

from gateway import Gateway, ServerConfig, load_config
from gateway.access import Access
from gateway.http import WebOptions

HERE = Path(__file__).resolve().parent
CONTENT = HERE / "mcp_content_server.py"
LIVE = HERE / "mcp_live_server.py"
PYTHON = {"command": sys.executable}
REPORT = """{ content_report(count: 3) {
  structured { title items { id level } tree { name children } }
  json } }"""


@pytest.fixture(scope="module")
def folder(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return tmp_path_factory.mktemp("follow")


def configs(folder: Path, *extra: str) -> list[ServerConfig]:
    servers = {"content": {**PYTHON, "args": [str(CONTENT)]}, **{name: server_entry(name) for name in extra}}
    return load_config(write_config(folder, servers))


@pytest.fixture(scope="module")
def served(runner: LoopThread, folder: Path) -> Iterator[tuple[LoopThread, Gateway, str]]:
    """A gateway over the content server at /mcp with sessions and its tools re-served."""
    with running(runner, configs(folder), call_timeout=10) as gateway, \
            serving(runner, gateway, Access(), web=WebOptions(mcp_tools=True, mcp_sessions=True)) as url:
        yield runner, gateway, url


class Listener:
    """A client session's notifications, by their type, as events to wait on."""

    def __init__(self) -> None:
        self.seen: defaultdict[type, asyncio.Event] = defaultdict(asyncio.Event)

    async def __call__(self, message: Any) -> None:
        if isinstance(message, types.ServerNotification):
            self.seen[type(message.root)].set()

    async def next_change(self, *kinds: type) -> None:
        for kind in kinds or (types.ToolListChangedNotification,):
            await asyncio.wait_for(self.seen[kind].wait(), DEADLINE)
            self.seen[kind].clear()


async def names(session: ClientSession) -> set[str]:
    return {tool.name for tool in (await session.list_tools()).tools}


def test_a_typed_result_is_trimmed_to_its_selection(served: tuple[LoopThread, Gateway, str]) -> None:
    runner, gateway, _ = served
    answer = json.loads(runner.run(gateway.execute(REPORT)))
    assert "errors" not in answer, answer
    report = answer["data"]["content_report"]
    assert report["structured"] == {
        "title": "3 items",
        "items": [{"id": 0, "level": "low"}, {"id": 1, "level": "high"}, {"id": 2, "level": "low"}],
        # The tree refers to itself: from its first repeat down it is JSON, whole.
        "tree": {"name": "root", "children": [{"name": "leaf", "children": []}]}}
    assert report["json"]["owner"] == {"name": "ada", "email": None}  # `json` stays whole
    query = gateway.generation.schema.schema.query_type
    assert str(query.fields["content_report"].type) == "ContentReportResult!"
    item = gateway.generation.schema.schema.get_type("ContentReportItemsItemOutput")
    assert isinstance(item, GraphQLObjectType)
    level = item.fields["level"].type
    assert isinstance(level, GraphQLEnumType) and list(level.values) == ["low", "high"]
    for wrong in ("{ content_report(count: 1) { structured { nope } } }",
                  "{ content_report(count: 1) { structured } }",  # an object type needs a selection
                  "{ content_image(size: 8) { structured { title } } }"):  # no declared output: ToolResult
        assert "errors" in json.loads(runner.run(gateway.execute(wrong))), wrong


def direct_content(tool: str, arguments: dict[str, Any]) -> types.CallToolResult:
    async def call() -> types.CallToolResult:
        async with stdio_client(StdioServerParameters(command=sys.executable, args=[str(CONTENT)])) \
                as (read, write), ClientSession(read, write) as session:
            await session.initialize()
            return await session.call_tool(tool, arguments)
    return asyncio.run(asyncio.wait_for(call(), DEADLINE))


@pytest.mark.slow
@pytest.mark.parametrize(("tool", "arguments"), [("every-content", {}), ("image", {"size": 24}),
                                                 ("report", {"count": 2})])
def test_a_reserved_tool_gives_what_a_direct_call_gives(served: tuple[LoopThread, Gateway, str], tool: str,
                                                        arguments: dict[str, Any]) -> None:
    async def work(session: ClientSession) -> types.CallToolResult:
        return await session.call_tool(f"content_{tool.replace('-', '_')}", arguments)

    through = asyncio.run(over_http(served[2], work))
    direct = direct_content(tool, arguments)
    assert [b.model_dump() for b in through.content] == [b.model_dump() for b in direct.content]
    assert through.structuredContent == direct.structuredContent and not through.isError


def test_an_image_selected_through_graphql_arrives_as_an_image_block(
        served: tuple[LoopThread, Gateway, str]) -> None:
    query = "{ a: content_image(size: 24) { content { type data mimeType } } b: content_every_content { text } }"

    async def work(session: ClientSession) -> types.CallToolResult:
        return await session.call_tool("graphql", {"query": query})

    result = asyncio.run(over_http(served[2], work))
    image = direct_content("image", {"size": 24}).content[0]
    assert [b.type for b in result.content] == ["text", "image"]
    assert result.content[1].model_dump() == image.model_dump()
    assert json.loads(result.content[0].text)["data"]["a"]["content"][0]["data"] == image.data


async def over_http(url: str, work: Any, listener: Listener | None = None) -> Any:
    async with streamable_http_client(f"{url}/mcp") as (read, write, _), \
            ClientSession(read, write, message_handler=listener) as session:
        initialized = await session.initialize()
        assert initialized.capabilities.tools is not None and initialized.capabilities.tools.listChanged
        return await work(session)


def test_resources_and_prompts_are_served_as_the_faces_own(served: tuple[LoopThread, Gateway, str]) -> None:
    from mcp_content_server import PIXELS

    async def work(session: ClientSession) -> None:
        listed = {str(r.uri) for r in (await session.list_resources()).resources}
        assert {"memo://notes/today", "memo://data/blob"} <= listed
        templates = (await session.list_resource_templates()).resourceTemplates
        assert [t.uriTemplate for t in templates] == ["memo://notes/{day}"]
        for uri, expected in (("memo://notes/today", "water the plants"), ("memo://notes/monday", "note of monday")):
            assert (await session.read_resource(uri)).contents[0].text == expected
        blob = (await session.read_resource("memo://data/blob")).contents[0]
        assert base64.b64decode(blob.blob) == PIXELS[:32]
        assert [p.name for p in (await session.list_prompts()).prompts] == ["content_greet"]
        prompt = await session.get_prompt("content_greet", {"who": "ada"})
        assert prompt.messages[0].content.text == "Say hello to ada."
        with pytest.raises(McpError):
            await session.read_resource("other://nothing")

    asyncio.run(over_http(served[2], work))


def test_an_mcp_session_keeps_its_level_until_deleted(served: tuple[LoopThread, Gateway, str]) -> None:
    url = f"{served[2]}/mcp"
    headers = {"Accept": "application/json, text/event-stream"}

    def post(method: str, params: dict[str, Any], session: str | None = None) -> httpx.Response:
        named = {"Mcp-Session-Id": session} if session is not None else {}
        return httpx.post(url, json={"jsonrpc": "2.0", "id": 1, "method": method, "params": params},
                          headers={**headers, **named})

    hello = {"protocolVersion": "2025-06-18", "capabilities": {}, "clientInfo": {"name": "t", "version": "1"}}
    opened = post("initialize", hello)
    session = opened.headers["mcp-session-id"]
    assert [post("tools/list", {}, named).status_code for named in (None, "unknown")] == [400, 404]
    assert post("logging/setLevel", {"level": "debug"}, session).json()["result"] == {}
    called = post("tools/call", {"name": "graphql", "arguments": {"query": "{ __typename }"}}, session)
    assert called.headers["content-type"] == "text/event-stream"  # the debug line came first
    assert called.headers["mcp-session-id"] == session and '"level":"debug"' in called.text
    other = post("initialize", hello)
    plain = post("tools/call", {"name": "graphql", "arguments": {"query": "{ __typename }"}},
                 other.headers["mcp-session-id"])
    assert plain.headers["content-type"] == "application/json"  # another session's level is its own
    assert httpx.delete(url, headers={**headers, "Mcp-Session-Id": session}).status_code == 200
    assert post("tools/list", {}, session).status_code == 404


def test_over_http_a_reload_shows_in_the_tools_and_the_schema(served: tuple[LoopThread, Gateway, str],
                                                             folder: Path) -> None:
    runner, gateway, url = served
    listener = Listener()

    async def work(session: ClientSession) -> None:
        assert "delta_echo_args" not in await names(session)
        asyncio.run_coroutine_threadsafe(gateway.reload(configs(folder, "delta")), runner.loop)
        await listener.next_change()
        assert "delta_echo_args" in await names(session)
        guide = (await session.list_tools()).tools[0].description or ""
        assert "delta_echo_args(" in guide and "delta" in guide.split("\n")[0]
        part = await session.call_tool("schema", {"servers": ["delta"]})
        assert not part.isError and "delta_echo_args(" in part.content[0].text
        asyncio.run_coroutine_threadsafe(gateway.reload(configs(folder)), runner.loop)
        await listener.next_change()
        assert not any(name.startswith("delta_") for name in await names(session))
        gone = await session.call_tool("schema", {"servers": ["delta"]})
        assert gone.isError

    asyncio.run(asyncio.wait_for(over_http(url, work, listener), DEADLINE * 2))


@pytest.mark.slow
def test_over_stdio_a_changed_server_is_told_and_listed(tmp_path: Path) -> None:
    config = write_config(tmp_path, {"live": {**PYTHON, "args": [str(LIVE)]}})
    listener = Listener()

    async def work() -> None:
        params = StdioServerParameters(command=sys.executable, args=["-m", "gateway", "--mcp", "--mcp-tools",
                                                                    "--config", str(config)],
                                       env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}, cwd=REPO)
        async with stdio_client(params) as (read, write), \
                ClientSession(read, write, message_handler=listener) as session:
            initialized = await session.initialize()
            assert initialized.capabilities.tools is not None and initialized.capabilities.tools.listChanged
            assert "live_sysmon" not in await names(session)
            await session.call_tool("live_grow", {"name": "sysmon"})
            await listener.next_change()
            assert "live_sysmon" in await names(session)
            called = await session.call_tool("live_sysmon", {})
            assert called.content[0].text == "sysmon"
            await session.call_tool("graphql", {"query": '{ live_shrink(name: "sysmon") { text } }'})
            await listener.next_change()
            assert "live_sysmon" not in await names(session)

    asyncio.run(asyncio.wait_for(work(), DEADLINE * 2))


def test_over_stdio_changed_resources_and_prompts_are_told_and_listed(tmp_path: Path) -> None:
    config = write_config(tmp_path, {"live": {**PYTHON, "args": [str(LIVE)]}})
    listener = Listener()

    async def work() -> None:
        params = StdioServerParameters(command=sys.executable, args=["-m", "gateway", "--mcp", "--config", str(config)],
                                       env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}, cwd=REPO)
        async with stdio_client(params) as (read, write), \
                ClientSession(read, write, message_handler=listener) as session:
            await session.initialize()
            assert not (await session.list_resources()).resources
            # The first makes the server's resource and prompt fields; the second changes only its lists.
            for name in ("first", "second"):
                await session.call_tool("graphql", {"query": f'{{ live_publish(name: "{name}") {{ text }} }}'})
                await listener.next_change(types.ResourceListChangedNotification, types.PromptListChangedNotification)
                assert f"live://{name}" in {str(r.uri) for r in (await session.list_resources()).resources}
                assert f"live_{name}" in {p.name for p in (await session.list_prompts()).prompts}

    asyncio.run(asyncio.wait_for(work(), DEADLINE * 2))


NPM = Path("/opt/dive-ziri-npm")
TYPED_CHECK = """\
import type { ReportQuery, ContentReportItemsItemLevelEnum } from "./types";
declare const r: ReportQuery;
export const level: ContentReportItemsItemLevelEnum | null | undefined = r.content_report.structured?.items?.[0]?.level;
export const title: string | null | undefined = r.content_report.structured?.title;
// @ts-expect-error: a member the document did not select is not in its type
export const owner = r.content_report.structured?.owner;
"""


@pytest.mark.slow
def test_generated_typescript_types_the_structured_result(served: tuple[LoopThread, Gateway, str],
                                                          tmp_path: Path) -> None:
    bin_dir = NPM / "node_modules" / ".bin"
    if not (bin_dir / "graphql-codegen").exists():
        pytest.skip("graphql-codegen is not installed (tools/devroot installs it)")
    (tmp_path / "schema.graphql").write_text(served[1].generation.schema.sdl(), encoding="utf-8")
    (tmp_path / "ops.graphql").write_text("query Report { content_report(count: 2) { structured { title "
                                          "items { id level } } } }", encoding="utf-8")
    (tmp_path / "check.ts").write_text(TYPED_CHECK, encoding="utf-8")
    (tmp_path / "codegen.json").write_text(json.dumps({
        "schema": str(tmp_path / "schema.graphql"), "documents": str(tmp_path / "ops.graphql"),
        "generates": {str(tmp_path / "types.ts"): {"plugins": ["typescript-operations"]}}}), encoding="utf-8")
    for command in ([str(bin_dir / "graphql-codegen"), "--silent", "--config", str(tmp_path / "codegen.json")],
                    [str(bin_dir / "tsc"), "--noEmit", "--strict", "--skipLibCheck", str(tmp_path / "check.ts")]):
        # From the npm folder, where the code generator finds its plugins.
        done = subprocess.run(command, cwd=NPM, env=foreign_env(), capture_output=True, text=True,
                              timeout=DEADLINE * 2, check=False)
        assert done.returncode == 0, done.stdout + done.stderr


OBJECT = {"type": "object", "properties": {"n": {"type": "integer"}}}
OTHER = {"type": "object", "properties": {"m": {"type": "string"}}}


@pytest.mark.parametrize(("outputs", "expected"), [
    # A tool's nested type and another tool's root would both be AlphaAResultOutput: one is renamed.
    ({"a": {"type": "object", "properties": {"result": OBJECT}}, "a_result": OTHER},
     {"alpha_a": ("AlphaAResult", "AlphaAOutput"), "alpha_a_result": ("AlphaAResultResult", "AlphaAResultOutput2")}),
    # Only an object with properties is typed; the rest keeps ToolResult.
    ({"open": {"type": "object"}, "list": {"type": "array", "items": OBJECT}, "odd": {"properties": {"x-y": OBJECT}}},
     {"alpha_open": ("ToolResult", None), "alpha_list": ("ToolResult", None), "alpha_odd": ("ToolResult", None)}),
    # The same declared output, one type, named after the first tool.
    ({"one": OBJECT, "two": OBJECT}, {"alpha_one": ("AlphaOneResult", "AlphaOneOutput"),
                                      "alpha_two": ("AlphaOneResult", "AlphaOneOutput")}),
])
def test_result_type_names_never_collide(outputs: dict[str, Any], expected: dict[str, tuple[str, str | None]]
                                         ) -> None:
    import _graphql
    from gateway.fields import FieldIndex
    from gateway.schema import build

    catalogue = [{"server": "alpha", "tools": [
        {"name": name, "annotations": {"readOnlyHint": True}, "outputSchema": schema}
        for name, schema in outputs.items()]}]
    schema = build(catalogue, FieldIndex.of(_graphql.SchemaEngine(json.dumps(catalogue)))).schema  # a valid schema, or it raises
    found = {}
    for name in expected:
        result = schema.query_type.fields[name].type.of_type
        structured = result.fields.get("structured")
        found[name] = (result.name, structured.type.name if structured is not None else None)
    assert found == expected
