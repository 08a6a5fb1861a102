"""How a session reaches its server: stdio, Streamable HTTP or SSE.

Streamable HTTP and SSE are the SDK's own clients. Stdio (on POSIX systems;
Windows keeps the SDK's client) is the SDK's client with a leaner reader and
writer: the process is started and ended as the SDK
does it (its environment, its own process group, stdin closed, then the group
terminated, then killed), the session's messages are read and written as the
SDK does, and the gateway's tool calls go through a `Pipe` beside them: each
request written straight to the server's input, and each reply to one taken
straight from its output as plain JSON, where the SDK would validate it into a
model, hand it through two memory streams and two task steps, and the gateway
would dump it again.
"""

import asyncio
import logging
import os
import re
import signal
import sys
from collections.abc import AsyncIterator, Callable
from contextlib import AbstractAsyncContextManager, asynccontextmanager
from typing import Any, Self, TextIO

import anyio
import httpx
import orjson
from mcp.client.sse import sse_client
from mcp.client.stdio import (PROCESS_TERMINATION_TIMEOUT, StdioServerParameters, get_default_environment,
                              stdio_client)
from mcp.client.streamable_http import streamable_http_client
from mcp.os.posix.utilities import terminate_posix_process_tree
from mcp.shared.message import SessionMessage
from mcp.types import INTERNAL_ERROR, ErrorData, JSONRPCError, JSONRPCMessage

from .auth import SignIn, oauth
from .config import ServerConfig
from .json_text import long_digits

logger = logging.getLogger(__name__)

HTTP_TIMEOUT = httpx.Timeout(30.0, read=300.0)  # the SDK's own defaults for its HTTP clients
READ_BYTES = 1 << 16  # read from a stdio server's output at a time
WRITE_HIGH = 1 << 20  # bytes waiting for a stdio server's input past which a writer waits for it to read
# A stdio server's line is held whole until it ends, up to this many bytes per byte of the largest
# result the gateway takes (--max-result; the envelope, escaping and a result given twice, as text
# and structured, fit well within). A longer one is dropped as it comes: a reply fails its request,
# and a line that names no request leaves the server taken as broken, its session ended.
LINE_PER_RESULT_BYTE = 4
ENDS_BYTES = 64  # of a dropped line, kept at each end to find its request's id
# Where serialisers put a reply's id: first after "jsonrpc" (Python's SDK), or last (TypeScript's).
# A server's own request has an id too, in the same places: its method, before or after that id,
# tells it apart, and its id names nothing the gateway sent.
_ID_FIRST = re.compile(rb'\s*\{\s*"jsonrpc"\s*:\s*"2\.0"\s*,\s*"id"\s*:\s*(-?[0-9]{1,18})\s*,\s*"(?:result|error)"')
_METHOD_FIRST = re.compile(rb'\s*\{\s*"method"\s*:')
_ID_LAST = re.compile(rb',\s*"id"\s*:\s*(-?[0-9]{1,18})\s*\}\s*$')

# Takes a reply to one of the session's tool calls: its id and result, True when it was one.
type ReplyTaker = Callable[[int, dict[str, Any]], bool]


class Pipe:
    """A stdio server's input, written at once, and the replies to the session's tool calls,
    taken from its output by `taker` (set by the session)."""

    def __init__(self, stdin: asyncio.StreamWriter) -> None:
        self._stdin = stdin
        self.taker: ReplyTaker | None = None

    def write(self, data: bytes) -> bool:
        """`data` on its way; False when the server reads slower than it is written to (drain)."""
        self._stdin.write(data)
        return not self.full()

    def full(self) -> bool:
        """Whether WRITE_HIGH bytes already wait for the server to read them."""
        return self._stdin.transport.get_write_buffer_size() > WRITE_HIGH

    async def drain(self) -> None:
        await self._stdin.drain()

    def take(self, line: bytes) -> bool:
        """Whether `line` is a reply to one of the session's tool calls, now taken. Anything
        else (an error, another id, JSON orjson reads otherwise than the SDK) is the SDK's."""
        if self.taker is None or b'"result"' not in line or long_digits(line):
            return False
        try:
            value = orjson.loads(line)
        except orjson.JSONDecodeError:
            return False
        if type(value) is not dict or value.keys() != {"jsonrpc", "id", "result"} or value["jsonrpc"] != "2.0" \
                or type(value["id"]) is not int or type(value["result"]) is not dict:
            return False
        return self.taker(value["id"], value["result"])


