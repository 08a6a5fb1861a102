"""The gateway as an MCP server: one `graphql` tool that runs a whole document, over stdio or HTTP.

An agent that needs ten tool results from three servers makes ten tool calls
through any other gateway, each a trip through its model. Here it sends one
`graphql` call: the document goes through the front (the typed schema,
validation, the engine) exactly as a POST to /graphql does, and the response
comes back as structured content with its JSON as text, and each image or
audio block it selected as a block of its own, so that a model sees it. `schema`
gives the SDL (whole, or the part for some servers); with `relay_tools` every
offered upstream tool is also served under its field name, one GraphQL field
per call, with every content block as its server gave it. The servers'
resources and prompts are served as the face's own (see `mcp_relay`).

What the face serves is made from the gateway's current generation: a server
added, restarted or changing its tools changes the tool list, the guide and the
SDL, and every client that asked for a list is sent `tools/list_changed` (or
the resources' or prompts' when the servers offering them change, or one of
them says its list changed or comes back up) where its transport carries
messages the gateway sends unasked (stdio, and /mcp with sessions).

Transports: `run_stdio()` for clients that start the gateway as a process, and
`McpHttp`, the Streamable HTTP endpoint mounted at /mcp: stateless by default,
so that replicas share nothing, or with sessions, so that clients hear of changes.
"""

import asyncio
import contextlib
import logging
import sys
import time
import weakref
from collections.abc import AsyncIterator, Iterator
from dataclasses import dataclass, field
from typing import Any, cast

import anyio
from mcp import types
from mcp.server.lowlevel import NotificationOptions, Server
from mcp.server.lowlevel.helper_types import ReadResourceContents
from mcp.server.models import InitializationOptions
from mcp.server.session import ServerSession
from mcp.server.stdio import stdio_server
from mcp.server.transport_security import TransportSecuritySettings
from pydantic import TypeAdapter, ValidationError

from graphql import GraphQLEnumType, GraphQLField, GraphQLObjectType, GraphQLSchema, print_schema

from . import json_text
from .access import LOOPBACK_NAMES, Access
from .admission import Admission, Refused
from .checks import refusal
from .errors import error_body
from .front import Front, Prepared, RequestError
from .generation import Generation
from .identity import PROGRAM, version
from .lifecycle import Gateway
from .limits import Limits
from .mcp_relay import Offered, Relay
from .mcp_transport import StreamableHttp
from .own_fields import LIST_PROMPTS, LIST_RESOURCES
from .schema import TOOL_RESULT, GatewaySchema, query_description

logger = logging.getLogger(__name__)

SERVER_NAME = PROGRAM
FIELD_LIST_CHARS = 12_000  # of the graphql tool's description given to listing fields with their arguments
ENUM_LIST_CHARS = 4_000  # and to the values of the enum types they take
LOG_LEVELS: tuple[types.LoggingLevel, ...] = (
    "debug", "info", "notice", "warning", "error", "critical", "alert", "emergency")
LEVELS = {level: n for n, level in enumerate(LOG_LEVELS)}
DEFAULT_LOG_LEVEL: types.LoggingLevel = "warning"  # until a client asks for more (or less)
# Everything a content block can hold, so a relayed tool gives its blocks whole.
STDIO_CLIENT = "stdio"  # the one client of a gateway started over stdio
RESULT_FIELDS = ("isError json text content { type text mimeType data uri name title description size "
                 "annotations resource { uri mimeType text blob } }")
MEDIA = ("image", "audio")
STDIN_LINE_LIMIT = 64 << 20  # one message on standard input; the client started the gateway itself
SESSIONS = 256  # /mcp sessions held at once, when it keeps sessions
SESSION_IDLE_SECONDS = 600.0  # a session not used for this long is ended
CONTENT_BLOCK = TypeAdapter[types.ContentBlock](types.ContentBlock)
# The blocks a tool gives most, by their members as the front gives them (nulls left out): each
# string-valued as MCP asks, they are the block they would validate and dump to.
MEDIA_BLOCK = frozenset(("type", "data", "mimeType"))
PLAIN_BLOCKS: dict[object, frozenset[str]] = {"text": frozenset(("type", "text")), "image": MEDIA_BLOCK,
                                              "audio": MEDIA_BLOCK}
