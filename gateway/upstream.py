"""One MCP server: its connection and session, its catalogue, and whether it is still up.

It answers what the server asks of its client: its roots from the
configuration; sampling and elicitation are not declared (the gateway has no
model and no person to ask), so the SDK refuses them at once and the tool
fails with the server's message. The server's log messages and progress go to
this module's logger.
"""

import asyncio
import json
import logging
import re
import time
from collections import OrderedDict
from collections.abc import Awaitable, Callable
from typing import Any

import anyio
import orjson
from mcp import ClientSession
from mcp.shared.exceptions import McpError
from mcp.shared.message import SessionMessage
from mcp.shared.session import RequestResponder
from mcp.types import (
    CONNECTION_CLOSED,
    CancelledNotification,
    CancelledNotificationParams,
    ClientNotification,
    ClientRequest,
    ClientResult,
    ErrorData,
    JSONRPCMessage,
    JSONRPCRequest,
    ListRootsResult,
    LoggingLevel,
    LoggingMessageNotificationParams,
    PaginatedRequestParams,
    RequestId,
    Root,
    ServerNotification,
    ServerRequest,
)
from pydantic import BaseModel, ValidationError

from . import own_fields
from .access_log import printable
from .auth import SignIn, SignInNeeded
from .config import DEFAULT_RESULT_LIMIT, REMOTE, ServerConfig
from .observe import call_meta
from .output_checks import OutputCheck, check_output, output_checks
from .replies import CallFailed, call_result, dump
from .stderr_tail import StderrTail
from .supervision import Backoff, Supervision
from .transports import LineTooLong, Pipe, Watched, connect, refused

logger = logging.getLogger(__name__)

PAGE_LIMIT = 1000  # pages of one listing: a server whose cursor never ends cannot hold a call forever
SHOWN_OUTPUT = 120  # characters of an unreadable output line worth quoting
LOGGED_CHARS = 4096  # of a server's log message, written to the gateway's log
LIST_SECONDS = 30.0  # time a running server has to list its tools again
PROGRESS_STRETCH = 10  # a call that keeps reporting progress may last this many times its time-out
CANCEL_SECONDS = 1.0  # to hand a server the cancellation of a request given up
ABANDONED_KEPT = 256  # requests given up, remembered to name a late reply
LATE_REPLY = "Received response with an unknown request ID"  # how the SDK hands on a reply no one awaits
SESSION_GONE = (32600, "Session terminated")  # how the SDK's HTTP client answers a 404 to a session's request
LATE_ID = re.compile(r"\bid=(\d+)")
LISTINGS = ("notifications/tools/list_changed", "notifications/resources/list_changed",
            "notifications/prompts/list_changed")
CHANGEABLE = ("resources", "prompts")  # lists that change without a change to the catalogue

# MCP's eight syslog levels onto Python's five, and back for logging/setLevel.
MCP_LEVELS = {"debug": logging.DEBUG, "info": logging.INFO, "notice": logging.INFO,
              "warning": logging.WARNING, "error": logging.ERROR, "critical": logging.CRITICAL,
              "alert": logging.CRITICAL, "emergency": logging.CRITICAL}
PYTHON_LEVELS: tuple[tuple[int, LoggingLevel], ...] = (
    (logging.DEBUG, "debug"), (logging.INFO, "info"), (logging.WARNING, "warning"), (logging.ERROR, "error"))


class _UnreadableLines(logging.Filter):
    """The SDK's stdio client logs every standard output line that is not
    JSON-RPC with its traceback (10 to 35 lines), then hands the error to the
    session, whose message handler (Upstream._message) reports it in one line
    naming the server. This drops the SDK's own record of it."""

    def filter(self, record: logging.LogRecord) -> bool:
        return not str(record.msg).startswith("Failed to parse JSONRPC message")


logging.getLogger("mcp.client.stdio").addFilter(_UnreadableLines())


class _TimedOut(Exception):
    """A tool call's time ran out (its reply future's failure, never seen outside this module)."""


class _Gone(Exception):
    """The server went down while a tool call waited."""


class _Stalled(Exception):
    """A stdio server has not read what was written to it before: a call would only add to it."""