def connect(config: ServerConfig, remote: str, sign_in: SignIn | None, errlog: TextIO | None,
            max_result_bytes: int) -> AbstractAsyncContextManager[tuple[Any, Any, Pipe | None]]:
    """The read and write streams of one session with `config`'s server, and its pipe when it
    is a stdio server: `remote` is the transport an "auto" entry uses now ("http", or "sse"
    once Streamable HTTP was refused); `errlog` takes a stdio server's standard error;
    `max_result_bytes` bounds the line a stdio server may send."""
    if config.streams is not None:
        return _no_pipe(config.streams())
    headers = {name: value.reveal() for name, value in config.headers}
    auth = oauth(config, sign_in) if config.auth is not None else None
    transport = remote if config.transport == "auto" else config.transport
    if transport == "http":
        return _no_pipe(_streamable_http(config.url, headers, auth))
    if transport == "sse":
        return _no_pipe(sse_client(config.url, headers=headers, timeout=HTTP_TIMEOUT.connect or 30.0,
                                   sse_read_timeout=HTTP_TIMEOUT.read or 300.0, auth=auth))
    if sys.platform == "win32":  # the SDK's own client, with its job objects for the process tree
        params = StdioServerParameters(command=config.command, args=list(config.args), env=config.env,
                                       cwd=config.cwd)
        return _no_pipe(stdio_client(params, errlog=errlog or sys.stderr))
    return _stdio(config, errlog or sys.stderr, max_result_bytes)


@asynccontextmanager
async def _no_pipe(streams: AbstractAsyncContextManager[Any]) -> AsyncIterator[tuple[Any, Any, None]]:
    async with streams as (read, write, *_):
        yield read, write, None


@asynccontextmanager
async def _stdio(config: ServerConfig, errlog: TextIO,
                 max_result_bytes: int) -> AsyncIterator[tuple[Any, Any, Pipe]]:
    """A stdio server's process, its session's streams and its pipe, ended as the SDK ends it."""
    env = {**get_default_environment(), **config.env} if config.env is not None else get_default_environment()
    process = await asyncio.create_subprocess_exec(
        config.command, *config.args, stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE,
        stderr=errlog, env=env, cwd=config.cwd, start_new_session=True)  # its own group, ended as one
    assert process.stdin is not None and process.stdout is not None
    pipe = Pipe(process.stdin)
    read_writer, read = anyio.create_memory_object_stream[SessionMessage | Exception](0)
    write, write_reader = anyio.create_memory_object_stream[SessionMessage](0)
    try:
        async with anyio.create_task_group() as tasks:
            tasks.start_soon(_read_lines, process.stdout, pipe, read_writer, max_result_bytes)
            tasks.start_soon(_write_messages, write_reader, pipe)
            try:
                yield read, write, pipe
            finally:
                try:
                    process.stdin.close()
                    with anyio.fail_after(PROCESS_TERMINATION_TIMEOUT):
                        await process.wait()
                except TimeoutError:
                    try:
                        await terminate_posix_process_tree(process)  # type: ignore[arg-type]
                    except BaseException:
                        _kill_group(process.pid)
                        raise
                except BaseException:  # cancelled: no time to wait, the group is killed at once
                    _kill_group(process.pid)
                    with anyio.CancelScope(shield=True):
                        await process.wait()
                    raise
                finally:
                    tasks.cancel_scope.cancel()  # a child still holding the output open cannot hold this
    finally:
        for stream in (read, write, read_writer, write_reader):
            await stream.aclose()


