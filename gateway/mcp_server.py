"""The gateway as an MCP server: one `graphql` tool that runs a whole document, over stdio or HTTP.

An agent that needs ten tool results from three servers makes ten tool calls
through any other gateway, each a trip through its model. Here it sends one
`graphql` call: the document goes through the front (the typed schema,
validation, the engine) exactly as a POST to /graphql does, and the response
comes back as structured content with its JSON as text. `schema` gives the SDL
(whole, or the part for some servers); with `reserve_tools` every offered
upstream tool is also served under its field name, one GraphQL field per call.

Transports: `run_stdio()` for clients that start the gateway as a process, and
`McpHttp`, the Streamable HTTP endpoint mounted at /mcp, stateless so that
replicas share nothing.
"""

import asyncio
import contextlib
import json
import logging
import sys
import time
import weakref
from collections.abc import AsyncIterator
from typing import Any, cast

import anyio
from mcp import types
from mcp.server.lowlevel import Server
from mcp.server.session import ServerSession
from mcp.server.stdio import stdio_server
from mcp.server.streamable_http_manager import StreamableHTTPSessionManager
from mcp.server.transport_security import TransportSecuritySettings
from starlette.responses import JSONResponse

from graphql import GraphQLField, GraphQLObjectType, GraphQLSchema, print_schema

from .access import Access, Limits
from .front import RequestError
from .host import Gateway
from .identity import PROGRAM, version
from .schema import TOOL_RESULT

logger = logging.getLogger(__name__)

SERVER_NAME = PROGRAM
FIELD_LIST_CHARS = 12_000  # of the graphql tool's description given to listing fields with their arguments
LOOPBACK_NAMES = ("localhost", "127.0.0.1", "[::1]")
LOG_LEVELS: tuple[types.LoggingLevel, ...] = (
    "debug", "info", "notice", "warning", "error", "critical", "alert", "emergency")
DEFAULT_LOG_LEVEL: types.LoggingLevel = "warning"  # until a client asks for more (or less)
RESULT_FIELDS = "isError json text"
STDIN_LINE_LIMIT = 64 << 20  # one message on standard input; the client started the gateway itself

GRAPHQL_GUIDE = """\
Run one GraphQL document over the tools of {servers}: every tool is a field, and all the fields \
of a document run at once, so ask for everything you need in one call rather than one tool at a time.
- A tool field returns {{ isError json text }}: select what you need. `json` is the tool's structured \
result (or its text, parsed, when that is JSON); `text` its text; when `isError` is true, `text` says why. \
A failed tool does not fail the other fields.
- Call a tool several times with aliases: {{ a: {example}(...) {{ text }} b: {example}(...) {{ text }} }}.
- Put values in `variables` and declare them: query ($p: String!) {{ x: some_field(arg: $p) {{ json }} }}.
- {{ search {{ field server tool description readOnly }} }} lists every tool; {{ servers {{ name description }} }} \
the servers; the `schema` tool gives the argument types (SDL).
- Read-only tools are fields of `query`; tools that write, move or delete are fields of `mutation` \
(mutation {{ ... }}) and cannot run in a query.
- A document that does not validate runs nothing and returns `errors` saying why.
Fields ({marks}):
"""


