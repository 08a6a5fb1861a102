"""The access log: one line per HTTP request and per tool call, as text on standard error or
through the program's logging as JSON fields. Lines hold names, numbers and addresses only,
and every line is escaped whole (printable), so nothing a client or a server names can end a
line or forge one."""

import asyncio
import atexit
import logging
import sys
import time
from collections.abc import Callable
from typing import Any, TextIO

ACCESS_LOGGER = "gateway.access"
HELD_SECONDS = 0.05  # a line written on the loop waits at most this long to be written with others
HELD_CHARACTERS = 64 << 10  # and is written at once when the lines waiting reach this much text
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

    Lines written on an event loop are gathered and written together, HELD_SECONDS after the
    first of them (at most HELD_CHARACTERS held): one write for the requests of many turns,
    where a write each would hand the GIL to the query threads and wait to get it back.
    Lines still held when the loop is gone are written at exit.
    """

    def __init__(self, stream: TextIO | None = None) -> None:
        self._stream = stream
        self._second = -1
        self._stamp = ""  # the second `_second` as text: formatted once, not for every line
        self._pending: list[str] = []  # written on the loop, for a write soon
        self._held = 0  # characters in `_pending`
        self._loop: asyncio.AbstractEventLoop | None = None  # the loop the lines held were written on
        self._due: asyncio.TimerHandle | None = None
        self._at_exit = False

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
        if self._loop is not loop:  # lines a loop that has ended left are written before this one's
            self._write_held()
            self._loop, self._due = loop, None
        if self._due is None:
            if not self._at_exit:  # a loop that ends before the write is due leaves them to exit
                atexit.register(self._write_held)
                self._at_exit = True
            self._due = loop.call_later(HELD_SECONDS, self.flush)
        self._pending.append(text)
        self._held += len(text)
        if self._held >= HELD_CHARACTERS:
            self.flush()

    def flush(self) -> None:
        """Writes the lines held now; on the loop that holds them."""
        if self._due is not None:
            self._due.cancel()
            self._due = None
        self._write_held()

    def _write_held(self) -> None:
        if not self._pending:
            return
        text = "".join(self._pending)
        self._pending.clear()
        self._held = 0
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