DOCUMENTS = 1024  # one-field documents kept per generation, by tool and argument names
# A tools/call's result as JSON: a CallToolResult's members, as the SDK dumps one.
type Result = dict[str, Any]

GRAPHQL_GUIDE = """\
Run one GraphQL document over the tools of {servers}: every tool is a field, and all the fields \
of a document run at once, so ask for everything you need in one call rather than one tool at a time.
- A tool field returns {{ isError json text content }}: select what you need. `json` is the tool's structured \
result (or its text, parsed, when that is JSON); `text` its text; when `isError` is true, `text` says why. \
A failed tool does not fail the other fields.
- `content` is every block of the result: content {{ type text mimeType data uri }}. Each image or audio block \
selected with its `type`, `data` and `mimeType` also comes back beside the JSON as an image or audio block.
- A tool that declares its output also has `structured`, typed: select only the members you need.
- Call a tool several times with aliases: {{ a: {example}(...) {{ text }} b: {example}(...) {{ text }} }}.
- Put values in `variables` and declare them: query ($p: String!) {{ x: some_field(arg: $p) {{ json }} }}.
- {{ search {{ field server tool description readOnly }} }} lists every tool; {{ servers {{ name description }} }} \
the servers and their instructions; the `schema` tool gives the argument and result types (SDL).
- Read-only tools are fields of `query`; tools that write, move or delete are fields of `mutation` \
(mutation {{ ... }}) and cannot run in a query.
- A document that does not validate runs nothing and returns `errors` saying why.
Fields ({marks}):
"""


@dataclass
class _View:
    """What the face serves of one generation, made when a client first needs it."""

    generation: Generation
    tools: list[types.Tool]
    by_name: dict[str, types.Tool]
    _sdl: str | None = field(default=None)
    # A relayed call's document by tool and argument names: an agent calls a tool the same way
    # again and again.
    documents: dict[tuple[str, tuple[str, ...]], str] = field(default_factory=dict)

    def document(self, key: tuple[str, tuple[str, ...]], text: str) -> str:
        if len(self.documents) >= DOCUMENTS:  # argument names are the client's: the oldest goes
            del self.documents[next(iter(self.documents))]
        self.documents[key] = text
        return text

    @property
    def schema(self) -> GatewaySchema:
        return self.generation.schema

    def sdl(self) -> str:
        if self._sdl is None:
            self._sdl = self.schema.sdl()
        return self._sdl


class _FaceServer(Server[Any, Any]):
    """The SDK's server, saying whether it tells its clients of a changed tool list."""

    def __init__(self, name: str, instructions: str, tells_changes: bool) -> None:
        super().__init__(name, version=version(), instructions=instructions)
        self.tells_changes = tells_changes

    def create_initialization_options(self, notification_options: NotificationOptions | None = None,
                                      experimental_capabilities: dict[str, dict[str, Any]] | None = None
                                      ) -> InitializationOptions:
        told = self.tells_changes
        options = notification_options or NotificationOptions(tools_changed=told, resources_changed=told,
                                                               prompts_changed=told)
        return super().create_initialization_options(options, experimental_capabilities)