class _Session(ClientSession):
    """The SDK's client session with a lean tools/call beside its `send_request`.

    `send_request` makes per request a memory stream for the reply, a cancel
    scope, the request's model and its dump, and validates the reply into a
    `CallToolResult` that the gateway then dumps again. Here a tools/call is
    one JSON-RPC message written to the same stream, and its reply reaches one
    asyncio future through the response routers the SDK asks before its own
    streams: the result stays the plain JSON the server sent. Ids come from the
    session's one counter and progress from its one table, so the SDK's own
    requests (listings, pings, own fields) and these never collide, and a reply
    to a call given up is reported by the SDK as a late one like any other.
    """

    def __init__(self, read: Any, write: Any, pipe: Pipe | None, **kwargs: Any) -> None:
        super().__init__(read, write, **kwargs)
        self._tool_calls: dict[int, asyncio.Future[dict[str, Any]]] = {}
        self._pipe = pipe
        if pipe is not None:
            pipe.taker = self.route_response
        self.add_response_router(self)

    def start_tool_call(self, tool: str, arguments: dict[str, Any], meta: dict[str, str] | None,
                        on_progress: Any) -> tuple[int, asyncio.Future[dict[str, Any]], Any]:
        """A new request's id, the future of its result, and the message to send."""
        request_id = self._request_id
        self._request_id = request_id + 1
        reply: asyncio.Future[dict[str, Any]] = asyncio.get_running_loop().create_future()
        self._tool_calls[request_id] = reply
        self._progress_callbacks[request_id] = on_progress  # progress names the request by its id
        params = {"name": tool, "arguments": arguments, "_meta": {**(meta or {}), "progressToken": request_id}}
        if self._pipe is not None:
            return request_id, reply, _line({"jsonrpc": "2.0", "id": request_id, "method": "tools/call",
                                             "params": params})
        request = JSONRPCRequest(jsonrpc="2.0", id=request_id, method="tools/call", params=params)
        return request_id, reply, SessionMessage(JSONRPCMessage(request))

    async def send_message(self, message: Any, reply: asyncio.Future[Any]) -> None:
        """`message` written to the pipe or handed to the transport's writer; given up once
        `reply` ends first (the time ran out, or the server went down, while a server that does
        not read held it)."""
        if self._pipe is not None:
            # Each call's request stays in the pipe's buffer until the server reads it, whether
            # or not its caller still waits: a server that stopped reading must not grow it.
            if self._pipe.full():
                raise _Stalled()
            if self._pipe.write(message):
                return
            sending = asyncio.ensure_future(self._pipe.drain())
        else:
            try:
                self._write_stream.send_nowait(message)  # the writer waits for it: no checkpoint, no task
                return
            except anyio.WouldBlock:
                pass
            sending = asyncio.ensure_future(self._write_stream.send(message))
        try:
            await asyncio.wait({sending, reply}, return_when=asyncio.FIRST_COMPLETED)
        finally:
            if not sending.done():
                sending.cancel()
        if sending.done() and not sending.cancelled():
            sending.result()  # a closed stream raises here

    def end_tool_call(self, request_id: int) -> None:
        self._tool_calls.pop(request_id, None)
        self._progress_callbacks.pop(request_id, None)

    def fail_tool_calls(self) -> None:
        """Every tool call still waiting fails: the server went down."""
        for reply in self._tool_calls.values():
            if not reply.done():
                reply.set_exception(_Gone())

    def route_response(self, request_id: RequestId, response: dict[str, Any]) -> bool:
        reply = self._tool_calls.pop(request_id, None)  # type: ignore[arg-type]
        if reply is None:
            return False
        if not reply.done():
            reply.set_result(response)
        return True

    def route_error(self, request_id: RequestId, error: ErrorData) -> bool:
        reply = self._tool_calls.pop(request_id, None)  # type: ignore[arg-type]
        if reply is None:
            return False
        if not reply.done():
            reply.set_exception(McpError(error))
        return True


