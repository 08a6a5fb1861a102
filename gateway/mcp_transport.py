"""Streamable HTTP for the MCP face: each POST answered by the face's handlers in the request's own task.

The SDK's transport runs a server session per client (session-less: per POST,
built and torn down each time) with its task group and memory streams, and
answers every POST as an SSE stream written by tasks of its own: several times
the work of the call it carries. Here a POST's message is read and checked as
the SDK checks it (its DNS-rebinding protection, Accept, the protocol version
header), handed to the same handlers the face registered with the SDK's server
(a tools/call to the face's own call, which gives its result as JSON already),
and answered as plain JSON; unless its handler sends the client a notification
(a log line) before the result: then the answer becomes an SSE stream at that
first notification, carrying it, anything after it, and the result last. The
client chose neither: it accepts both, as MCP asks of it.

Session-less, what a session would keep (the log level a client set) dies with
its POST. With sessions, `initialize` opens one (at most `limit` at once, each
ended after `idle_seconds` unused or by the client's DELETE): its id names it in
every later request, and its GET stream carries what the gateway sends unasked
(`tools/list_changed` and the like).
"""

import asyncio
import contextlib
import logging
import secrets
import time
import typing
from collections import Counter
from collections.abc import AsyncIterator, Awaitable, Callable
from typing import Any, cast

from mcp import types
from mcp.server.lowlevel.server import Server, request_ctx
from mcp.server.session import ServerSession
from mcp.server.transport_security import TransportSecurityMiddleware, TransportSecuritySettings
from mcp.shared.context import RequestContext
from mcp.shared.exceptions import McpError
from mcp.shared.version import SUPPORTED_PROTOCOL_VERSIONS
from pydantic import ValidationError
from starlette.requests import ClientDisconnect, Request
from starlette.types import Receive, Scope, Send

from . import json_text
from .checks import loads_body, read_body, refusal

logger = logging.getLogger(__name__)

JSON = b"application/json"
SSE = b"text/event-stream"
# A stream goes out as it is written: not cached, not transformed, not held back by a proxy (nginx).
STREAM_HEADERS = [(b"content-type", SSE), (b"cache-control", b"no-cache, no-transform"), (b"x-accel-buffering", b"no")]
PROTOCOL_HEADER = "mcp-protocol-version"
SESSION_HEADER = "mcp-session-id"
# The version a client that names none speaks, as the SDK assumes it.
DEFAULT_VERSION = types.DEFAULT_NEGOTIATED_VERSION
# Each request's model by its method: validating against the one model is a tenth of trying the
# whole union of them, as the SDK does.
REQUESTS: dict[str, type[Any]] = {
    typing.get_args(kind.model_fields["method"].annotation)[0]: kind
    for kind in typing.get_args(types.ClientRequest.model_fields["root"].annotation)}
STREAM_BACKLOG = 64  # messages waiting for a session's GET stream; past it the newest are dropped
PING_SECONDS = 15.0  # a comment on an idle GET stream, so that proxies keep it open
SWEEP_SECONDS = 60.0  # how often sessions are checked for idleness
# A tools/call's params that its model would take as they are (`_meta` checked by its own model):
# anything else (`task`, a member of another type) is validated by the whole request's model,
# which says what is wrong.
PLAIN_CALL_PARAMS = frozenset(("name", "arguments", "_meta"))

# A tool call answered with its result as JSON (a CallToolResult's members).
CallTool = Callable[[str, dict[str, Any]], Awaitable[dict[str, Any]]]


class _Answer:
    """One POST's answer: plain JSON, or an SSE stream from the first message sent before the result."""

    def __init__(self, send: Send, headers: list[tuple[bytes, bytes]]) -> None:
        self.send = send
        self.headers = headers  # the session's id, when there is one
        self.streaming = False

    async def message(self, body: bytes) -> None:
        """A message before the result: the answer becomes (or goes on as) a stream."""
        if not self.streaming:
            self.streaming = True
            await self.send({"type": "http.response.start", "status": 200, "headers": [*STREAM_HEADERS, *self.headers]})
        await self.send({"type": "http.response.body", "body": _event(body), "more_body": True})

    async def last(self, body: bytes, status: int = 200) -> None:
        if self.streaming:
            await self.send({"type": "http.response.body", "body": _event(body)})
            return
        await self.send({"type": "http.response.start", "status": status, "headers": [
            (b"content-type", JSON), (b"content-length", str(len(body)).encode()), *self.headers]})
        await self.send({"type": "http.response.body", "body": body})