class McpFace:
    """The gateway's MCP server: its tools, made from the gateway's current generation, and the
    transports that serve them. `limits` bound each document as an HTTP request's are;
    `tells_changes` whether its transport can carry `tools/list_changed` (a stateless one cannot);
    `admission` (the HTTP app's) gives a document with tool fields its turn for a query thread."""

    def __init__(self, gateway: Gateway, *, relay_tools: bool = False, limits: Limits | None = None,
                 tells_changes: bool = True, admission: Admission | None = None) -> None:
        self.gateway = gateway
        self.limits = limits or gateway.limits
        self.admission = admission
        self.relay_tools = relay_tools
        self.tells_changes = tells_changes
        self._levels: weakref.WeakKeyDictionary[ServerSession, int] = weakref.WeakKeyDictionary()
        self._listeners: weakref.WeakSet[ServerSession] = weakref.WeakSet()  # sessions that asked for the list
        self._view: _View | None = None
        self.relay = Relay(gateway, self.limits)
        self._offered: Offered | None = None  # which servers' resources and prompts were last served
        self._telling: set[asyncio.Task[None]] = set()
        self.server = self._server()

    # -- following the generations -----------------------------------------------------------------

    def view(self) -> _View:
        """The current generation's tools, made once per generation."""
        generation = self.gateway.generation
        assert generation is not None, "start the gateway first"
        if self._view is None or self._view.generation is not generation:
            tools = self._list(generation)
            self._view = _View(generation, tools, {tool.name: tool for tool in tools})
        return self._view

    @contextlib.contextmanager
    def following(self) -> Iterator[None]:
        """While the block runs, a new generation whose tool list differs is told to the clients."""
        if not self.tells_changes:  # nobody to tell: the face is made anew per generation as it is asked
            yield
            return
        stop = self.gateway.follow(self._swapped)
        if (generation := self.gateway.generation) is not None:
            self._offered = Offered.of(generation)
        try:
            yield
        finally:
            stop()
            for task in list(self._telling):
                task.cancel()

    def _swapped(self, generation: Generation, lists_changed: dict[str, set[str]]) -> None:
        before, offered = self._view.tools if self._view is not None else None, self._offered
        now = self._offered = Offered.of(generation)

        def differs(kind: str, listing: str) -> bool:
            """Other servers offer them, or one that offers them says its list changed."""
            return (offered is not None and offered.servers(listing) != now.servers(listing)) \
                or any(kind in lists_changed.get(server, ()) for server in now.servers(listing))
        changed = [kind for kind, changes in (
            ("tools", self.view().tools != before),
            ("resources", differs("resources", LIST_RESOURCES)),
            ("prompts", differs("prompts", LIST_PROMPTS)),
        ) if changes]
        for session in list(self._listeners) if changed else ():
            task = asyncio.ensure_future(self._tell(session, changed))
            self._telling.add(task)
            task.add_done_callback(self._telling.discard)

    async def _tell(self, session: ServerSession, changed: list[str]) -> None:
        try:
            for kind in changed:
                await (session.send_tool_list_changed() if kind == "tools" else
                       session.send_resource_list_changed() if kind == "resources" else
                       session.send_prompt_list_changed())
        except Exception as exc:  # its client has gone (the stream closed under the send)
            logger.debug("a list change was not told to a client: %r", exc)
            self._listeners.discard(session)

    def _listening(self) -> None:
        if self.tells_changes:
            with contextlib.suppress(LookupError):
                self._listeners.add(self.server.request_context.session)

    # -- the tools ---------------------------------------------------------------------------------

    def _list(self, generation: Generation) -> list[types.Tool]:
        schema = generation.schema
        writes = schema.schema.mutation_type is not None
        tools = [
            types.Tool(
                name="graphql", title="Run a GraphQL query over many tools at once",
                description=_guide(schema),
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
                            "result types, and the servers' instructions. Give `servers` for the part of "
                            "those servers only.",
                inputSchema={"type": "object", "properties": {
                    "servers": {"type": "array", "items": {"type": "string"},
                                "description": "Server names (see `{ servers { name } }`); all when left out."},
                }, "additionalProperties": False},
                annotations=types.ToolAnnotations(readOnlyHint=True, openWorldHint=False)),
        ]
        if self.relay_tools:
            tools += [_relayed_tool(generation, name) for name in schema.tools]
        return tools

    # -- calls -------------------------------------------------------------------------------------

    def _server(self) -> Server[Any, Any]:
        server = _FaceServer(SERVER_NAME, "Call `graphql` with one document that asks for every tool result "
                                          "you need; `schema` shows the argument and result types.",
                             self.tells_changes)

        # The SDK's decorators carry no types, hence the ignores.
        @server.list_tools()  # type: ignore[untyped-decorator, no-untyped-call]
        async def list_tools() -> list[types.Tool]:
            self._listening()
            return self.view().tools

        # Input is checked here and by GraphQL's coercion, not by the SDK: its jsonschema check
        # would check each tool's schema itself again on every call.
        @server.call_tool(validate_input=False)  # type: ignore[untyped-decorator]
        async def call_tool(name: str, arguments: dict[str, Any]) -> types.CallToolResult:
            return types.CallToolResult.model_validate(await self.call(name, arguments))

        @server.list_resources()  # type: ignore[untyped-decorator, no-untyped-call]
        async def list_resources() -> list[types.Resource]:
            self._listening()
            return (await self.relay.listing())[0]

        @server.list_resource_templates()  # type: ignore[untyped-decorator, no-untyped-call]
        async def list_templates() -> list[types.ResourceTemplate]:
            return (await self.relay.listing())[1]

        @server.read_resource()  # type: ignore[untyped-decorator, no-untyped-call]
        async def read_resource(uri: Any) -> list[ReadResourceContents]:
            return await self.relay.read(str(uri))

        @server.list_prompts()  # type: ignore[untyped-decorator, no-untyped-call]
        async def list_prompts() -> list[types.Prompt]:
            self._listening()
            return await self.relay.prompts()

        @server.get_prompt()  # type: ignore[untyped-decorator, no-untyped-call]
        async def get_prompt(name: str, arguments: dict[str, str] | None) -> types.GetPromptResult:
            return await self.relay.prompt(name, arguments)

        @server.set_logging_level()  # type: ignore[untyped-decorator, no-untyped-call]
        async def set_level(level: types.LoggingLevel) -> None:
            self._levels[server.request_context.session] = LEVELS[level]

        return server

    async def call(self, name: str, arguments: dict[str, Any]) -> Result:
        """One tools/call, its result as JSON (a CallToolResult's members, as the SDK dumps one):
        the HTTP transport writes it as it is. What a client got wrong is an isError result that
        says what."""
        self._listening()
        began = time.perf_counter()
        view = self.view()
        if name == "graphql":
            result = await self._graphql(arguments)
        elif name == "schema":
            result = _schema(view, arguments)
        elif name in view.by_name:
            result = await self._relayed(name, arguments, view)
        else:
            result = _error(f"no tool named {name!r}: call tools/list")
        if self._wants("debug"):
            elapsed_ms = (time.perf_counter() - began) * 1000
            await self._log("debug", f"{name}: {elapsed_ms:.1f} ms{', refused' if result['isError'] else ''}")
        return result

    async def _graphql(self, arguments: dict[str, Any]) -> Result:
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
            async with self.gateway.taken() as generation:
                front = generation.front
                client = self._client()
                prepared = await front.prepare_async(query, operation_name, self.limits, client=client)
                response = await self._run(front, prepared, variables, client)
        except RequestError as exc:
            await self._log("warning", f"graphql: refused: {exc}")
            return _answer(exc.response(), is_error=True)
        except Refused as exc:
            return _answer(error_body(str(exc), status=exc.status), is_error=True)
        return _answer(response, is_error=False)

    async def _relayed(self, name: str, arguments: dict[str, Any], view: _View) -> Result:
        """One upstream tool as one GraphQL field, its arguments passed as variables, on the
        generation current when the call came (a field it no longer has is refused as unknown)."""
        generation = view.generation
        document = view.documents.get(key := (name, tuple(arguments)))
        if document is None:
            definition = _field(generation.schema, name)
            if definition is None:
                return _error(f"no tool named {name!r} any more: call tools/list")
            if unknown := [arg for arg in arguments if arg not in definition.args]:
                return _error(f"{name} takes no argument {', '.join(map(repr, unknown))} through the gateway; "
                              f"it takes {', '.join(definition.args) or 'none'}")
            document = view.document(key, _call_document(generation, name, definition, arguments))
        try:
            async with generation.kept():
                front = generation.front
                client = self._client()
                prepared = await front.prepare_async(document, None, self.limits, client=client)
                response = await self._run(front, prepared, arguments, client)
        except RequestError as exc:
            return _error("; ".join(e.get("message", "") for e in exc.errors))
        except Refused as exc:
            return _error(f"{exc} ({exc.status})")
        reply = (response.get("data") or {}).get("r")
        if reply is None:
            return _error("; ".join(e.get("message", "") for e in response.get("errors") or ()) or "no answer")
        text_only = [{"type": "text", "text": reply.get("text") or ""}]
        if reply.get("content") is None:  # a failed call: its text says why
            content = text_only
        else:
            try:
                content = [_block(block) for block in reply["content"]]
            except ValidationError:  # not a block MCP knows: its text stands for the result
                content = text_only
        result: Result = {"content": content}
        structured = reply.get("json") if view.by_name[name].outputSchema is not None else None
        if isinstance(structured, dict):
            result["structuredContent"] = structured
        result["isError"] = bool(reply.get("isError"))
        return result

    async def _run(self, front: Front, prepared: Prepared, variables: dict[str, Any] | None,
                   client: str) -> dict[str, Any]:
        """The document run in a query thread's turn, as /graphql takes one: counted against the
        calling client's address over HTTP (Refused past its share or a full queue). Over stdio
        the one client that started the gateway has it to itself."""
        if self.admission is None or not prepared.tool_fields or client == STDIO_CLIENT:
            return await front.run(prepared, variables, self.limits, client)
        # The transport reads the request itself: its end is not watched here, so a call whose
        # client left still waits for its turn (bounded by the queue, like any other).
        async with self.admission.turn(client, _never):
            return await front.run(prepared, variables, self.limits, client)

    def _client(self) -> str:
        """The calling client's address over HTTP; STDIO_CLIENT over stdio."""
        try:
            request = self.server.request_context.request
        except LookupError:
            return STDIO_CLIENT
        if request is None:
            return STDIO_CLIENT
        address = getattr(request, "client", None)  # made anew on each reading
        return address.host if address else "-"

    def _wants(self, level: types.LoggingLevel) -> bool:
        """Whether the calling client's level lets a log notification of `level` through."""
        try:
            session = self.server.request_context.session
        except LookupError:
            return False
        return LEVELS[level] >= self._levels.get(session, LEVELS[DEFAULT_LOG_LEVEL])

    async def _log(self, level: types.LoggingLevel, message: str) -> None:
        """A log notification to the calling client, when its level lets this one through."""
        if self._wants(level):
            context = self.server.request_context
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
        with self.following():
            async with stdio_server(stdin=lines) as (read, write):
                await self.server.run(read, write, self.server.create_initialization_options())