class McpFace:
    """The gateway's MCP server: its tools, built once from the gateway's schema, and the
    transports that serve them. `limits` bound each document as an HTTP request's are."""

    def __init__(self, gateway: Gateway, *, reserve_tools: bool = False, limits: Limits | None = None) -> None:
        assert gateway.schema is not None and gateway.front is not None, "start the gateway first"
        self.gateway = gateway
        self.schema = gateway.schema
        self.limits = limits or gateway.limits
        self.reserve_tools = reserve_tools
        self._sdl = self.schema.sdl()
        self._levels: weakref.WeakKeyDictionary[ServerSession, int] = weakref.WeakKeyDictionary()
        self._tools = self._list()
        self._by_name = {tool.name: tool for tool in self._tools}
        self.server = self._server()

    # -- the tools ---------------------------------------------------------------------------------

    def _list(self) -> list[types.Tool]:
        writes = self.schema.schema.mutation_type is not None
        tools = [
            types.Tool(
                name="graphql", title="Run a GraphQL query over many tools at once",
                description=self._guide(),
                inputSchema={"type": "object", "properties": {
                    "query": {"type": "string", "description": "The GraphQL document."},
                    "variables": {"type": "object", "description": "Values of the document's $variables."},
                    "operationName": {"type": "string",
                                      "description": "Which operation to run, when the document holds several."},
                }, "required": ["query"], "additionalProperties": False},
                outputSchema={"type": "object", "properties": {
                    "data": {"type": ["object", "null"]},
                    "errors": {"type": "array", "items": {"type": "object"}},
                }},
                # Whether it can write is whether any offered tool can.
                annotations=types.ToolAnnotations(readOnlyHint=not writes, destructiveHint=writes,
                                                  openWorldHint=True)),
            types.Tool(
                name="schema", title="The GraphQL schema (SDL)",
                description="The GraphQL schema of the `graphql` tool in SDL: every field's arguments and "
                            "their types. Give `servers` for the part of those servers only.",
                inputSchema={"type": "object", "properties": {
                    "servers": {"type": "array", "items": {"type": "string"},
                                "description": "Server names (see `{ servers { name } }`); all when left out."},
                }, "additionalProperties": False},
                annotations=types.ToolAnnotations(readOnlyHint=True, openWorldHint=False)),
        ]
        if self.reserve_tools:
            tools += [self._reserved_tool(field) for field in self.schema.tools]
        return tools

    def _guide(self) -> str:
        """The graphql tool's description: how to use it, then the fields, compactly."""
        servers: dict[str, list[str]] = {}
        for field, tool in self.schema.tools.items():
            servers.setdefault(tool.server, []).append(field)
        example = next(iter(self.schema.tools), "server_tool")
        text = GRAPHQL_GUIDE.format(servers=f"{len(servers)} MCP servers ({', '.join(servers)})",
                                    example=example, marks="M: a mutation; ! required")
        budget = FIELD_LIST_CHARS
        lines: list[str] = []
        left = 0
        for server, fields in servers.items():
            line = f"{server}: " + ", ".join(self._signature(f) for f in fields)
            if len(line) > budget:  # past the budget a field is named without its arguments
                line = f"{server}: " + ", ".join(fields)
            if len(line) > budget:
                left += len(fields)
                continue
            budget -= len(line)
            lines.append(line)
        if left:
            lines.append(f"... and {left} more fields: {{ search {{ field description }} }} lists them.")
        return text + "\n".join(lines)

    def _signature(self, field: str) -> str:
        definition = self._field(field)
        arguments = ", ".join(f"{name}: {arg.type}" for name, arg in definition.args.items())
        mark = "" if self.schema.tools[field].read_only else "M "
        return f"{mark}{field}({arguments})" if arguments else f"{mark}{field}"

    def _field(self, field: str) -> GraphQLField:
        schema = self.schema.schema
        root = schema.query_type if self.schema.tools[field].read_only else schema.mutation_type
        assert root is not None
        found: GraphQLField = root.fields[field]
        return found

    def _reserved_tool(self, field: str) -> types.Tool:
        """An upstream tool as its server listed it, under its field name."""
        tool = self.schema.tools[field]
        upstream = self.gateway.upstreams.get(tool.server)
        listed = next((t for t in upstream.tools if t.get("name") == tool.tool), {}) if upstream else {}
        annotations = listed.get("annotations")
        return types.Tool(
            name=field, title=listed.get("title"),
            description=listed.get("description") or f"{tool.tool} of the MCP server {tool.server}",
            inputSchema=listed.get("inputSchema") or {"type": "object"},
            outputSchema=listed.get("outputSchema"),
            annotations=types.ToolAnnotations(**annotations) if isinstance(annotations, dict) else None)

    # -- calls -------------------------------------------------------------------------------------

    def _server(self) -> Server[Any, Any]:
        server: Server[Any, Any] = Server(
            SERVER_NAME, version=version(),
            instructions="Call `graphql` with one document that asks for every tool result you need; "
                         "`schema` shows the argument types.")

        # The SDK's decorators carry no types, hence the ignores.
        @server.list_tools()  # type: ignore[untyped-decorator, no-untyped-call]
        async def list_tools() -> list[types.Tool]:
            return self._tools

        # Input is checked here and by GraphQL's coercion, not by the SDK: its jsonschema check
        # would check each tool's schema itself again on every call.
        @server.call_tool(validate_input=False)  # type: ignore[untyped-decorator]
        async def call_tool(name: str, arguments: dict[str, Any]) -> types.CallToolResult:
            return await self.call(name, arguments)

        @server.set_logging_level()  # type: ignore[untyped-decorator, no-untyped-call]
        async def set_level(level: types.LoggingLevel) -> None:
            self._levels[server.request_context.session] = LOG_LEVELS.index(level)

        return server

    async def call(self, name: str, arguments: dict[str, Any]) -> types.CallToolResult:
        """One tools/call; what a client got wrong is an isError result that says what."""
        began = time.perf_counter()
        if name == "graphql":
            result = await self._graphql(arguments)
        elif name == "schema":
            result = self._schema(arguments)
        elif name in self._by_name:
            result = await self._reserved(name, arguments)
        else:
            result = _error(f"no tool named {name!r}: call tools/list")
        elapsed_ms = (time.perf_counter() - began) * 1000
        await self._log("debug", f"{name}: {elapsed_ms:.1f} ms{', refused' if result.isError else ''}")
        return result

    async def _graphql(self, arguments: dict[str, Any]) -> types.CallToolResult:
        query, variables = arguments.get("query"), arguments.get("variables")
        operation_name = arguments.get("operationName")
        if not isinstance(query, str):
            return _error("`query` must be a string holding a GraphQL document")
        if variables is not None and not isinstance(variables, dict):
            return _error("`variables` must be an object")
        if operation_name is not None and not isinstance(operation_name, str):
            return _error("`operationName` must be a string")
        try:
            # One generation for the whole call: a catalogue swapped meanwhile does not detach it.
            async with self.gateway.held() as front:
                prepared = await front.prepare_async(query, operation_name, self.limits)
                response = await front.run(prepared, variables, self.limits)
        except RequestError as exc:
            await self._log("warning", f"graphql: refused: {exc}")
            return _answer(exc.response(), is_error=True)
        return _answer(response, is_error=False)

    def _schema(self, arguments: dict[str, Any]) -> types.CallToolResult:
        servers = arguments.get("servers")
        if servers is None:
            return types.CallToolResult(content=[types.TextContent(type="text", text=self._sdl)])
        known = {tool.server for tool in self.schema.tools.values()}
        if not isinstance(servers, list) or not all(isinstance(s, str) for s in servers):
            return _error("`servers` must be a list of server names")
        if unknown := sorted(set(servers) - known):
            return _error(f"no server named {', '.join(unknown)}; the servers are {', '.join(sorted(known))}")
        return types.CallToolResult(content=[types.TextContent(type="text", text=self._part(set(servers)))])

    def _part(self, servers: set[str]) -> str:
        """The SDL of the built-in fields and these servers' tools: a schema of just those fields,
        so that only the types they reach are printed."""
        def kept(root: GraphQLObjectType | None) -> dict[str, GraphQLField]:
            fields = root.fields if root is not None else {}
            return {n: f for n, f in fields.items()
                    if (n in self.schema.tools and self.schema.tools[n].server in servers)
                    or (root is self.schema.schema.query_type and n not in self.schema.tools)}
        whole = self.schema.schema
        query = GraphQLObjectType("Query", kept(whole.query_type), description=whole.query_type.description
                                  if whole.query_type else None)
        writing = kept(whole.mutation_type)
        mutation = GraphQLObjectType("Mutation", writing) if writing else None
        return print_schema(GraphQLSchema(query, mutation, types=[TOOL_RESULT]))

    async def _reserved(self, field: str, arguments: dict[str, Any]) -> types.CallToolResult:
        """One upstream tool as one GraphQL field, its arguments passed as variables."""
        definition = self._field(field)
        if unknown := [name for name in arguments if name not in definition.args]:
            return _error(f"{field} takes no argument {', '.join(map(repr, unknown))} through the gateway; "
                          f"it takes {', '.join(definition.args) or 'none'}")
        names = [name for name in definition.args if name in arguments]
        declared = ", ".join(f"${name}: {definition.args[name].type}" for name in names)
        passed = ", ".join(f"{name}: ${name}" for name in names)
        operation = "query" if self.schema.tools[field].read_only else "mutation"
        document = (f"{operation}{f'({declared})' if declared else ''} "
                    f"{{ r: {field}{f'({passed})' if passed else ''} {{ {RESULT_FIELDS} }} }}")
        try:
            async with self.gateway.held() as front:
                prepared = await front.prepare_async(document, None, self.limits)
                response = await front.run(prepared, arguments, self.limits)
        except RequestError as exc:
            return _error("; ".join(e.get("message", "") for e in exc.errors))
        reply = (response.get("data") or {}).get("r")
        if reply is None:
            return _error("; ".join(e.get("message", "") for e in response.get("errors") or ()) or "no answer")
        listed = self._by_name.get(field)
        structured = reply.get("json") if listed is not None and listed.outputSchema is not None else None
        return types.CallToolResult(content=[types.TextContent(type="text", text=reply.get("text") or "")],
                                    structuredContent=structured if isinstance(structured, dict) else None,
                                    isError=bool(reply.get("isError")))

    async def _log(self, level: types.LoggingLevel, message: str) -> None:
        """A log notification to the calling client, when its level lets this one through."""
        try:
            context = self.server.request_context
        except LookupError:
            return
        wanted = self._levels.get(context.session, LOG_LEVELS.index(DEFAULT_LOG_LEVEL))
        if LOG_LEVELS.index(level) >= wanted:
            await context.session.send_log_message(level, message, logger="gateway",
                                                   related_request_id=context.request_id)

    # -- transports --------------------------------------------------------------------------------

    async def run_stdio(self) -> None:
        """Serves one client over standard input and output until it closes standard input."""
        # The SDK reads standard input through anyio's file wrapper, on a worker thread that a
        # cancel waits for: SIGTERM would wait for the client's next line. A pipe read on the loop
        # ends at once.
        loop = asyncio.get_running_loop()
        reader = asyncio.StreamReader(limit=STDIN_LINE_LIMIT)
        await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin.buffer)
        lines = cast(anyio.AsyncFile[str], _Lines(reader))
        async with stdio_server(stdin=lines) as (read, write):
            await self.server.run(read, write, self.server.create_initialization_options())