class _Session:
    """What handlers reach as their session: a message they send about a request goes out in
    that request's answer; one sent unasked, on the session's GET stream if it has one open.
    Session-less, each POST has one of its own, with no id."""

    client_params = None

    def __init__(self, ident: str | None, client: str = "-") -> None:
        self.id = ident
        self.client = client  # the address that opened it, whose share of the sessions it takes
        self.headers = [(SESSION_HEADER.encode(), ident.encode())] if ident is not None else []
        self.used = time.monotonic()
        self.answers: dict[types.RequestId, _Answer] = {}
        self.stream: asyncio.Queue[bytes | None] | None = None
        self.ended = False

    async def send_notification(self, notification: types.ServerNotification,
                                related_request_id: types.RequestId | None = None) -> None:
        body = _encode({"jsonrpc": "2.0", **notification.model_dump(by_alias=True, mode="json", exclude_none=True)})
        answer = self.answers.get(related_request_id) if related_request_id is not None else None
        if answer is not None:
            await answer.message(body)
        elif self.stream is not None:
            try:
                self.stream.put_nowait(body)
            except asyncio.QueueFull:
                logger.debug("a message for MCP session %s was dropped: its client is not reading", self.id)

    async def send_log_message(self, level: types.LoggingLevel, data: Any, logger: str | None = None,
                               related_request_id: types.RequestId | None = None) -> None:
        await self.send_notification(types.ServerNotification(types.LoggingMessageNotification(
            params=types.LoggingMessageNotificationParams(level=level, data=data, logger=logger))),
            related_request_id)

    async def send_tool_list_changed(self) -> None:
        await self.send_notification(types.ServerNotification(types.ToolListChangedNotification()))

    async def send_resource_list_changed(self) -> None:
        await self.send_notification(types.ServerNotification(types.ResourceListChangedNotification()))

    async def send_prompt_list_changed(self) -> None:
        await self.send_notification(types.ServerNotification(types.PromptListChangedNotification()))

    def end(self) -> None:
        self.ended = True
        if self.stream is not None:  # wakes its GET stream (a full one wakes for what it holds)
            with contextlib.suppress(asyncio.QueueFull):
                self.stream.put_nowait(None)