def _guide(schema: GatewaySchema) -> str:
    """The graphql tool's description: how to use it, then the fields and the enum types'
    values, compactly."""
    servers: dict[str, list[str]] = {}
    for name, tool in schema.tools.items():
        servers.setdefault(tool.server, []).append(name)
    example = next(iter(schema.tools), "server_tool")
    text = GRAPHQL_GUIDE.format(servers=f"{len(servers)} MCP servers ({', '.join(servers)})",
                                example=example, marks="M: a mutation; ! required")
    budget = FIELD_LIST_CHARS
    lines: list[str] = []
    left = 0
    for server, fields in servers.items():
        line = f"{server}: " + ", ".join(_signature(schema, f) for f in fields)
        if len(line) > budget:  # past the budget a field is named without its arguments
            line = f"{server}: " + ", ".join(fields)
        if len(line) > budget:
            left += len(fields)
            continue
        budget -= len(line)
        lines.append(line)
    if left:
        lines.append(f"... and {left} more fields: {{ search {{ field description }} }} lists them.")
    enums = [f"{kind.name}: {' | '.join(kind.values)}" for kind in schema.schema.type_map.values()
             if isinstance(kind, GraphQLEnumType) and not kind.name.startswith("__")]
    budget = ENUM_LIST_CHARS
    shown = []
    for line in enums:
        if len(line) > budget:
            break
        budget -= len(line)
        shown.append(line)
    if shown:
        lines.append("Enum values:\n" + "\n".join(shown))
    if len(shown) < len(enums):
        lines.append(f"... and {len(enums) - len(shown)} more enum types: the `schema` tool gives them.")
    return text + "\n".join(lines)