def _kill_group(pid: int) -> None:
    """SIGKILL to a server's process group (its own: started in a session of its own)."""
    try:
        os.killpg(pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


async def _read_lines(stdout: asyncio.StreamReader, pipe: Pipe,
                      messages: anyio.abc.ObjectSendStream[SessionMessage | Exception],
                      max_result_bytes: int) -> None:
    """The server's output line by line: a reply to a tool call to the pipe, anything else read
    and handed to the session as the SDK's reader does (a line that is not JSON-RPC as its error).
    A line too long to hold is dropped as it comes (`_TooLong`)."""
    line_bytes = LINE_PER_RESULT_BYTE * max_result_bytes
    async with messages:
        pieces: list[bytes] = []  # of a line not ended yet: joined once, however many reads it took
        held = 0  # bytes in pieces
        dropping: _TooLong | None = None  # the line being dropped
        while chunk := await stdout.read(READ_BYTES):
            *lines, rest = chunk.split(b"\n")
            if dropping is not None and lines:
                dropping.add(lines[0])
                lines[0] = b""  # that line ends here; what is after it is read as usual
            elif lines and pieces:
                lines[0] = b"".join((*pieces, lines[0]))
                pieces.clear()
                held = 0
            for line in lines:
                if dropping is not None:
                    message: SessionMessage | Exception = dropping.message(line_bytes, max_result_bytes)
                    dropping = None
                elif len(line) > line_bytes:
                    message = _TooLong(line).message(line_bytes, max_result_bytes)
                elif not line or pipe.take(line):
                    continue
                else:
                    try:
                        message = SessionMessage(JSONRPCMessage.model_validate_json(line.decode()))
                    except Exception as exc:
                        message = _unreadable(line, exc)
                try:
                    await messages.send(message)
                except (anyio.ClosedResourceError, anyio.BrokenResourceError):  # the session ended
                    return
                if isinstance(message, LineTooLong):
                    return
            if dropping is not None:
                dropping.add(rest)
            elif rest:
                pieces.append(rest)
                held += len(rest)
                if held > line_bytes:
                    dropping = _TooLong(b"".join(pieces))
                    pieces.clear()
                    held = 0


class LineTooLong(Exception):
    """The last message of a stdio server's session: a line past the bound that answers no
    request. Its text is why the server is taken as failed (and restarted)."""


class _TooLong:
    """A line past the bound, of which only its two ends are kept: the request it answers fails
    with the bound; one that names none ends the session (LineTooLong)."""

    def __init__(self, start: bytes) -> None:
        self.head = start[:ENDS_BYTES]
        self.tail = start[-ENDS_BYTES:]

    def add(self, more: bytes) -> None:
        self.tail = (self.tail + more)[-ENDS_BYTES:]

    def message(self, line_bytes: int, max_result_bytes: int) -> SessionMessage | LineTooLong:
        request_id = _reply_id(self.head, self.tail)
        if request_id is None:
            return LineTooLong(f"it sent a line over {line_bytes} bytes (four times --max-result) that answers "
                               "no request")
        return _failed(request_id, f"the server's reply is over the gateway's bound of {max_result_bytes} "
                                   "(--max-result)")


def _reply_id(head: bytes, tail: bytes) -> int | None:
    """The id of the request a line answers, from the line's first and last bytes; None when
    it names none (a notification, the server's own request, no id where serialisers put it)."""
    found = _ID_FIRST.match(head) or (_ID_LAST.search(tail) if _METHOD_FIRST.match(head) is None else None)
    return None if found is None else int(found[1])


def _failed(request_id: int, why: str) -> SessionMessage:
    error = ErrorData(code=INTERNAL_ERROR, message=why)
    return SessionMessage(JSONRPCMessage(JSONRPCError(jsonrpc="2.0", id=request_id, error=error)))


def _unreadable(line: bytes, exc: Exception) -> SessionMessage | Exception:
    """What a line that is not a JSON-RPC message becomes: the failure of the request it answers,
    when it names one, which would otherwise wait out its whole time (bytes that are not UTF-8,
    a result that is not an object); else the error itself, as the SDK's reader hands it on."""
    request_id = _reply_id(line[:ENDS_BYTES], line[-ENDS_BYTES:])
    if request_id is None:
        return exc
    why = "its bytes are not UTF-8" if isinstance(exc, UnicodeDecodeError) else "it is not a JSON-RPC reply"
    return _failed(request_id, f"the server's reply could not be read: {why}")


async def _write_messages(messages: anyio.abc.ObjectReceiveStream[SessionMessage], pipe: Pipe) -> None:
    """The session's own messages, written as the SDK's writer writes them."""
    async with messages:
        async for message in messages:
            if not pipe.write(message.message.model_dump_json(by_alias=True, exclude_none=True).encode() + b"\n"):
                await pipe.drain()


@asynccontextmanager
async def _streamable_http(url: str, headers: dict[str, str],
                           auth: httpx.Auth | None) -> AsyncIterator[tuple[Any, Any]]:
    """The SDK's Streamable HTTP client over an HTTP client that carries the headers and the OAuth token,
    made as the SDK makes its own (redirects followed, its time-outs)."""
    async with (httpx.AsyncClient(headers=headers, timeout=HTTP_TIMEOUT, auth=auth, follow_redirects=True) as client,
                streamable_http_client(url, http_client=client) as (read, write, _session_id)):
        yield read, write


class Watched:
    """A session's read stream that says when it ends: the first sign that a server exited
    or a connection closed, even while no call is waiting on it."""

    def __init__(self, stream: Any, ended: Callable[[], None]) -> None:
        self._stream = stream
        self._ended = ended

    async def __aenter__(self) -> Self:
        await self._stream.__aenter__()
        return self

    async def __aexit__(self, *exc_info: object) -> Any:
        return await self._stream.__aexit__(*exc_info)

    def __aiter__(self) -> Self:
        return self

    async def __anext__(self) -> Any:
        try:
            return await self._stream.__anext__()
        except StopAsyncIteration:
            self._ended()
            raise

    async def receive(self) -> Any:
        return await self.__anext__()

    async def aclose(self) -> None:
        await self._stream.aclose()


def refused(exc: BaseException) -> bool:
    """Whether a session failed on a 4xx answer (inside the SDK's exception groups)."""
    while isinstance(exc, BaseExceptionGroup) and exc.exceptions:
        exc = exc.exceptions[0]
    return isinstance(exc, httpx.HTTPStatusError) and 400 <= exc.response.status_code < 500