class _Lines:
    """A stream's lines as text, as the SDK's stdio transport iterates them."""

    def __init__(self, reader: asyncio.StreamReader) -> None:
        self.reader = reader

    def __aiter__(self) -> _Lines:
        return self

    async def __anext__(self) -> str:
        line = await self.reader.readline()  # ValueError past STDIN_LINE_LIMIT ends the session
        if not line:
            raise StopAsyncIteration
        return line.decode("utf-8", "replace")


class McpHttp:
    """Streamable HTTP at /mcp: the SDK's transport (stateless, with its DNS-rebinding protection)
    in front of the face's server. The app's middleware has applied the Host, token and body
    rules of every route before a request gets here.

    `lifespan()` makes the face from the started gateway and holds the SDK's session manager,
    which wants its task group entered once; before it /mcp answers 503."""

    def __init__(self, gateway: Gateway, access: Access | None = None, *, reserve_tools: bool = False) -> None:
        self.gateway = gateway
        self.access = access or Access()
        self.reserve_tools = reserve_tools
        self.manager: StreamableHTTPSessionManager | None = None

    @contextlib.asynccontextmanager
    async def lifespan(self) -> AsyncIterator[None]:
        face = McpFace(self.gateway, reserve_tools=self.reserve_tools, limits=self.access.limits)
        manager = StreamableHTTPSessionManager(face.server, stateless=True,
                                               security_settings=security_settings(self.access))
        async with manager.run():
            self.manager = manager
            try:
                yield
            finally:
                self.manager = None

    async def __call__(self, scope: dict[str, Any], receive: Any, send: Any) -> None:
        if scope["method"] != "POST":
            # Stateless: no session to resume or end, and nothing the gateway sends unasked,
            # so no GET stream (MCP allows 405 for it) and no DELETE.
            refusal = _refused(405, f"method {scope['method']} is not allowed here: send MCP messages by POST",
                               {"Allow": "POST"})
        elif self.manager is None:
            refusal = _refused(503, "the MCP endpoint is not serving (yet)")
        else:
            await self.manager.handle_request(scope, receive, send)
            return
        await refusal(scope, receive, send)