class StreamableHttp:
    """/mcp's POST, GET and DELETE, answered with the handlers of the face's `server`; with
    `sessions` at most `limit` of them, a quarter of those (at least one) per client address,
    each ended after `idle_seconds` unused (or, when all are taken, for a client of an address
    that holds fewer: `_make_room`). `run()` holds what sessions need (their sweep) and
    ends them as it closes. `call_tool`, when given, answers a tools/call that names only a tool,
    its arguments and its `_meta` (as good as every one) with its result as plain JSON: the SDK's
    handler would validate the request into its models, wrap the result and dump it again, half
    of what /mcp spent on a call beside running it."""

    def __init__(self, server: Server[Any, Any], settings: TransportSecuritySettings, *, sessions: bool,
                 limit: int, idle_seconds: float, call_tool: CallTool | None = None) -> None:
        self.server = server
        self.call_tool = call_tool
        self.security = TransportSecurityMiddleware(settings)
        self.sessions_on = sessions
        self.limit = limit
        self.idle_seconds = idle_seconds
        self.sessions: dict[str, _Session] = {}
        # A client that opens sessions and leaves them would otherwise hold every one of them
        # until they idle out, and no other client could open one meanwhile.
        self.per_client = max(1, limit // 4)
        self._by_client: Counter[str] = Counter()
        options = server.create_initialization_options()
        self._server_info = types.Implementation(name=options.server_name, version=options.server_version,
                                                 websiteUrl=options.website_url, icons=options.icons)
        self._options = options

    @contextlib.asynccontextmanager
    async def run(self) -> AsyncIterator[None]:
        sweep = asyncio.ensure_future(self._sweep()) if self.sessions_on else None
        try:
            yield
        finally:
            if sweep is not None:
                sweep.cancel()
            for ident in list(self.sessions):
                self._end(ident)

    def full(self) -> bool:
        return len(self.sessions) >= self.limit

    def _make_room(self, client: str) -> bool:
        """When every session is taken: ends the longest unused session of the address that holds
        the most, if it holds at least two more than `client` (below its own share), so that a few
        addresses keeping their GET streams open cannot hold every session against the others.
        Linear in the sessions, and only when they are all taken."""
        held = self._by_client[client]
        if held >= self.per_client:
            return False
        most, most_held = self._by_client.most_common(1)[0]
        if most_held < held + 2:
            return False
        oldest = min((s for s in self.sessions.values() if s.client == most), key=lambda s: s.used)
        logger.info("MCP session %s ended to make room: its client holds %d sessions", oldest.id, most_held)
        self._end(cast(str, oldest.id))
        return True

    async def _sweep(self) -> None:
        while True:
            await asyncio.sleep(SWEEP_SECONDS)
            idle = time.monotonic() - self.idle_seconds
            # A session whose GET stream is open is in use: its client is listening.
            for ident in [i for i, s in self.sessions.items() if s.used < idle and s.stream is None]:
                logger.info("MCP session %s ended: unused for %g seconds", ident, self.idle_seconds)
                self._end(ident)

    def _end(self, ident: str) -> None:
        session = self.sessions.pop(ident, None)
        if session is None:
            return
        session.end()
        self._by_client[session.client] -= 1
        if self._by_client[session.client] <= 0:
            del self._by_client[session.client]

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        request = Request(scope, receive)
        refused = await self.security.validate_request(request, is_post=request.method == "POST")
        if refused is not None:
            await refused(scope, receive, send)
            return
        if request.method == "POST":
            await self._post(request, send)
            return
        session = await self._named(request, send)
        if session is None:
            return
        if request.method == "DELETE":
            self._end(cast(str, session.id))
            session.end()
            await _Answer(send, session.headers).last(b"")
        else:
            await self._stream(session, request, send)

    async def _named(self, request: Request, send: Send, answer: _Answer | None = None) -> _Session | None:
        """The session a request names, checked as the SDK checks it; None once refused."""
        answer = answer or _Answer(send, [])
        ident = request.headers.get(SESSION_HEADER)
        session = self.sessions.get(ident) if ident is not None else None
        if ident is None:
            await _refuse(answer, 400, "Bad Request: Missing session ID")
        elif session is None:
            await _refuse(answer, 404, "Session not found")
        elif not await _version_fits(request, answer):
            return None
        else:
            session.used = time.monotonic()
            return session
        return None

    async def _post(self, request: Request, send: Send) -> None:
        answer = _Answer(send, [])
        if not (_accepts(request, "application/json") and _accepts(request, "text/event-stream")):
            await _refuse(answer, 406, "Not Acceptable: Client must accept both application/json and "
                                       "text/event-stream")
            return
        try:
            raw, checked = loads_body(await _body(request.receive))
            if not checked:  # a \u escape may name half a surrogate pair, which no answer could echo
                json_text.dumps_compact(raw).encode()
        except ValueError as exc:  # UnicodeDecodeError included
            await _refuse(answer, 400, f"Parse error: {exc}", types.PARSE_ERROR)
            return
        method, ident = (raw.get("method"), raw.get("id")) if isinstance(raw, dict) else (None, None)
        # An initialize that names no session opens one, once it validates; one naming its
        # session initializes that one again.
        opening = self.sessions_on and method == "initialize" and SESSION_HEADER not in request.headers
        if opening or not self.sessions_on:
            session = _Session(secrets.token_hex(16), _client(request)) if opening else _Session(None)
            if method != "initialize" and not await _version_fits(request, answer):
                return
        elif (named := await self._named(request, send, answer)) is None:
            return
        else:
            session = named
            answer.headers = session.headers
        if not isinstance(method, str) or ident is None:
            await _not_a_request(raw, answer)
        elif not isinstance(ident, str | int) or isinstance(ident, bool) or raw.get("jsonrpc") != "2.0":
            await _refuse(answer, 400, "Validation error: not a JSON-RPC request", types.INVALID_PARAMS)
        else:
            plain = _plain_call(raw) if method == "tools/call" and self.call_tool is not None else None
            called: Any = None
            if plain is None:
                try:
                    called = REQUESTS[method].model_validate(raw)
                except (KeyError, ValidationError):
                    logger.debug("an MCP request that does not validate: %.200r", raw)
                    await answer.last(_error(ident, types.INVALID_PARAMS, "Invalid request parameters", ""))
                    return
            if opening:
                refused = None
                if self.full() and not self._make_room(session.client):
                    refused = refusal(503, f"the gateway holds {self.limit} MCP sessions, its most: retry later",
                                      {"Retry-After": "10"})
                elif self._by_client[session.client] >= self.per_client:
                    refused = refusal(429, f"this client holds {self.per_client} MCP sessions, its most: end one "
                                           "(DELETE) or retry later", {"Retry-After": "10"})
                if refused is not None:
                    await refused(request.scope, request.receive, send)
                    return
                self.sessions[cast(str, session.id)] = session
                self._by_client[session.client] += 1
                answer.headers = session.headers
            if ident in session.answers:  # its messages would go to the other's answer, or to nobody
                await answer.last(_error(ident, types.INVALID_REQUEST, f"request id {ident!r} is in use in this "
                                                                       "session: wait for its answer"))
                return
            session.answers[ident] = answer
            try:
                await answer.last(await self._call(*plain, ident, session, request) if plain is not None
                                  else await self._answer(called, ident, session, request))
            finally:
                session.answers.pop(ident, None)

    async def _call(self, name: str, arguments: dict[str, Any], meta: types.RequestParams.Meta | None,
                    ident: str | int, session: _Session, request: Request) -> bytes:
        """A tools/call as the SDK's handler answers it: a failure is a result that says what failed."""
        assert self.call_tool is not None
        token = request_ctx.set(RequestContext(ident, meta, cast(ServerSession, session), None, request=request))
        try:
            result = await self.call_tool(name, arguments)
        except Exception as exc:
            logger.exception("an MCP tools/call of %s failed", name)
            result = {"content": [{"type": "text", "text": str(exc)}], "isError": True}
        finally:
            request_ctx.reset(token)
        return _encode({"jsonrpc": "2.0", "id": ident, "result": result})

    async def _answer(self, called: Any, ident: str | int, session: _Session, request: Request) -> bytes:
        if isinstance(called, types.InitializeRequest):
            asked = called.params.protocolVersion
            result: Any = types.InitializeResult(
                protocolVersion=asked if asked in SUPPORTED_PROTOCOL_VERSIONS else types.LATEST_PROTOCOL_VERSION,
                capabilities=self._options.capabilities, serverInfo=self._server_info,
                instructions=self._options.instructions)
            return _result(ident, result)
        handler = self.server.request_handlers.get(type(called))
        if handler is None:
            return _error(ident, types.METHOD_NOT_FOUND, "Method not found")
        meta = called.params.meta if getattr(called, "params", None) is not None else None
        token = request_ctx.set(RequestContext(ident, meta, cast(ServerSession, session), None, request=request))
        try:
            result = await handler(called)
        except McpError as exc:
            return _error(ident, exc.error.code, exc.error.message, exc.error.data)
        except Exception as exc:  # a fault of the gateway's own: the client gets what the SDK gives
            logger.exception("an MCP %s failed", called.method)
            return _error(ident, 0, str(exc))
        finally:
            request_ctx.reset(token)
        return _result(ident, result)

    async def _stream(self, session: _Session, request: Request, send: Send) -> None:
        """The session's GET stream: what the gateway sends unasked, until the client leaves or
        the session ends."""
        answer = _Answer(send, session.headers)
        if not _accepts(request, "text/event-stream"):
            await _refuse(answer, 406, "Not Acceptable: Client must accept text/event-stream")
            return
        if session.stream is not None:
            await _refuse(answer, 409, "Conflict: Only one SSE stream is allowed per session")
            return
        stream = session.stream = asyncio.Queue[bytes | None](STREAM_BACKLOG)

        async def until_gone() -> None:
            while (await request.receive())["type"] != "http.disconnect":
                pass
            with contextlib.suppress(asyncio.QueueFull):
                stream.put_nowait(None)

        gone = asyncio.ensure_future(until_gone())
        try:
            await send({"type": "http.response.start", "status": 200, "headers": [*STREAM_HEADERS, *session.headers]})
            while not session.ended:
                try:
                    body = await asyncio.wait_for(stream.get(), PING_SECONDS)
                except TimeoutError:
                    await send({"type": "http.response.body", "body": b": ping\r\n\r\n", "more_body": True})
                    continue
                if body is None or gone.done() or session.ended:
                    break
                await send({"type": "http.response.body", "body": _event(body), "more_body": True})
            await send({"type": "http.response.body", "body": b""})
        except OSError:  # the client left as it was written to
            pass
        finally:
            gone.cancel()
            session.used = time.monotonic()  # its idle time counts from the stream's end
            if session.stream is stream:
                session.stream = None


async def _body(receive: Receive) -> bytes:
    """ClientDisconnect when the client leaves first, as Request.body() raises it."""
    body = await read_body(receive)
    if body is None:
        raise ClientDisconnect()
    return body


def _plain_call(raw: dict[str, Any]) -> tuple[str, dict[str, Any], types.RequestParams.Meta | None] | None:
    """(name, arguments, _meta) of a tools/call whose params its model would take unchanged; None
    for any other, left to the model."""
    params = raw.get("params")
    if type(params) is not dict or not params.keys() <= PLAIN_CALL_PARAMS:
        return None
    name, arguments, meta = params.get("name"), params.get("arguments"), params.get("_meta")
    if type(name) is not str or (arguments is not None and type(arguments) is not dict):
        return None
    try:  # a client asking for progress sends its token with every call
        return name, arguments or {}, None if meta is None else types.RequestParams.Meta.model_validate(meta)
    except ValidationError:
        return None


def _client(request: Request) -> str:
    return request.client.host if request.client else "-"


async def _not_a_request(raw: Any, answer: _Answer) -> None:
    """A notification or a response: accepted, and nothing waits for it here (a cancel names a
    request whose answer is already under way)."""
    try:
        types.JSONRPCMessage.model_validate(raw)
    except ValidationError as exc:
        await _refuse(answer, 400, f"Validation error: {exc}", types.INVALID_PARAMS)
        return
    await answer.send({"type": "http.response.start", "status": 202,
                       "headers": [(b"content-length", b"0"), *answer.headers]})
    await answer.send({"type": "http.response.body", "body": b""})


async def _version_fits(request: Request, answer: _Answer) -> bool:
    version = request.headers.get(PROTOCOL_HEADER, DEFAULT_VERSION)
    if version in SUPPORTED_PROTOCOL_VERSIONS:
        return True
    await _refuse(answer, 400, f"Bad Request: Unsupported protocol version: {version}. "
                               f"Supported versions: {', '.join(SUPPORTED_PROTOCOL_VERSIONS)}")
    return False


def _event(body: bytes) -> bytes:
    return b"event: message\r\ndata: " + body + b"\r\n\r\n"


def _encode(message: dict[str, Any]) -> bytes:
    return json_text.dumps_compact(message).encode()


def _result(ident: str | int, result: Any) -> bytes:
    dumped = result.model_dump(by_alias=True, mode="json", exclude_none=True)
    return _encode({"jsonrpc": "2.0", "id": ident, "result": dumped})


def _error(ident: str | int, code: int, message: str, data: Any = None) -> bytes:
    error = {"code": code, "message": message} | ({"data": data} if data is not None else {})
    return _encode({"jsonrpc": "2.0", "id": ident, "error": error})


async def _refuse(answer: _Answer, status: int, message: str, code: int = types.INVALID_REQUEST) -> None:
    """A request refused before its message reached a handler, as the SDK's transport refuses it."""
    await answer.last(_error("server-error", code, message), status)


def _accepts(request: Request, media: str) -> bool:
    """Whether the request's Accept names `media` (with or without parameters), as the SDK reads it."""
    return any(kind.strip().startswith(media) for kind in request.headers.get("accept", "").split(","))
