"""The access log: one line per HTTP request and per tool call, as text on standard error or
through the program's logging as JSON fields. Lines hold names, numbers and addresses only,
and every line is escaped whole (printable), so nothing a client or a server names can end a
line or forge one."""

import asyncio
import logging
import sys
import time
from collections.abc import Callable
from typing import Any, TextIO

ACCESS_LOGGER = "gateway.access"
_ESCAPES = {code: f"\\x{code:02x}" for code in (*range(0x20), *range(0x7f, 0xa0))} | {
    0x2028: "\\u2028", 0x2029: "\\u2029"}


def printable(text: str) -> str:
    """The text with every control character escaped (C0, DEL, C1 and the Unicode line and
    paragraph separators), so that what a client sent cannot end a log line or start another."""
    if text.isprintable():  # none of those is printable, and testing costs a tenth of translating
        return text
    return text.translate(_ESCAPES)


class LogLine(str):
    """An access or tool-call line that carries its fields as well, so a JSON log shows them
    as fields; wherever a line of text is wanted it is that text."""

    fields: dict[str, object]

    def __new__(cls, text: str, **fields: object) -> LogLine:
        line = super().__new__(cls, text)
        line.fields = fields
        return line


class AccessLog:
    """One line per request and per tool call on a stream (standard error).

    Lines hold names, numbers and addresses only; the token, the query,
    its arguments and the results never reach them. Each line is escaped as a
    whole, so no field (a path, a tool's name) can forge a line of its own.

    Lines written on an event loop are gathered and written together once the
    loop's current turn ends: one write for many requests, where a write each
    would hand the GIL to the query threads on every line and wait to get it back.
    """

    def __init__(self, stream: TextIO | None = None) -> None:
        self._stream = stream
        self._second = -1
        self._stamp = ""  # the second `_second` as text: formatted once, not for every line
        self._pending: list[str] = []  # written on the loop, for its next turn

    def __call__(self, line: str) -> None:
        now = time.time()
        second = int(now)
        if second != self._second:
            self._second, self._stamp = second, time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(second))
        text = f"{self._stamp}.{int(now % 1 * 1000):03d}Z {printable(line)}\n"
        try:
            loop = asyncio.get_running_loop()
        except RuntimeError:  # a query thread, or no loop at all: written now
            self._write(text)
            return
        if not self._pending:
            loop.call_soon(self._flush)
        self._pending.append(text)

    def _flush(self) -> None:
        text = "".join(self._pending)
        self._pending.clear()
        self._write(text)

    def _write(self, text: str) -> None:
        stream = self._stream or sys.stderr
        stream.write(text)
        stream.flush()


def access_logger(name: str = ACCESS_LOGGER) -> Callable[[str], None]:
    """An access-log sink (access.Access.log) that writes through the program's logging, a
    LogLine's fields as fields of its JSON object."""
    logger = logging.getLogger(name)

    def log(line: str) -> None:
        logger.info("%s", line, extra={"fields": getattr(line, "fields", {})})
    return log


def request_line(log: Callable[[str], None]) -> Callable[[dict[str, Any], int, float], None]:
    """What the request middleware (observe) calls as each HTTP request ends: one line with client,
    method, path (never the URL's query, which may hold the GraphQL query and its variables),
    status, duration and the top-level field count."""

    text_only = isinstance(log, AccessLog)  # it writes the text alone: fields would be made for nobody

    def line(scope: dict[str, Any], status: int, elapsed_ms: float) -> None:
        client = scope.get("client")
        where = f"{client[0]}:{client[1]}" if client else "-"
        state = scope.get("state")
        fields = state.get("fields", "-") if state else "-"
        text = f"{where} {scope['method']} {scope['path']} {status} {elapsed_ms:.1f}ms fields={fields}"
        if text_only:
            log(text)
            return
        log(LogLine(text, kind="request", client=where, method=scope["method"], path=scope["path"],
                    status=status, ms=round(elapsed_ms, 1), fields=fields))
    return line
