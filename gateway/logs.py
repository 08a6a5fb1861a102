"""The program's logging set-up: text or JSON lines on standard error, and `say` for what the
program is doing. Library modules only log through logging.getLogger(__name__)."""

import json
import logging
import sys
import time
from typing import Any

from .access_log import ACCESS_LOGGER

STATUS_LOGGER = "gateway.status"  # what the program says it is doing (serving, stopped): shown at any level


class JsonFormatter(logging.Formatter):
    """One JSON object per line: time, level, logger, message, and the trace and span ids of the
    request or tool call the line was written for, when it is being traced."""

    def format(self, record: logging.LogRecord) -> str:
        line: dict[str, Any] = {
            "time": time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(record.created)) + f".{int(record.msecs):03d}Z",
            "level": record.levelname.lower(),
            "logger": record.name,
            "message": record.getMessage(),
        }
        for key, value in getattr(record, "fields", {}).items():
            line.setdefault(key, value)
        if (ids := _trace_ids()) is not None:
            line["trace_id"], line["span_id"] = ids
        if record.exc_info:
            line["exception"] = self.formatException(record.exc_info)
        return json.dumps(line, ensure_ascii=False)


def _trace_ids() -> tuple[str, str] | None:
    # The tracing module is imported only when tracing is on: importing it here would load
    # OpenTelemetry for every log line of a gateway that does not trace.
    tracing = sys.modules.get(f"{__package__}.tracing")
    return tracing.current_ids() if tracing is not None else None


def configure_logging(log_format: str, level: str = "warning") -> None:
    """The program's log on standard error, as text or as JSON objects, from `level` up; the
    access log (JSON lines only: text access lines are written by access_log.AccessLog) whatever
    the level, and HTTPX's line per request only from warnings up."""
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(JsonFormatter() if log_format == "json" else logging.Formatter("gateway: %(message)s"))
    root = logging.getLogger()
    root.handlers[:] = [handler]
    root.setLevel(level.upper())
    # httpx says "HTTP Request: POST ..." at info for every message to a remote server.
    logging.getLogger("httpx").setLevel(max(logging.WARNING, root.level))
    logging.getLogger(ACCESS_LOGGER).setLevel(logging.INFO)
    logging.getLogger(STATUS_LOGGER).setLevel(logging.INFO)


def say(message: str, *args: object) -> None:
    """A line about what the program is doing (serving at ..., stopped), in the log's format."""
    status = logging.getLogger(STATUS_LOGGER)
    if status.hasHandlers():
        status.info(message, *args)
    else:  # an embedding program that set up no logging still hears it, as before
        print("gateway: " + message % args, file=sys.stderr, flush=True)