def _signature(schema: GatewaySchema, name: str) -> str:
    definition = _field(schema, name)
    assert definition is not None
    arguments = ", ".join(f"{arg}: {value.type}" for arg, value in definition.args.items())
    mark = "" if schema.tools[name].read_only else "M "
    return f"{mark}{name}({arguments})" if arguments else f"{mark}{name}"


def _field(schema: GatewaySchema, name: str) -> GraphQLField | None:
    tool = schema.tools.get(name)
    if tool is None:
        return None
    root = schema.schema.query_type if tool.read_only else schema.schema.mutation_type
    return root.fields.get(name) if root is not None else None


def _relayed_tool(generation: Generation, name: str) -> types.Tool:
    """An upstream tool as its server listed it, under its field name."""
    tool = generation.schema.tools[name]
    listed = generation.entries.get((tool.server, tool.tool), {})
    annotations = listed.get("annotations")
    return types.Tool(
        name=name, title=listed.get("title"),
        description=listed.get("description") or f"{tool.tool} of the MCP server {tool.server}",
        inputSchema=listed.get("inputSchema") or {"type": "object"},
        outputSchema=listed.get("outputSchema"),
        annotations=types.ToolAnnotations(**annotations) if isinstance(annotations, dict) else None)


def _call_document(generation: Generation, name: str, definition: GraphQLField, arguments: dict[str, Any]) -> str:
    """The one-field document of a relayed call: its arguments passed as variables."""
    names = [arg for arg in definition.args if arg in arguments]
    declared = ", ".join(f"${arg}: {definition.args[arg].type}" for arg in names)
    passed = ", ".join(f"{arg}: ${arg}" for arg in names)
    operation = "query" if generation.schema.tools[name].read_only else "mutation"
    return (f"{operation}{f'({declared})' if declared else ''} "
            f"{{ r: {name}{f'({passed})' if passed else ''} {{ {RESULT_FIELDS} }} }}")


