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
import os
import re
import threading
import time
from collections import OrderedDict, deque
from collections.abc import AsyncIterator, Callable, Iterator
from contextlib import AbstractAsyncContextManager, asynccontextmanager
from typing import Any, Self

import httpx
import jsonschema
from mcp import ClientSession
from mcp.client.sse import sse_client
from mcp.client.stdio import StdioServerParameters, stdio_client
from mcp.client.streamable_http import streamable_http_client
from mcp.shared._httpx_utils import create_mcp_http_client
from mcp.shared.exceptions import McpError
from mcp.shared.session import RequestResponder
from mcp.types import (
    CONNECTION_CLOSED,
    CallToolRequest,
    CallToolRequestParams,
    CallToolResult,
    CancelledNotification,
    CancelledNotificationParams,
    ClientNotification,
    ClientRequest,
    ClientResult,
    GetPromptRequest,
    GetPromptRequestParams,
    GetPromptResult,
    ListPromptsRequest,
    ListPromptsResult,
    ListResourcesRequest,
    ListResourcesResult,
    ListResourceTemplatesRequest,
    ListResourceTemplatesResult,
    ListRootsResult,
    LoggingLevel,
    LoggingMessageNotificationParams,
    PaginatedRequestParams,
    ReadResourceRequest,
    ReadResourceRequestParams,
    ReadResourceResult,
    Root,
    ServerNotification,
    ServerRequest,
)
from pydantic import BaseModel, ValidationError

from . import patterns
from .access import printable
from .auth import SignIn, SignInNeeded, oauth
from .config import REMOTE, ServerConfig
from .observe import call_meta
from .supervision import Backoff, Supervision

logger = logging.getLogger(__name__)

STDERR_TAIL = 5  # lines of a failed server's own standard error worth repeating
PAGE_LIMIT = 1000  # pages of one listing: a server whose cursor never ends cannot hold a call forever
HTTP_TIMEOUT = httpx.Timeout(30.0, read=300.0)  # the SDK's own defaults for its HTTP clients
SHOWN_OUTPUT = 120  # characters of an unreadable output line worth quoting
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

# The fields the gateway answers itself, by their tool names in the catalogue.
# The leading "_" makes their field names `<server>__list_resources` and so
# on: a double underscore no tool of that server gives unless it is named
# so on purpose (and then the collision rule of gateway.names applies).
LIST_RESOURCES, READ_RESOURCE = "_list_resources", "_read_resource"
LIST_PROMPTS, GET_PROMPT = "_list_prompts", "_get_prompt"
OWN_MARK = "gateway/answered-here"  # in the entry's _meta, which MCP keeps for such notes
OWN_FIELDS: dict[str, tuple[str, dict[str, Any]]] = {
    LIST_RESOURCES: (("The server's resources and resource templates (resources/list, "
                      "resources/templates/list); each resource also as a resource_link block."),
                     {"type": "object", "properties": {}}),
    READ_RESOURCE: (("Reads one resource of the server by its URI (resources/read); each of its contents "
                     "as a resource block."),
                    {"type": "object", "properties": {"uri": {"type": "string"}}, "required": ["uri"]}),
    LIST_PROMPTS: ("The server's prompts and their arguments (prompts/list).",
                   {"type": "object", "properties": {}}),
    GET_PROMPT: (("One prompt of the server filled in with its arguments (prompts/get); the messages' "
                  "content blocks in order."),
                 {"type": "object", "properties": {"name": {"type": "string"},
                                                   "arguments": {"type": "object",
                                                                 "additionalProperties": {"type": "string"}}},
                  "required": ["name"]}),
}


class _UnreadableLines(logging.Filter):
    """The SDK's stdio client logs every standard output line that is not
    JSON-RPC with its traceback (10 to 35 lines), then hands the error to the
    session, whose message handler (Upstream._message) reports it in one line
    naming the server. This drops the SDK's own record of it."""

    def filter(self, record: logging.LogRecord) -> bool:
        return not str(record.msg).startswith("Failed to parse JSONRPC message")


logging.getLogger("mcp.client.stdio").addFilter(_UnreadableLines())


# A validator for a tool's structured results, or why its output schema is unusable.
type OutputCheck = jsonschema.protocols.Validator | str


class CallFailed(Exception):
    """A tool call that got no usable answer; the message is for the query's sender."""