def _line(message: dict[str, Any]) -> bytes:
    """One JSON-RPC message as a line of UTF-8; what orjson cannot write (an integer past 64 bits,
    a lone surrogate) written by json, every other character escaped."""
    try:
        return orjson.dumps(message, option=orjson.OPT_APPEND_NEWLINE)
    except orjson.JSONEncodeError:
        return json.dumps(message, separators=(",", ":")).encode() + b"\n"


class Upstream:
    """Owns one server's session on the event loop that started it.

    The SDK's context managers must be entered and left by one task, so run()
    holds them for the server's whole life; calls from other tasks only use
    the session, and race it against the server going down.
    """

    def __init__(self, config: ServerConfig, supervision: Supervision | None = None,
                 on_listed: Callable[[Upstream], None] | None = None, start_timeout: float = 30.0,
                 sign_in: SignIn | None = None, max_result_bytes: int = DEFAULT_RESULT_LIMIT) -> None:
        self.name = config.name
        self.max_result_bytes = max_result_bytes  # bounds what one message from the server may hold
        self.sign_in = sign_in  # who completes an OAuth sign-in (`login`); None: the tokens stored or nothing
        self.start_timeout = start_timeout  # for every attempt: one that hangs must not end the retries
        self.config = config
        self.supervision = supervision or Supervision()
        self.failure: str | None = None
        self.next_attempt: float | None = None  # time.monotonic() of the next start while waiting for it
        self.description: str | None = None
        self.tools: list[dict[str, Any]] = []
        self.own_fields: list[dict[str, Any]] = []  # its resources and prompts (own_fields.py)
        self.listed = False  # whether it has listed its tools at least once (it may be down since)
        self.restarts = 0  # times the server was brought back after going down
        self._on_listed = on_listed  # told of every listing after the first (restart, list_changed)
        # Which of its lists ("resources", "prompts") may differ since the gateway last took them:
        # a server's resources can change without a change to the fields that serve them.
        self.lists_changed: set[str] = set()
        self._output_checks: dict[str, OutputCheck] = {}
        self._abandoned: OrderedDict[int, str] = OrderedDict()  # request id -> SERVER.TOOL, given up
        self._remote = "http"  # for a url without "type": "sse" once Streamable HTTP was refused
        self._came_up = asyncio.Event()  # set (and replaced) each time a session is ready
        self._session: _Session | None = None
        self._capabilities: Any = None  # the current session's, for listing again
        self._down = asyncio.Event()
        # Done with `_down`: what every call races against, where a task per call would wait on the event.
        self._gone: asyncio.Future[None] | None = None  # made by start(), on its loop
        self._stop = asyncio.Event()
        self._backoff = Backoff(self.supervision)
        self._started: asyncio.Future[None] | None = None  # the first listing, from start()
        self._stderr = StderrTail()
        self._stderr_writer: Any = None  # the pipe's writing end, handed to a stdio server
        self._attempt: asyncio.Task[None] | None = None
        self._side_tasks: set[asyncio.Task[None]] = set()  # re-listings and pings of this session
        # list_changed while a re-listing runs: one more once it ends, however many came meanwhile.
        self._relisting = False
        self._relist_again = False
        self._task: asyncio.Task[None] | None = None

    def start(self) -> None:
        """Its supervisor started on the running loop: the first session, then restarts."""
        self._started = asyncio.get_running_loop().create_future()
        self._gone = asyncio.get_running_loop().create_future()
        self._stderr_writer = self._stderr.start()
        self._task = asyncio.create_task(self._run(), name=f"mcp-{self.name}")

    @property
    def up(self) -> bool:
        return self.failure is None and self._session is not None

    def group(self) -> dict[str, Any]:
        """This server's group of the engine's catalogue."""
        group: dict[str, Any] = {"server": self.name, "tools": self.tools + self.own_fields}
        if self.description:
            group["serverDescription"] = self.description
        return group

    async def started(self, timeout: float) -> bool:
        """Wait until the tools are listed; False (and reported) when the server did not come up."""
        assert self._started is not None, "start() first"
        try:
            await asyncio.wait_for(asyncio.shield(self._started), timeout)
        except TimeoutError:
            self.fail(f"did not start within {timeout:g} s")
            if self._attempt is not None:
                self._attempt.cancel()  # ends the process now; the supervisor tries again later
        except Exception:
            pass  # run() has reported it
        return self.up

    async def close(self, timeout: float) -> None:
        self._stop.set()
        if self._task is not None:
            # The SDK ends the process: stdin closed, then SIGTERM, then SIGKILL.
            done, _ = await asyncio.wait({self._task}, timeout=timeout)
            if not done:
                self._task.cancel()
                await asyncio.wait({self._task})
        self._stderr.close()

    async def call(self, tool: str, arguments: dict[str, Any], timeout: float, *,
                   resent: bool = False) -> dict[str, Any]:
        """One tools/call: its result as MCP gives it (see `replies.call_result`), its structured
        content checked against the tool's output schema when the result is not an error.
        Raced against the server going down and the time limit like `request`."""
        session = self._session
        if self.failure is not None or session is None:
            raise CallFailed(f"server {self.name!r} is down: {self.failure or 'not started'}")
        where = f"{self.name}.{tool}"
        loop = asyncio.get_running_loop()
        began = loop.time()
        deadline = began + timeout

        def expire() -> None:
            if not reply.done():
                reply.set_exception(_TimedOut())

        timer = loop.call_at(deadline, expire)

        async def on_progress(done: float, total: float | None, message: str | None) -> None:
            nonlocal deadline, timer
            deadline = min(loop.time() + timeout, began + timeout * PROGRESS_STRETCH)
            timer.cancel()
            timer = loop.call_at(deadline, expire)
            logger.info("server %r: %s: progress %g%s%s", self.name, printable(tool), done,
                        f"/{total:g}" if total is not None else "", f": {printable(message)}" if message else "")

        request_id, reply, message = session.start_tool_call(tool, arguments, call_meta(), on_progress)
        try:
            await session.send_message(message, reply)
            raw = await reply
        except asyncio.CancelledError:
            if reply.cancelled() or not reply.done():  # awaiting it, the cancelled caller cancelled it
                await self._give_up(session, request_id, where, "the request was abandoned")
            raise
        except _TimedOut:
            await self._give_up(session, request_id, where, f"no answer within {timeout:g} s")
            stretched = " (progress extended it)" if deadline > began + timeout else ""
            raise CallFailed(f"{where} gave no answer within {deadline - began:g} s{stretched}") from None
        except _Stalled:
            raise CallFailed(f"{where}: server {self.name!r} is not reading its input") from None
        except _Gone:
            raise CallFailed(f"server {self.name!r} stopped during the call: "
                             f"{self.failure or 'the gateway is stopping'}") from None
        except McpError as exc:
            if exc.error.code == CONNECTION_CLOSED:
                self.fail("the connection closed (the server exited)")
            if (exc.error.code, exc.error.message) == SESSION_GONE and self.config.transport in REMOTE \
                    and not resent:
                left = await self._came_up_again(where, deadline - loop.time())
                return await self.call(tool, arguments, left, resent=True)
            raise CallFailed(f"{where}: {exc}") from None
        except Exception as exc:
            raise CallFailed(f"{where}: {describe(exc)}") from None
        finally:
            timer.cancel()
            session.end_tool_call(request_id)
        try:
            result = call_result(raw)
        except ValidationError as exc:
            raise CallFailed(f"{where}: {describe(exc)}") from None
        if not result["isError"]:
            check_output(self._output_checks.get(tool), where, result.get("structuredContent"))
        return result

    async def answer_own_field(self, kind: str, arguments: dict[str, Any], timeout: float) -> dict[str, Any]:
        """The reply of one of this server's own fields."""
        return await own_fields.answer(self, kind, arguments, timeout)

    async def pages(self, kind: type[Any], result: type[Any], member: str, where: str,
                    timeout: float) -> list[dict[str, Any]]:
        """Every page of one listing, each page a request of its own under `timeout`."""
        async def page(cursor: str | None) -> Any:
            params = PaginatedRequestParams(cursor=cursor) if cursor else None
            return await self.request(kind(params=params), result, where, timeout)

        return await _paged(page, member, f"{where}: the listing")

    async def request[R: BaseModel](self, request: Any, result_type: type[R], where: str, timeout: float,
                                     progress: Any = None, *, resent: bool = False) -> R:
        """One request on the session, raced against the server going down and the time limit.
        Progress restarts the clock, up to PROGRESS_STRETCH times `timeout` in all; a request
        given up (the time is out, or its caller went away) is cancelled on the server."""
        session = self._session
        if self.failure is not None or session is None:
            raise CallFailed(f"server {self.name!r} is down: {self.failure or 'not started'}")
        loop = asyncio.get_running_loop()
        began = loop.time()
        deadline = began + timeout

        async def on_progress(done: float, total: float | None, message: str | None) -> None:
            nonlocal deadline
            deadline = min(loop.time() + timeout, began + timeout * PROGRESS_STRETCH)
            if progress is not None:
                await progress(done, total, message)

        listener: Any = on_progress  # the SDK's ProgressFnT protocol spells the same signature
        sent: list[int] = []

        async def send() -> R:
            # send_request takes its id from this counter before its first await: the id the
            # server knows the request by, which a cancellation must name.
            sent.append(session._request_id)
            return await session.send_request(ClientRequest(request), result_type, progress_callback=listener)

        call: asyncio.Future[R] = asyncio.ensure_future(send())
        assert self._gone is not None  # a session exists: start() ran
        down: asyncio.Future[Any] = self._gone  # shared by every call of this session: never cancelled here
        try:
            while (left := deadline - loop.time()) > 0:
                done, _ = await asyncio.wait({call, down}, timeout=left, return_when=asyncio.FIRST_COMPLETED)
                if done:
                    break
        except asyncio.CancelledError:
            if sent and not call.done():
                await self._give_up(session, sent[0], where, "the request was abandoned")
            raise
        finally:
            call.cancel()
        if call.done() and not call.cancelled():
            try:
                return call.result()
            except McpError as exc:
                if exc.error.code == CONNECTION_CLOSED:
                    self.fail("the connection closed (the server exited)")
                if (exc.error.code, exc.error.message) == SESSION_GONE and self.config.transport in REMOTE \
                        and not resent:
                    return await self._resend(request, result_type, where, deadline - loop.time(), progress)
                raise CallFailed(f"{where}: {exc}") from None
            except Exception as exc:
                raise CallFailed(f"{where}: {describe(exc)}") from None
        if down.done():
            raise CallFailed(f"server {self.name!r} stopped during the call: {self.failure}")
        if sent:
            await self._give_up(session, sent[0], where, f"no answer within {timeout:g} s")
        stretched = " (progress extended it)" if deadline > began + timeout else ""
        raise CallFailed(f"{where} gave no answer within {deadline - began:g} s{stretched}")

    async def _resend[R: BaseModel](self, request: Any, result_type: type[R], where: str, left: float,
                                    progress: Any) -> R:
        """A remote server answered 404 to the session's id: it restarted and never saw the request,
        so once a new session is up the request is sent again, once, in the time left."""
        left = await self._came_up_again(where, left)
        return await self.request(request, result_type, where, left, progress, resent=True)

    async def _came_up_again(self, where: str, left: float) -> float:
        """After a 404 to the session's id: a new session started and waited for within `left`
        seconds; the time then left."""
        loop = asyncio.get_running_loop()
        end = loop.time() + left
        came_up = self._came_up
        self.fail("it no longer knows the session (404): a new one is started")
        try:
            await asyncio.wait_for(came_up.wait(), max(left, 0.0))
        except TimeoutError:
            raise CallFailed(f"{where}: the server ended its session and no new one was up in time") from None
        return max(end - loop.time(), 0.0)

    async def _give_up(self, session: ClientSession, request_id: int, where: str, reason: str) -> None:
        """notifications/cancelled for a request no one waits for, as MCP asks: the server may stop
        its work. A reply that comes anyway is only counted (see _message)."""
        self._abandoned[request_id] = where
        while len(self._abandoned) > ABANDONED_KEPT:
            self._abandoned.popitem(last=False)
        notice = ClientNotification(CancelledNotification(
            params=CancelledNotificationParams(requestId=request_id, reason=reason)))
        sending = asyncio.ensure_future(session.send_notification(notice))
        done, _ = await asyncio.wait({sending}, timeout=CANCEL_SECONDS)
        if not done:
            sending.cancel()
        elif (problem := sending.exception()) is not None:
            logger.info("server %r: %s could not be cancelled: %s", self.name, where, describe(problem))

    def fail(self, reason: str) -> None:
        """Mark the server down once and say why."""
        if self.failure is not None or self._stop.is_set():
            return
        self.failure = reason
        self._down.set()
        if self._gone is not None and not self._gone.done():
            self._gone.set_result(None)
        if self._session is not None:
            self._session.fail_tool_calls()
        # Each line from the server escaped: its text cannot end a log line and start a forged one.
        message = f"server {self.name!r} failed: {printable(reason)}"
        tail = self._stderr.lines()
        if tail:
            message += "\n  its last words: " + "\n  ".join(map(printable, tail))
        logger.error("%s", message)

    async def _roots(self, context: Any) -> ListRootsResult:
        """roots/list: the configured folders, none unless the entry names some."""
        return ListRootsResult(roots=[Root(uri=uri) for uri in self.config.roots])  # type: ignore[arg-type]

    async def _log(self, params: LoggingMessageNotificationParams) -> None:
        """notifications/message: the server's log line, at the matching Python level."""
        data = params.data if isinstance(params.data, str) else json.dumps(params.data, default=str)
        if len(data) > LOGGED_CHARS:  # a server's line may be as long as its largest reply
            data = f"{data[:LOGGED_CHARS]}… ({len(data) - LOGGED_CHARS} characters more)"
        data = printable(data)  # one message, one line of the log
        source = f" ({printable(params.logger)})" if params.logger else ""
        logger.log(MCP_LEVELS.get(params.level, logging.INFO), "server %r%s: %s", self.name, source, data)

    async def _message(self, message: RequestResponder[ServerRequest, ClientResult] | ServerNotification
                       | Exception) -> None:
        """What the session hands on: unreadable output (one line each) and listing changes."""
        if isinstance(message, RuntimeError) and str(message).startswith(LATE_REPLY):
            # A reply to a request given up: its content may be large or secret, so only its size.
            text = str(message)
            found = LATE_ID.search(text, 0, SHOWN_OUTPUT * 4)
            where = self._abandoned.pop(int(found.group(1)), None) if found else None
            logger.warning("server %r: %s answered after it was given up (about %d bytes, dropped)", self.name,
                           printable(where) if where else "a request", len(text))
        elif isinstance(message, LineTooLong):  # the session ends after it: this is why
            self.fail(str(message))
        elif isinstance(message, Exception):
            logger.warning("server %r: %s", self.name, unreadable(message))
        elif isinstance(message, ServerNotification) and message.root.method in LISTINGS:
            self.lists_changed.update(kind for kind in CHANGEABLE if f"/{kind}/" in message.root.method)
            if self._relisting:
                self._relist_again = True  # a flood of notifications costs one more listing, not one each
                return
            logger.info("server %r: %s", self.name, message.root.method)
            # Not awaited here: the listing's answer comes through the loop that called this.
            self._relisting = True
            self._side_task(self._relistings(), "relist")

    async def _run(self) -> None:
        """The server's life: one session after another, with the backoff's wait between them."""
        if self.config.problem is not None:
            self.fail(self.config.problem)
            self._settle_start()
            return
        try:
            while True:
                self._attempt = asyncio.create_task(self._session_once(), name=f"mcp-{self.name}-session")
                try:
                    await asyncio.wait({self._attempt})  # a start timeout cancels the attempt, not this
                finally:
                    if not self._attempt.done():
                        self._attempt.cancel()
                        await asyncio.wait({self._attempt})
                self._settle_start()
                if self._stop.is_set() or not self.supervision.restart:
                    return
                wait = self._backoff.next_wait()
                logger.warning("server %r: starting it again in %.1f s (attempt %d)", self.name, wait,
                               self._backoff.failures)
                self.next_attempt = time.monotonic() + wait
                try:
                    await asyncio.wait_for(self._stop.wait(), wait)
                    return
                except TimeoutError:
                    pass
                finally:
                    self.next_attempt = None
                self.failure = None
                self._down = asyncio.Event()
                self._gone = asyncio.get_running_loop().create_future()
                self._stderr.close()  # an attempt cut short may not have closed it
                self._stderr = StderrTail()
                self._stderr_writer = self._stderr.start()
                self.restarts += 1
        finally:
            self._settle_start()

    def _settle_start(self) -> None:
        if self._started is not None and not self._started.done():
            self._started.set_exception(CallFailed(self.failure or "stopped"))
            self._started.exception()  # retrieved: started() reports it, not the loop

    async def _session_once(self) -> None:
        """One session: connect, list, then hold it until it ends or the server is stopped."""
        try:
            # The session only iterates its read stream and enters it, which Watched passes on.
            transport = connect(self.config, self._remote, self.sign_in, self._stderr_writer,
                                self.max_result_bytes)
            async with (transport as (read, write, pipe),
                        _Session(Watched(read, self._stream_ended), write, pipe,
                                      list_roots_callback=self._roots, logging_callback=self._log,
                                      message_handler=self._message) as session):
                try:
                    async with asyncio.timeout(self.start_timeout):
                        answer = await session.initialize()
                        info = answer.serverInfo
                        self.description = getattr(info, "description", None) or answer.instructions
                        self._capabilities = answer.capabilities
                        if answer.capabilities.logging is not None:
                            await session.set_logging_level(mcp_level(logger.getEffectiveLevel()))
                        await self._list(session)
                except TimeoutError:
                    raise CallFailed(f"did not start within {self.start_timeout:g} s") from None
                self._stderr.close()
                self._session = session
                self._came_up.set()
                self._came_up = asyncio.Event()
                self._backoff.came_up()
                self.listed = True
                assert self._started is not None
                if self._started.done():  # back after a failure, or first up after a failed start
                    logger.warning("server %r is up again", self.name)
                    self.lists_changed.update(CHANGEABLE)  # a new process may offer other ones
                    if self._on_listed is not None:
                        self._on_listed(self)
                else:
                    self._started.set_result(None)
                if self.config.streams is None and self.config.transport in REMOTE:
                    self._side_task(self._pings(session), "ping")
                stop = asyncio.ensure_future(self._stop.wait())
                down = asyncio.ensure_future(self._down.wait())
                try:
                    await asyncio.wait({stop, down}, return_when=asyncio.FIRST_COMPLETED)
                finally:
                    stop.cancel()
                    down.cancel()
        except Exception as exc:  # includes the ExceptionGroups of the SDK's task groups
            self._stderr.close()
            if self.config.transport == "auto" and self._remote == "http" and not self.listed \
                    and refused(exc):
                # MCP's backwards compatibility: a 4xx to the POST of initialize is a server of
                # the older HTTP+SSE transport. This attempt goes on in that.
                logger.warning("server %r refused Streamable HTTP (%s): trying the SSE transport", self.name,
                               describe(exc).splitlines()[0])
                self._remote = "sse"
                await self._session_once()
                return
            self.fail(describe(exc))
        finally:
            if self._session is not None:
                self._session.fail_tool_calls()  # stopping: fail() says nothing then
            self._session = None
            for task in list(self._side_tasks):
                task.cancel()
            if not self._stop.is_set():
                self.fail("the session ended")

    async def _list(self, session: ClientSession) -> None:
        capabilities = self._capabilities
        tools = self._served(await _list_tools(session)) if capabilities.tools is not None else []
        own = own_fields.entries(capabilities.resources is not None and await _offers_resources(session),
                                 capabilities.prompts is not None and await _offers_prompts(session))
        self.tools, self.own_fields, self._output_checks = tools, own, output_checks(tools)

    async def _relistings(self) -> None:
        """Re-listings one at a time, until no list_changed came during the last one."""
        try:
            while True:
                self._relist_again = False
                await self._relist()
                if not self._relist_again:
                    return
        finally:
            self._relisting = False

    async def _relist(self) -> None:
        """A list_changed: the listing again, then the gateway told."""
        session = self._session
        if session is None:
            return  # a new session lists everything anyway
        try:
            await asyncio.wait_for(self._list(session), LIST_SECONDS)
        except Exception as exc:
            logger.warning("server %r: listing its tools again failed: %s", self.name, printable(describe(exc)))
            return
        if self._on_listed is not None and self._session is session:
            self._on_listed(self)

    async def _pings(self, session: ClientSession) -> None:
        """A remote server can vanish without closing anything: ask it at an interval."""
        every = self.supervision.ping_every
        while True:
            await asyncio.sleep(every)
            try:
                await asyncio.wait_for(session.send_ping(), every)
            except Exception as exc:
                self.fail(f"no answer to a ping: {describe(exc) if str(exc) else type(exc).__name__}")
                return

    def _stream_ended(self) -> None:
        self.fail("its connection closed (the server exited)")

    def _side_task(self, coroutine: Any, what: str) -> None:
        task = asyncio.ensure_future(coroutine)
        self._side_tasks.add(task)
        task.add_done_callback(self._side_tasks.discard)

    def _served(self, tools: list[dict[str, Any]]) -> list[dict[str, Any]]:
        """The tools a plain tools/call can run: one that requires task augmentation is left out."""
        served = []
        for tool in tools:
            meta = tool.get("_meta")
            if isinstance(meta, dict):
                meta.pop(own_fields.OWN_FIELD_MARK, None)  # the gateway's own mark, never a server's to set
            execution = tool.get("execution")
            if isinstance(execution, dict) and execution.get("taskSupport") == "required":
                logger.warning("server %r: tool %r requires task augmentation, which the gateway does not "
                               "use; left out", self.name, tool.get("name"))
                continue
            served.append(tool)
        return served