def _block(block: Any) -> dict[str, Any]:
    """A content block as MCP gives it; ValidationError for one MCP does not know."""
    if isinstance(block, dict):  # a plain block's members are strings: none to trim within them
        plain = {k: v for k, v in block.items() if v is not None}
        if plain.keys() == PLAIN_BLOCKS.get(plain.get("type")) and all(type(v) is str for v in plain.values()):
            return plain
    block = _present(block)
    return cast(dict[str, Any], CONTENT_BLOCK.dump_python(CONTENT_BLOCK.validate_python(block), by_alias=True,
                                                          mode="json", exclude_none=True))


def _schema(view: _View, arguments: dict[str, Any]) -> Result:
    servers = arguments.get("servers")
    if servers is None:
        return _text(view.sdl())
    known = set(view.schema.servers) | {tool.server for tool in view.schema.tools.values()}
    if not isinstance(servers, list) or not all(isinstance(s, str) for s in servers):
        return _error("`servers` must be a list of server names")
    if unknown := sorted(set(servers) - known):
        return _error(f"no server named {', '.join(unknown)}; the servers are {', '.join(sorted(known))}")
    return _text(_part(view.schema, set(servers)))


def _part(schema: GatewaySchema, servers: set[str]) -> str:
    """The SDL of the built-in fields and these servers' tools: a schema of just those fields,
    so that only the types they reach are printed, and only these servers' instructions."""
    whole = schema.schema

    def kept(root: GraphQLObjectType | None) -> dict[str, GraphQLField]:
        fields = root.fields if root is not None else {}
        return {n: f for n, f in fields.items()
                if (n in schema.tools and schema.tools[n].server in servers)
                or (root is whole.query_type and n not in schema.tools)}
    reading, writing = kept(whole.query_type), kept(whole.mutation_type)
    description = query_description({n: d for n, d in schema.servers.items() if n in servers},
                                    (schema.tools[n].tool for n in reading if n in schema.own))
    query = GraphQLObjectType("Query", reading, description=description)
    mutation = GraphQLObjectType("Mutation", writing) if writing else None
    return print_schema(GraphQLSchema(query, mutation, types=[TOOL_RESULT]))