class StderrTail:
    """A server's standard error: a pipe whose last lines are kept, so the
    failure report can quote them while a chatty server costs no more."""

    def __init__(self) -> None:
        read_fd, write_fd = os.pipe()
        self.writer = os.fdopen(write_fd, "w")
        self._lines: deque[str] = deque(maxlen=STDERR_TAIL)
        self._reader = threading.Thread(target=self._read, args=(read_fd,), name="mcp-stderr", daemon=True)
        self._reader.start()

    def _read(self, read_fd: int) -> None:
        # Ends when every writer has closed: the server, its children and close().
        with os.fdopen(read_fd, encoding="utf-8", errors="replace") as stream:
            for line in stream:
                if line.strip():
                    self._lines.append(line.rstrip())

    def lines(self) -> list[str]:
        """The last lines; once the server is gone, after the pipe has been read to its end."""
        if self.writer.closed:
            self._reader.join(0.5)
        return list(self._lines)

    def close(self) -> None:
        """Our copy of the pipe's writing end: the server holds its own once it runs."""
        self.writer.close()


class Upstream:
    """Owns one server's session on the event loop that started it.

    The SDK's context managers must be entered and left by one task, so run()
    holds them for the server's whole life; calls from other tasks only use
    the session, and race it against the server going down.
    """

    def __init__(self, config: ServerConfig, supervision: Supervision | None = None,
                 on_listed: Callable[[Upstream], None] | None = None, start_timeout: float = 30.0,
                 sign_in: SignIn | None = None) -> None:
        self.name = config.name
        self.sign_in = sign_in  # who completes an OAuth sign-in (`login`); None: the tokens stored or nothing
        self.start_timeout = start_timeout  # for every attempt: one that hangs must not end the retries
        self.config = config
        self.supervision = supervision or Supervision()
        self.failure: str | None = None
        self.next_attempt: float | None = None  # time.monotonic() of the next start while waiting for it
        self.description: str | None = None
        self.tools: list[dict[str, Any]] = []
        self.own_fields: list[dict[str, Any]] = []  # resources and prompts, answered by answer_own
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
        self._session: ClientSession | None = None
        self._capabilities: Any = None  # the current session's, for listing again
        self._down = asyncio.Event()
        # Done with `_down`: what every call races against, where a task per call would wait on the event.
        self._gone: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        self._stop = asyncio.Event()
        self._backoff = Backoff(self.supervision)
        self._started: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        self._stderr = StderrTail()
        self._attempt: asyncio.Task[None] | None = None
        self._side_tasks: set[asyncio.Task[None]] = set()  # re-listings and pings of this session
        # list_changed while a re-listing runs: one more once it ends, however many came meanwhile.
        self._relisting = False
        self._relist_again = False
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
        # The SDK ends the process: stdin closed, then SIGTERM, then SIGKILL.
        done, _ = await asyncio.wait({self._task}, timeout=timeout)
        if not done:
            self._task.cancel()
            await asyncio.wait({self._task})
        self._stderr.close()

    def down_since_start(self) -> asyncio.Event:
        """Set once the current session is gone (for the ones who must notice at once)."""
        return self._down

    async def call(self, tool: str, arguments: dict[str, Any], timeout: float) -> CallToolResult:
        # session.call_tool would check the result against the tool's output
        # schema by checking the schema itself first, every call: two thirds
        # of a call's time. The same check runs here with a validator made once.
        params = CallToolRequestParams(name=tool, arguments=arguments)
        if meta := call_meta():  # the call's trace context, where MCP carries it (only while tracing)
            params.meta = CallToolRequestParams.Meta.model_validate(meta)
        request = CallToolRequest(params=params)
        where = f"{self.name}.{tool}"

        async def progress(done: float, total: float | None, message: str | None) -> None:
            logger.info("server %r: %s: progress %g%s%s", self.name, printable(tool), done,
                        f"/{total:g}" if total is not None else "", f": {printable(message)}" if message else "")

        result = await self._request(request, CallToolResult, where, timeout, progress)
        if not result.isError:
            check_output(self._output_checks.get(tool), where, result)
        return result

    async def answer_own(self, kind: str, arguments: dict[str, Any], timeout: float) -> dict[str, Any]:
        """The reply of one of the fields the gateway answers itself: the tool reply's members."""
        where = f"{self.name}.{kind}"
        if kind == LIST_RESOURCES:
            resources = await self._pages(ListResourcesRequest, ListResourcesResult, "resources", where, timeout)
            templates = await self._pages(ListResourceTemplatesRequest, ListResourceTemplatesResult,
                                          "resourceTemplates", where, timeout)
            listing = {"resources": resources, "resourceTemplates": templates}
            links = [{"type": "resource_link", **resource} for resource in resources]
            return {"isError": False, "json": listing, "text": json.dumps(listing), "content": links}
        if kind == LIST_PROMPTS:
            listing = {"prompts": await self._pages(ListPromptsRequest, ListPromptsResult, "prompts", where,
                                                    timeout)}
            return {"isError": False, "json": listing, "text": json.dumps(listing), "content": []}
        if kind == READ_RESOURCE:
            uri = arguments.get("uri")
            if not isinstance(uri, str):
                raise CallFailed(f"{where}: \"uri\" must be a string")
            try:
                request = ReadResourceRequest(params=ReadResourceRequestParams(uri=uri))  # type: ignore[arg-type]
            except ValidationError:
                raise CallFailed(f"{where}: {uri!r} is not a URI") from None
            read = await self._request(request, ReadResourceResult, where, timeout)
            contents = [dump(c) for c in read.contents]
            blocks = [{"type": "resource", "resource": c} for c in contents]
            text = "\n".join(c["text"] for c in contents if "text" in c)
            return {"isError": False, "json": json_or_none(text), "text": text, "content": blocks}
        if kind == GET_PROMPT:
            name, values = arguments.get("name"), arguments.get("arguments")
            if not isinstance(name, str):
                raise CallFailed(f"{where}: \"name\" must be a string")
            if values is not None and not (isinstance(values, dict)
                                           and all(isinstance(v, str) for v in values.values())):
                raise CallFailed(f"{where}: \"arguments\" must map names to strings")
            prompt = await self._request(GetPromptRequest(params=GetPromptRequestParams(name=name, arguments=values)),
                                         GetPromptResult, where, timeout)
            content = [dump(message.content) for message in prompt.messages]
            text = "\n".join(block["text"] for block in content if block.get("type") == "text")
            return {"isError": False, "json": dump(prompt), "text": text, "content": content}
        raise CallFailed(f"{where}: the gateway answers no such field")

    async def _pages(self, kind: type[Any], result: type[Any], member: str, where: str,
                     timeout: float) -> list[dict[str, Any]]:
        """Every page of one listing, following nextCursor."""
        items: list[dict[str, Any]] = []
        cursor: str | None = None
        for _ in range(PAGE_LIMIT):
            params = PaginatedRequestParams(cursor=cursor) if cursor else None
            page = await self._request(kind(params=params), result, where, timeout)
            items += [dump(item) for item in getattr(page, member)]
            cursor = page.nextCursor
            if not cursor:
                return items
        raise CallFailed(f"{where}: the listing did not end within {PAGE_LIMIT} pages")

    async def _request[R: BaseModel](self, request: Any, result_type: type[R], where: str, timeout: float,
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
        loop = asyncio.get_running_loop()
        end = loop.time() + left
        came_up = self._came_up
        self.fail("it no longer knows the session (404): a new one is started")
        try:
            await asyncio.wait_for(came_up.wait(), max(left, 0.0))
        except TimeoutError:
            raise CallFailed(f"{where}: the server ended its session and no new one was up in time") from None
        return await self._request(request, result_type, where, max(end - loop.time(), 0.0), progress, resent=True)

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
        if not self._gone.done():
            self._gone.set_result(None)
        # Each line from the server escaped: its text cannot end a log line and start a forged one.
        message = f"server {self.name!r} failed: {printable(reason)}"
        tail = self._stderr.lines()
        if tail:
            message += "\n  its last words: " + "\n  ".join(map(printable, tail))
        logger.error("%s", message)

    def _transport(self) -> AbstractAsyncContextManager[tuple[Any, Any]]:
        config = self.config
        if config.streams is not None:
            return config.streams()
        headers = {name: value.reveal() for name, value in config.headers}
        auth = oauth(config, self.sign_in) if config.auth is not None else None
        transport = self._remote if config.transport == "auto" else config.transport
        if transport == "http":
            return _streamable_http(config.url, headers, auth)
        if transport == "sse":
            return sse_client(config.url, headers=headers, timeout=HTTP_TIMEOUT.connect or 30.0,
                              sse_read_timeout=HTTP_TIMEOUT.read or 300.0, auth=auth)
        params = StdioServerParameters(command=config.command, args=list(config.args), env=config.env,
                                       cwd=config.cwd)
        return stdio_client(params, errlog=self._stderr.writer)

    async def _roots(self, context: Any) -> ListRootsResult:
        """roots/list: the configured folders, none unless the entry names some."""
        return ListRootsResult(roots=[Root(uri=uri) for uri in self.config.roots])  # type: ignore[arg-type]

    async def _log(self, params: LoggingMessageNotificationParams) -> None:
        """notifications/message: the server's log line, at the matching Python level."""
        data = params.data if isinstance(params.data, str) else json.dumps(params.data, default=str)
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
                self.restarts += 1
        finally:
            self._settle_start()

    def _settle_start(self) -> None:
        if not self._started.done():
            self._started.set_exception(CallFailed(self.failure or "stopped"))
            self._started.exception()  # retrieved: started() reports it, not the loop

    async def _session_once(self) -> None:
        """One session: connect, list, then hold it until it ends or the server is stopped."""
        try:
            # The session only iterates its read stream and enters it, which _Watched passes on.
            async with (self._transport() as (read, write),
                        ClientSession(_Watched(read, self._stream_ended), write,  # type: ignore[arg-type]
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
                    and _refused(exc):
                # MCP's backwards compatibility: a 4xx to the POST of initialize is a server of
                # the older HTTP+SSE transport. This attempt goes on in that.
                logger.warning("server %r refused Streamable HTTP (%s): trying the SSE transport", self.name,
                               describe(exc).splitlines()[0])
                self._remote = "sse"
                await self._session_once()
                return
            self.fail(describe(exc))
        finally:
            self._session = None
            for task in list(self._side_tasks):
                task.cancel()
            if not self._stop.is_set():
                self.fail("the session ended")

    async def _list(self, session: ClientSession) -> None:
        capabilities = self._capabilities
        tools = self._served(await _list_tools(session)) if capabilities.tools is not None else []
        own = own_fields(capabilities.resources is not None and await _offers_resources(session),
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
                meta.pop(OWN_MARK, None)  # the gateway's own mark, never a server's to set
            execution = tool.get("execution")
            if isinstance(execution, dict) and execution.get("taskSupport") == "required":
                logger.warning("server %r: tool %r requires task augmentation, which the gateway does not "
                               "use; left out", self.name, tool.get("name"))
                continue
            served.append(tool)
        return served


class _Watched:
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


def _refused(exc: BaseException) -> bool:
    """Whether a session failed on a 4xx answer (inside the SDK's exception groups)."""
    while isinstance(exc, BaseExceptionGroup) and exc.exceptions:
        exc = exc.exceptions[0]
    return isinstance(exc, httpx.HTTPStatusError) and 400 <= exc.response.status_code < 500


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


@asynccontextmanager
async def _streamable_http(url: str, headers: dict[str, str],
                           auth: httpx.Auth | None) -> AsyncIterator[tuple[Any, Any]]:
    """The SDK's Streamable HTTP client over an HTTP client that carries the headers and the OAuth token."""
    async with (create_mcp_http_client(headers=headers, timeout=HTTP_TIMEOUT, auth=auth) as client,
                streamable_http_client(url, http_client=client) as (read, write, _session_id)):
        yield read, write


def own_fields(resources: bool, prompts: bool) -> list[dict[str, Any]]:
    """Catalogue entries of the fields answered by answer_own, for the capabilities a server declared."""
    kinds = ([LIST_RESOURCES, READ_RESOURCE] if resources else []) + ([LIST_PROMPTS, GET_PROMPT] if prompts else [])
    return [{"name": kind, "description": OWN_FIELDS[kind][0], "inputSchema": OWN_FIELDS[kind][1],
             "annotations": {"readOnlyHint": True}, "_meta": {OWN_MARK: True}} for kind in kinds]


def answered_here(entry: dict[str, Any]) -> bool:
    """Whether a catalogue entry is one of own_fields' (a server's own tool may share its name)."""
    meta = entry.get("_meta")
    return isinstance(meta, dict) and meta.get(OWN_MARK) is True


def mcp_level(level: int) -> LoggingLevel:
    """The MCP level that asks a server for what a Python logger at `level` shows."""
    for python_level, name in reversed(PYTHON_LEVELS):
        if level >= python_level:
            return name
    return "debug"


def dump(model: BaseModel) -> dict[str, Any]:
    """A result's part as MCP gives it: names as on the wire, absent members left out."""
    return model.model_dump(mode="json", by_alias=True, exclude_none=True)


def json_or_none(text: str) -> Any:
    def refuse(constant: str) -> None:
        raise ValueError(constant)  # NaN and Infinity are not JSON

    try:
        return json.loads(text, parse_constant=refuse)
    except ValueError:
        return None


def unreadable(exc: Exception) -> str:
    """One line for a message the session could not read: what it was, and its start."""
    if isinstance(exc, ValidationError) and exc.errors():
        first = exc.errors()[0]
        shown = first.get("input")
        if isinstance(shown, str):
            return f"wrote a line that is not JSON-RPC: {shown[:SHOWN_OUTPUT]!r}"
        return f"sent a message that is not JSON-RPC: {first.get('msg', 'invalid')}"
    return f"unreadable message: {describe(exc)}"


async def _list_tools(session: ClientSession) -> list[dict[str, Any]]:
    tools: list[dict[str, Any]] = []
    cursor: str | None = None
    for _ in range(PAGE_LIMIT):
        page = await session.list_tools(cursor)
        for tool in page.tools:
            listed = tool.model_dump(mode="json", by_alias=True, exclude_none=True)
            # MCP reads a missing hint as "may write", the engine as read-only:
            # say it outright so the catalogue keeps the server's meaning.
            listed.setdefault("annotations", {}).setdefault("readOnlyHint", False)
            tools.append(listed)
        cursor = page.nextCursor
        if not cursor:
            return tools
    raise CallFailed(f"tools/list did not end within {PAGE_LIMIT} pages")


def output_checks(tools: list[dict[str, Any]]) -> dict[str, OutputCheck]:
    """One validator per tool that declares an output schema, its schema checked once."""
    checks: dict[str, OutputCheck] = {}
    for tool in tools:
        schema = tool.get("outputSchema")
        if schema is None:
            continue
        try:
            validator = jsonschema.validators.validator_for(schema)
            validator.check_schema(schema)
            checks[tool["name"]] = jsonschema.validators.extend(validator, PATTERN_KEYWORDS)(schema)
        except jsonschema.exceptions.SchemaError as exc:
            checks[tool["name"]] = f"the tool's output schema is invalid: {exc.message}"
    return checks


def _search(pattern: Any, text: str) -> bool | None:
    """re.search(pattern, text) is not None, without backtracking (patterns.py); None when the
    automaton cannot tell (a pattern it cannot run, or a text too long for it)."""
    try:
        return patterns.compiled(pattern).search(text) if isinstance(pattern, str) else None
    except (patterns.Unsupported, patterns.TooLong):
        return None


def _pattern(validator: Any, pattern: Any, instance: Any,
             schema: Any) -> Iterator[jsonschema.exceptions.ValidationError]:
    """jsonschema's `pattern`, matched without backtracking. What the automaton cannot tell is
    left unchecked rather than risk the loop."""
    if validator.is_type(instance, "string") and _search(pattern, instance) is False:
        yield jsonschema.exceptions.ValidationError(
            f"{instance[:SHOWN_OUTPUT]!r} does not match {str(pattern)[:SHOWN_OUTPUT]!r}")


def _pattern_properties(validator: Any, pattern_properties: Any, instance: Any,
                        schema: Any) -> Iterator[jsonschema.exceptions.ValidationError]:
    """jsonschema's `patternProperties`, its patterns matched without backtracking."""
    if not validator.is_type(instance, "object"):
        return
    for pattern, subschema in pattern_properties.items():
        for key, value in instance.items():
            if _search(pattern, key):
                yield from validator.descend(value, subschema, path=key, schema_path=pattern)


def _additional_properties(validator: Any, additional: Any, instance: Any,
                           schema: Any) -> Iterator[jsonschema.exceptions.ValidationError]:
    """jsonschema's `additionalProperties`, `patternProperties` matched without backtracking (a
    key no automaton can tell about counts as matched: not an extra)."""
    if not validator.is_type(instance, "object"):
        return
    properties, patterns_ = schema.get("properties", {}), schema.get("patternProperties", {})
    extras = [key for key in instance if key not in properties
              and not any(_search(pattern, key) is not False for pattern in patterns_)]
    if validator.is_type(additional, "object"):
        for extra in extras:
            yield from validator.descend(instance[extra], additional, path=extra)
    elif additional is False and extras:
        shown = ", ".join(repr(extra[:SHOWN_OUTPUT]) for extra in sorted(extras)[:10])
        yield jsonschema.exceptions.ValidationError(f"additional properties are not allowed ({shown})")


# Every keyword of a tool's output schema that runs a pattern: the server writes both the pattern
# and the text it is matched against.
PATTERN_KEYWORDS = {"pattern": _pattern, "patternProperties": _pattern_properties,
                    "additionalProperties": _additional_properties}


def check_output(check: OutputCheck | None, where: str, result: CallToolResult) -> None:
    """What the SDK's call_tool checks of a successful result, raised as CallFailed."""
    if check is None:
        return
    if isinstance(check, str):
        raise CallFailed(f"{where}: {check}")
    if result.structuredContent is None:
        raise CallFailed(f"{where} has an output schema but gave no structured content")
    error = jsonschema.exceptions.best_match(check.iter_errors(result.structuredContent))
    if error is not None:
        raise CallFailed(f"{where}: the structured content does not match the tool's output schema: "
                         f"{error.message}")


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