async def _offers_resources(session: ClientSession) -> bool:
    """Whether the first page of resources or templates lists any: FastMCP declares the
    capability for every server, so the declaration alone would give every one the fields."""
    try:
        return bool((await session.list_resources()).resources
                    or (await session.list_resource_templates()).resourceTemplates)
    except McpError:
        return False


async def _offers_prompts(session: ClientSession) -> bool:
    try:
        return bool((await session.list_prompts()).prompts)
    except McpError:
        return False


def mcp_level(level: int) -> LoggingLevel:
    """The MCP level that asks a server for what a Python logger at `level` shows."""
    for python_level, name in reversed(PYTHON_LEVELS):
        if level >= python_level:
            return name
    return "debug"


async def _paged(page: Callable[[str | None], Awaitable[Any]], member: str, what: str) -> list[dict[str, Any]]:
    """Every item of a listing, following nextCursor for at most PAGE_LIMIT pages."""
    items: list[dict[str, Any]] = []
    cursor: str | None = None
    for _ in range(PAGE_LIMIT):
        answer = await page(cursor)
        items += [dump(item) for item in getattr(answer, member)]
        cursor = answer.nextCursor
        if not cursor:
            return items
    raise CallFailed(f"{what} did not end within {PAGE_LIMIT} pages")


