"""One MCP server: its process and session, its tools, and whether it is still up."""

import asyncio
import os
import sys
import threading
from collections import deque
from typing import Any

import jsonschema
from mcp import ClientSession
from mcp.client.stdio import StdioServerParameters, stdio_client
from mcp.shared.exceptions import McpError
from mcp.types import CONNECTION_CLOSED, CallToolRequest, CallToolRequestParams, CallToolResult, ClientRequest

from .config import ServerConfig
from .observe import call_meta

STDERR_TAIL = 5  # lines of a failed server's own standard error worth repeating


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
    """Owns one server's stdio session on the event loop that started it.

    The SDK's context managers must be entered and left by one task, so run()
    holds them for the server's whole life; calls from other tasks only use
    the session, and race it against the server going down.
    """

    def __init__(self, config: ServerConfig) -> None:
        self.name = config.name
        self.config = config
        self.failure: str | None = None
        self.description: str | None = None
        self.tools: list[dict[str, Any]] = []
        self._output_checks: dict[str, OutputCheck] = {}
        self._session: ClientSession | None = None
        self._down = asyncio.Event()
        self._stop = asyncio.Event()
        self._started: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        self._stderr = StderrTail()
        self._task = asyncio.create_task(self._run(), name=f"mcp-{self.name}")

    @property
    def up(self) -> bool:
        return self.failure is None and self._session is not None

    def group(self) -> dict[str, Any]:
        """This server's group of the engine's catalogue."""
        group: dict[str, Any] = {"server": self.name, "tools": self.tools}
        if self.description:
            group["serverDescription"] = self.description
        return group

    async def started(self, timeout: float) -> bool:
        """Wait until the tools are listed; False (and reported) when the server did not come up."""
        try:
            await asyncio.wait_for(asyncio.shield(self._started), timeout)
        except TimeoutError:
            self.fail(f"did not start within {timeout:g} s")
            self._task.cancel()  # ends the process now rather than at close
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

    async def call(self, tool: str, arguments: dict[str, Any], timeout: float) -> CallToolResult:
        session = self._session
        if self.failure is not None or session is None:
            raise CallFailed(f"server {self.name!r} is down: {self.failure or 'not started'}")
        # session.call_tool would check the result against the tool's output
        # schema by checking the schema itself first, every call: two thirds
        # of a call's time. The same check runs here with a validator made once.
        # The call's trace context rides in `params._meta`, where MCP carries it (only while tracing).
        meta = call_meta()
        params = CallToolRequestParams(name=tool, arguments=arguments)
        if meta:
            params.meta = CallToolRequestParams.Meta.model_validate(meta)
        request = ClientRequest(CallToolRequest(params=params))
        call = asyncio.ensure_future(session.send_request(request, CallToolResult))
        down = asyncio.ensure_future(self._down.wait())
        try:
            done, _ = await asyncio.wait({call, down}, timeout=timeout,
                                         return_when=asyncio.FIRST_COMPLETED)
        finally:
            call.cancel()
            down.cancel()
        if call in done:
            try:
                result = call.result()
            except McpError as exc:
                if exc.error.code == CONNECTION_CLOSED:
                    self.fail("the connection closed (the server exited)")
                raise CallFailed(f"{self.name}.{tool}: {exc}") from None
            except Exception as exc:
                raise CallFailed(f"{self.name}.{tool}: {describe(exc)}") from None
            if not result.isError:
                check_output(self._output_checks.get(tool), f"{self.name}.{tool}", result)
            return result
        if down in done:
            raise CallFailed(f"server {self.name!r} stopped during the call: {self.failure}")
        raise CallFailed(f"{self.name}.{tool} gave no answer within {timeout:g} s")

    def fail(self, reason: str) -> None:
        """Mark the server down once and say why on standard error."""
        if self.failure is not None or self._stop.is_set():
            return
        self.failure = reason
        self._down.set()
        message = f"gateway: server {self.name!r} failed: {reason}"
        tail = self._stderr.lines()
        if tail:
            message += "\n  its last words: " + "\n  ".join(tail)
        print(message, file=sys.stderr, flush=True)

    async def _run(self) -> None:
        try:
            config = self.config
            if config.streams is not None:
                transport = config.streams()
            else:
                params = StdioServerParameters(command=config.command, args=list(config.args),
                                               env=config.env, cwd=config.cwd)
                transport = stdio_client(params, errlog=self._stderr.writer)
            async with transport as (read, write), ClientSession(read, write) as session:
                answer = await session.initialize()
                info = answer.serverInfo
                self.description = getattr(info, "description", None) or answer.instructions
                self.tools = await _list_tools(session)
                self._output_checks = output_checks(self.tools)
                self._stderr.close()
                self._session = session
                self._started.set_result(None)
                stop = asyncio.ensure_future(self._stop.wait())
                down = asyncio.ensure_future(self._down.wait())
                try:
                    await asyncio.wait({stop, down}, return_when=asyncio.FIRST_COMPLETED)
                finally:
                    stop.cancel()
                    down.cancel()
        except Exception as exc:  # includes the ExceptionGroups of the SDK's task groups
            self._stderr.close()
            self.fail(describe(exc))
        finally:
            self._session = None
            if not self._started.done():
                self._started.set_exception(CallFailed(self.failure or "stopped"))
                self._started.exception()  # retrieved: started() reports it, not the loop

async def _list_tools(session: ClientSession) -> list[dict[str, Any]]:
    tools: list[dict[str, Any]] = []
    cursor: str | None = None
    while True:
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
            checks[tool["name"]] = validator(schema)
        except jsonschema.exceptions.SchemaError as exc:
            checks[tool["name"]] = f"the tool's output schema is invalid: {exc.message}"
    return checks


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
    if isinstance(exc, OSError) and exc.strerror:
        where = f": {exc.filename}" if exc.filename else ""
        return f"{exc.strerror}{where}"
    return f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__
