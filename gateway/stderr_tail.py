"""The last lines a server wrote to its standard error, to quote when it fails."""

import os
import threading
from collections import deque
from typing import TextIO

STDERR_TAIL = 5  # lines of a failed server's own standard error worth repeating


class StderrTail:
    """A server's standard error: a pipe whose last lines are kept, so the
    failure report can quote them while a chatty server costs no more."""

    def __init__(self) -> None:
        self._lines: deque[str] = deque(maxlen=STDERR_TAIL)
        self._writer: TextIO | None = None
        self._reader: threading.Thread | None = None

    def start(self) -> TextIO:
        """The pipe made and its reader started; returns the writing end to hand the server."""
        read_fd, write_fd = os.pipe()
        self._writer = os.fdopen(write_fd, "w")
        self._reader = threading.Thread(target=self._read, args=(read_fd,), name="mcp-stderr", daemon=True)
        self._reader.start()
        return self._writer

    def _read(self, read_fd: int) -> None:
        # Ends when every writer has closed: the server, its children and close().
        with os.fdopen(read_fd, encoding="utf-8", errors="replace") as stream:
            for line in stream:
                if line.strip():
                    self._lines.append(line.rstrip())

    def lines(self) -> list[str]:
        """The last lines; once the server is gone, after the pipe has been read to its end."""
        if self._writer is not None and self._writer.closed and self._reader is not None:
            self._reader.join(0.5)
        return list(self._lines)

    def close(self) -> None:
        """Our copy of the pipe's writing end: the server holds its own once it runs."""
        if self._writer is not None:
            self._writer.close()
