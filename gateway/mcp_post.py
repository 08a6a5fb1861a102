"""Session-less /mcp: each POST answered by the face's handlers, in the request's own task.

Session-less, the SDK's Streamable HTTP transport builds for every POST a
transport, a server session with its task group and memory streams, and answers
as an SSE stream written by tasks of its own: several times the work of the call
it carries. A POST that stands alone needs none of it. Here its message is read
and checked as the SDK checks it, handed to the same handlers the face registered
with the SDK's server, and answered as plain JSON; unless its handler sends the
client a notification (a log line) before the result: then the answer becomes an
SSE stream at that first notification, carrying it, anything after it, and the
result last. The client chose neither: it accepts both, as MCP asks of it.

What a session keeps (the log level a client set, a list of tools it was told
changed) dies with the POST here as it did with the SDK's per-POST session.
"""

import logging
import typing
from typing import Any, cast

from mcp import types
from mcp.server.lowlevel.server import Server, request_ctx
from mcp.server.session import ServerSession
from mcp.server.transport_security import TransportSecurityMiddleware, TransportSecuritySettings
from mcp.shared.context import RequestContext
from mcp.shared.exceptions import McpError
from mcp.shared.version import SUPPORTED_PROTOCOL_VERSIONS
from pydantic import ValidationError
from starlette.requests import Request
from starlette.types import Receive, Scope, Send

from . import json_text

logger = logging.getLogger(__name__)

JSON = b"application/json"
SSE = b"text/event-stream"
PROTOCOL_HEADER = "mcp-protocol-version"
# The version a client that names none speaks, as the SDK assumes it.
DEFAULT_VERSION = types.DEFAULT_NEGOTIATED_VERSION
# Each request's model by its method: validating against the one model is a tenth of trying the
# whole union of them, as the SDK does.
REQUESTS: dict[str, type[Any]] = {
    typing.get_args(kind.model_fields["method"].annotation)[0]: kind
    for kind in typing.get_args(types.ClientRequest.model_fields["root"].annotation)}


class _Answer:
    """One POST's answer: plain JSON, or an SSE stream from the first message sent before the result."""

    def __init__(self, send: Send) -> None:
        self.send = send
        self.streaming = False

    async def message(self, body: bytes) -> None:
        """A message before the result: the answer becomes (or goes on as) a stream."""
        if not self.streaming:
            self.streaming = True
            await self.send({"type": "http.response.start", "status": 200, "headers": [
                (b"content-type", SSE), (b"cache-control", b"no-cache, no-transform")]})
        await self.send({"type": "http.response.body", "body": _event(body), "more_body": True})

    async def last(self, body: bytes, status: int = 200) -> None:
        if self.streaming:
            await self.send({"type": "http.response.body", "body": _event(body)})
            return
        await self.send({"type": "http.response.start", "status": status, "headers": [
            (b"content-type", JSON), (b"content-length", str(len(body)).encode())]})
        await self.send({"type": "http.response.body", "body": body})


class _PostSession:
    """What a handler reaches of its session during one POST: the notifications it sends its
    client, which go out in this POST's answer."""

    client_params = None

    def __init__(self, answer: _Answer) -> None:
        self.answer = answer

    async def send_notification(self, notification: types.ServerNotification,
                                related_request_id: types.RequestId | None = None) -> None:
        body = notification.model_dump(by_alias=True, mode="json", exclude_none=True)
        await self.answer.message(_encode({"jsonrpc": "2.0", **body}))

    async def send_log_message(self, level: types.LoggingLevel, data: Any, logger: str | None = None,
                               related_request_id: types.RequestId | None = None) -> None:
        await self.send_notification(types.ServerNotification(types.LoggingMessageNotification(
            params=types.LoggingMessageNotificationParams(level=level, data=data, logger=logger))))


class McpPosts:
    """Answers session-less POSTs to /mcp with the handlers of the face's `server`. The
    transport's checks stay the SDK's: its DNS-rebinding protection, Accept, the protocol
    version header."""

    def __init__(self, server: Server[Any, Any], settings: TransportSecuritySettings) -> None:
        self.server = server
        self.security = TransportSecurityMiddleware(settings)
        options = server.create_initialization_options()
        self._server_info = types.Implementation(name=options.server_name, version=options.server_version,
                                                 websiteUrl=options.website_url, icons=options.icons)
        self._options = options

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        request = Request(scope, receive)
        refused = await self.security.validate_request(request, is_post=True)
        if refused is not None:
            await refused(scope, receive, send)
            return
        answer = _Answer(send)
        accept = request.headers.get("accept", "")
        kinds = [kind.strip() for kind in accept.split(",")]
        if not (any(k.startswith("application/json") for k in kinds)
                and any(k.startswith("text/event-stream") for k in kinds)):
            await _refuse(answer, 406, "Not Acceptable: Client must accept both application/json and "
                                       "text/event-stream")
            return
        try:
            raw = json_text.loads((await request.body()).decode("utf-8"))
        except ValueError as exc:  # UnicodeDecodeError included
            await _refuse(answer, 400, f"Parse error: {exc}", types.PARSE_ERROR)
            return
        method, ident = (raw.get("method"), raw.get("id")) if isinstance(raw, dict) else (None, None)
        if not isinstance(method, str) or ident is None:
            await self._not_a_request(raw, answer)
            return
        if not isinstance(ident, str | int) or isinstance(ident, bool) or raw.get("jsonrpc") != "2.0":
            await _refuse(answer, 400, "Validation error: not a JSON-RPC request", types.INVALID_PARAMS)
            return
        if method != "initialize":
            version = request.headers.get(PROTOCOL_HEADER, DEFAULT_VERSION)
            if version not in SUPPORTED_PROTOCOL_VERSIONS:
                await _refuse(answer, 400, f"Bad Request: Unsupported protocol version: {version}. "
                                           f"Supported versions: {', '.join(SUPPORTED_PROTOCOL_VERSIONS)}")
                return
        try:
            called = REQUESTS[method].model_validate(raw)
        except (KeyError, ValidationError):
            logger.debug("an MCP request that does not validate: %.200r", raw)
            await answer.last(_error(ident, types.INVALID_PARAMS, "Invalid request parameters", ""))
            return
        await answer.last(await self._answer(called, ident, request, answer))

    async def _not_a_request(self, raw: Any, answer: _Answer) -> None:
        """A notification or a response: accepted, and nothing in a POST that stands alone
        waits for it (a cancel names a request of another POST)."""
        try:
            types.JSONRPCMessage.model_validate(raw)
        except ValidationError as exc:
            await _refuse(answer, 400, f"Validation error: {exc}", types.INVALID_PARAMS)
            return
        await answer.send({"type": "http.response.start", "status": 202, "headers": [(b"content-length", b"0")]})
        await answer.send({"type": "http.response.body", "body": b""})

    async def _answer(self, called: Any, ident: str | int, request: Request, answer: _Answer) -> bytes:
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
        session = cast(ServerSession, _PostSession(answer))
        token = request_ctx.set(RequestContext(ident, meta, session, None, request=request))
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
    """A POST refused before its message reached a handler, as the SDK's transport refuses it."""
    await answer.last(_error("server-error", code, message), status)