def _present(block: Any) -> Any:
    """A block as the front trimmed it, without the members its server did not send (null)."""
    if isinstance(block, dict):
        return {k: _present(v) for k, v in block.items() if v is not None}
    return block


def _media(data: Any) -> list[dict[str, Any]]:
    """Every image and audio block in a response, in document order, as MCP blocks."""
    found: list[dict[str, Any]] = []
    stack = [data]
    while stack:
        value = stack.pop()
        if isinstance(value, list):
            stack.extend(reversed(value))
        elif isinstance(value, dict):
            kind, blob, mime = value.get("type"), value.get("data"), value.get("mimeType")
            if kind in MEDIA and isinstance(blob, str) and isinstance(mime, str):
                found.append({"type": kind, "data": blob, "mimeType": mime})
            else:
                stack.extend(reversed(list(value.values())))
    return found


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
    """Streamable HTTP at /mcp (mcp_transport, with the SDK's DNS-rebinding protection) in front
    of the face's server. The app's middleware has applied the Host, token and body rules of
    every route before a request gets here.

    Stateless by default: each POST stands alone, so replicas behind a balancer share nothing,
    and a client learns of a changed tool list only when it lists again. With `sessions` it
    keeps a session per client (at most SESSIONS, each ended after SESSION_IDLE_SECONDS
    unused), whose GET stream carries `tools/list_changed`: the one way MCP gives a server
    to speak unasked over HTTP, at the price of a client tied to one gateway process.

    `lifespan()` makes the face and its transport (mcp_transport); before it /mcp answers 503."""

    def __init__(self, gateway: Gateway, access: Access | None = None, *, relay_tools: bool = False,
                 sessions: bool = False, admission: Admission | None = None) -> None:
        self.gateway = gateway
        self.access = access or Access()
        self.relay_tools = relay_tools
        self.sessions = sessions
        self.admission = admission
        self.transport: StreamableHttp | None = None  # while it serves

    @contextlib.asynccontextmanager
    async def lifespan(self) -> AsyncIterator[None]:
        face = McpFace(self.gateway, relay_tools=self.relay_tools, limits=self.access.limits,
                       tells_changes=self.sessions, admission=self.admission)
        transport = StreamableHttp(face.server, security_settings(self.access), sessions=self.sessions,
                                   limit=SESSIONS, idle_seconds=SESSION_IDLE_SECONDS, call_tool=face.call)
        with face.following():
            async with transport.run():
                self.transport = transport
                try:
                    yield
                finally:
                    self.transport = None

    async def __call__(self, scope: dict[str, Any], receive: Any, send: Any) -> None:
        methods = ("POST", "GET", "DELETE") if self.sessions else ("POST",)
        if scope["method"] not in methods:
            # Stateless: no session to resume or end, and nothing the gateway sends unasked,
            # so no GET stream (MCP allows 405 for it) and no DELETE.
            refused = refusal(405, f"method {scope['method']} is not allowed here: send MCP messages by POST",
                              {"Allow": ", ".join(methods)})
        elif self.transport is None:
            refused = refusal(503, "the MCP endpoint is not serving (yet)")
        else:
            await self.transport(scope, receive, send)
            return
        await refused(scope, receive, send)


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


def _answer(response: dict[str, Any], *, is_error: bool) -> Result:
    """A GraphQL response as structured content, its compact JSON as the text for clients that
    show a model only text, and each image or audio block it holds as a block a model sees."""
    blocks = [{"type": "text", "text": json_text.dumps_compact(response)}, *_media(response.get("data"))]
    return {"content": blocks, "structuredContent": response, "isError": is_error}


async def _never() -> dict[str, Any]:
    await asyncio.get_running_loop().create_future()  # never set: a bare future costs least to drop
    raise AssertionError("unreachable")


def _text(text: str, *, is_error: bool = False) -> Result:
    return {"content": [{"type": "text", "text": text}], "isError": is_error}


def _error(message: str) -> Result:
    return _text(message, is_error=True)