def security_settings(access: Access) -> TransportSecuritySettings:
    """The SDK's DNS-rebinding protection: without a token only loopback Host and Origin headers.
    With one, the token is what a rebinding page lacks, and the names the gateway is reached
    by are not known to it, so the SDK's check is left off and the token decides."""
    if access.token is not None:
        return TransportSecuritySettings(enable_dns_rebinding_protection=False)
    hosts = [f"{name}{port}" for name in LOOPBACK_NAMES for port in ("", ":*")]
    origins = [f"{scheme}://{host}" for scheme in ("http", "https") for host in hosts]
    if access.cors_origin is not None:
        origins.append(access.cors_origin)
    return TransportSecuritySettings(enable_dns_rebinding_protection=True, allowed_hosts=hosts,
                                     allowed_origins=origins)


def _refused(status: int, message: str, headers: dict[str, str] | None = None) -> JSONResponse:
    return JSONResponse({"errors": [{"message": message}]}, status_code=status, headers=headers)


def _answer(response: dict[str, Any], *, is_error: bool) -> types.CallToolResult:
    """A GraphQL response as structured content, its compact JSON as the text for clients that
    show a model only text."""
    text = json.dumps(response, separators=(",", ":"), ensure_ascii=False)
    return types.CallToolResult(content=[types.TextContent(type="text", text=text)],
                                structuredContent=response, isError=is_error)


def _error(message: str) -> types.CallToolResult:
    return types.CallToolResult(content=[types.TextContent(type="text", text=message)], isError=True)