async def _list_tools(session: ClientSession) -> list[dict[str, Any]]:
    tools = await _paged(session.list_tools, "tools", "tools/list")
    for tool in tools:
        # MCP reads a missing hint as "may write", the engine as read-only:
        # say it outright so the catalogue keeps the server's meaning.
        tool.setdefault("annotations", {}).setdefault("readOnlyHint", False)
    return tools


def unreadable(exc: Exception) -> str:
    """One line for a message the session could not read: what it was, and its start."""
    if isinstance(exc, ValidationError) and exc.errors():
        first = exc.errors()[0]
        shown = first.get("input")
        if isinstance(shown, str):
            return f"wrote a line that is not JSON-RPC: {shown[:SHOWN_OUTPUT]!r}"
        return f"sent a message that is not JSON-RPC: {first.get('msg', 'invalid')}"
    return f"unreadable message: {describe(exc)}"


def describe(exc: BaseException) -> str:
    """The first real cause inside the SDK's exception groups, as one line."""
    while isinstance(exc, BaseExceptionGroup) and exc.exceptions:
        exc = exc.exceptions[0]
    if isinstance(exc, CallFailed | SignInNeeded):  # already said for people
        return str(exc)
    if isinstance(exc, OSError) and exc.strerror:
        where = f": {exc.filename}" if exc.filename else ""
        return f"{exc.strerror}{where}"
    return f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__
