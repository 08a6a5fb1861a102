#!/usr/bin/env python3
"""Serve a catalogue of Python tools as GraphQL fields through the _graphql engine.

The engine turns every tool of the catalogue into a top-level field named
<server>_<tool>. While a query runs, the engine hands each tool call to this
program over the call bridge; a pool of worker threads runs the tool and
answers with its result, or with an error message that becomes the field's
value ({"isError": true, "text": ...}).

Examples:
  python3 examples/tool_host.py
  python3 examples/tool_host.py '{ files_list(path: ".") }'
  python3 examples/tool_host.py 'query ($p: String!) { files_stat(path: $p) }' \\
      --variables '{"p": "pyproject.toml"}'
  printf '{ clock_now }\\n\\n{ notes_list }\\n' | python3 examples/tool_host.py -
"""

import argparse
import contextlib
import datetime as dt
import inspect
import json
import math
import re
import statistics
import sys
import threading
import time
import unicodedata
from collections.abc import Callable, Iterable, Iterator, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

try:
    import _graphql
except ImportError:
    # Not installed: fall back to the module built in a source checkout.
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "build"))
    import _graphql

DEFAULT_CATALOGUE = Path(__file__).resolve().parent / "catalogue.json"
POLL_MS = 100  # how long a worker waits for a call before it checks for shutdown
MAX_READ_BYTES = 1 << 20
MAX_SLEEP_SECONDS = 60.0

DEFAULT_QUERY = """\
query Overview($dir: String, $a: Float, $b: Float) {
  __typename
  servers { name description toolCount readOnlyCount }
  search { field readOnly description }
  here: files_list(path: $dir)
  now: clock_now
  sum: math_add(numbers: [1, 2, 3.5])
  ratio: math_divide(a: $a, b: $b)
  words: text_word_count(text: "the quick brown fox")
  welcome: notes_get(title: "welcome")
}"""
DEFAULT_VARIABLES: dict[str, Any] = {"dir": ".", "a": 22, "b": 7}


class ToolError(Exception):
    """A failure whose message is meant for whoever sent the query."""


def _number(value: object, name: str) -> float:
    # bool is an int in Python but never a number in JSON terms.
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ToolError(f"{name} must be a number, not {json.dumps(value)}")
    return value


def _text(value: object, name: str) -> str:
    if not isinstance(value, str):
        raise ToolError(f"{name} must be a string, not {json.dumps(value)}")
    return value


class Files:
    """Read-only access to the files below one directory, and nothing outside it."""

    def __init__(self, root: Path) -> None:
        self.root = root.resolve(strict=True)
        if not self.root.is_dir():
            raise NotADirectoryError(f"files root is not a directory: {root}")

    def resolve(self, path: object) -> Path:
        path = _text(path, "path")
        # resolve() follows every symlink, so a link pointing out of the root
        # is judged by where it leads, not by where it sits.
        with self._os_errors(path):
            target = (self.root / path).resolve()
        if not target.is_relative_to(self.root):
            raise ToolError(f"refused: {path!r} is outside the files root")
        return target

    def list(self, path: str = ".") -> dict[str, Any]:
        target = self.resolve(path)
        with self._os_errors(path):
            if not target.is_dir():
                raise ToolError(f"not a directory: {path!r}")
            entries = [{"name": child.name, "type": self._kind(child), "size": child.lstat().st_size}
                       for child in sorted(target.iterdir())]
        return {"path": self._relative(target), "entries": entries}

    def read_file(self, path: str, max_bytes: int = 65536) -> dict[str, Any]:
        if isinstance(max_bytes, bool) or not isinstance(max_bytes, int) or max_bytes < 1:
            raise ToolError("max_bytes must be a positive integer")
        limit = min(max_bytes, MAX_READ_BYTES)
        target = self.resolve(path)
        with self._os_errors(path):
            if target.is_dir():
                raise ToolError(f"is a directory: {path!r}")
            with target.open("rb") as stream:
                data = stream.read(limit + 1)
                size = target.stat().st_size
        return {"path": self._relative(target), "size": size, "truncated": len(data) > limit,
                "text": data[:limit].decode("utf-8", errors="replace")}

    def stat(self, path: str) -> dict[str, Any]:
        target = self.resolve(path)
        with self._os_errors(path):
            info = target.stat()
        modified = dt.datetime.fromtimestamp(info.st_mtime, dt.UTC).isoformat(timespec="seconds")
        return {"path": self._relative(target), "type": self._kind(target), "size": info.st_size,
                "modified": modified}

    def _relative(self, target: Path) -> str:
        return target.relative_to(self.root).as_posix()

    @staticmethod
    def _kind(path: Path) -> str:
        if path.is_symlink():
            return "symlink"
        return "dir" if path.is_dir() else "file" if path.is_file() else "other"

    @staticmethod
    @contextlib.contextmanager
    def _os_errors(path: str) -> Iterator[None]:
        # Report file system failures by the name the caller used, without
        # revealing where the root lives.
        try:
            yield
        except (OSError, RuntimeError, ValueError) as exc:  # ValueError: NUL in a path
            reason = getattr(exc, "strerror", None) or str(exc) or type(exc).__name__
            raise ToolError(f"{reason}: {path!r}") from exc


class Clock:
    def __init__(self, cancel: threading.Event) -> None:
        self._cancel = cancel  # set on shutdown so a sleeping call ends at once

    def now(self, utc_offset_hours: float = 0) -> dict[str, Any]:
        offset = _number(utc_offset_hours, "utc_offset_hours")
        if not -24 < offset < 24:
            raise ToolError("utc_offset_hours must lie strictly between -24 and 24")
        moment = dt.datetime.now(dt.timezone(dt.timedelta(hours=offset)))
        return {"iso": moment.isoformat(timespec="seconds"), "unix": round(moment.timestamp(), 3),
                "weekday": moment.strftime("%A")}

    def days_between(self, start: str, end: str) -> dict[str, Any]:
        return {"days": (self._date(end, "end") - self._date(start, "start")).days}

    def sleep(self, seconds: float) -> dict[str, Any]:
        wanted = min(max(_number(seconds, "seconds"), 0.0), MAX_SLEEP_SECONDS)
        started = time.monotonic()
        if self._cancel.wait(wanted):
            raise ToolError("cancelled: the host is shutting down")
        return {"slept": round(time.monotonic() - started, 3)}

    @staticmethod
    def _date(value: object, name: str) -> dt.date:
        try:
            return dt.date.fromisoformat(_text(value, name))
        except ValueError:
            raise ToolError(f"{name} must be an ISO date like 2024-02-29, not {value!r}") from None


class Arithmetic:
    def add(self, numbers: list[float]) -> dict[str, Any]:
        values = self._numbers(numbers, "numbers")
        exact = all(isinstance(v, int) for v in values)
        return {"sum": sum(values) if exact else math.fsum(values)}

    def divide(self, a: float, b: float) -> dict[str, Any]:
        if _number(b, "b") == 0:
            raise ToolError("division by zero")
        return {"quotient": _number(a, "a") / b}

    def stats(self, values: list[float]) -> dict[str, Any]:
        data = self._numbers(values, "values")
        if not data:
            raise ToolError("values must hold at least one number")
        return {"count": len(data), "mean": statistics.fmean(data), "median": statistics.median(data),
                "min": min(data), "max": max(data), "stdev": statistics.pstdev(data)}

    @staticmethod
    def _numbers(value: object, name: str) -> list[float]:
        if not isinstance(value, list):
            raise ToolError(f"{name} must be a list of numbers")
        return [_number(item, f"{name}[{i}]") for i, item in enumerate(value)]


class TextTools:
    def word_count(self, text: str) -> dict[str, Any]:
        text = _text(text, "text")
        return {"words": len(text.split()), "lines": len(text.splitlines()), "characters": len(text)}

    def reverse(self, text: str) -> dict[str, Any]:
        return {"text": _text(text, "text")[::-1]}

    def slugify(self, text: str) -> dict[str, Any]:
        ascii_text = unicodedata.normalize("NFKD", _text(text, "text")).encode("ascii", "ignore")
        return {"slug": re.sub(r"[^a-z0-9]+", "-", ascii_text.decode().lower()).strip("-")}


class Notes:
    """Notes kept in memory; workers call in concurrently, hence the lock."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._notes = {"welcome": "Notes live in memory until the host exits."}

    def list(self) -> dict[str, Any]:
        with self._lock:
            return {"notes": [{"title": t, "length": len(b)} for t, b in sorted(self._notes.items())]}

    def get(self, title: str) -> dict[str, Any]:
        with self._lock:
            body = self._notes.get(_text(title, "title"))
        if body is None:
            raise ToolError(f"no note titled {title!r}")
        return {"title": title, "body": body}

    def put(self, title: str, body: str) -> dict[str, Any]:
        title, body = _text(title, "title"), _text(body, "body")
        if not title:
            raise ToolError("title must not be empty")
        with self._lock:
            created = title not in self._notes
            self._notes[title] = body
        return {"title": title, "created": created}

    def delete(self, title: str) -> dict[str, Any]:
        with self._lock:
            deleted = self._notes.pop(_text(title, "title"), None) is not None
        return {"title": title, "deleted": deleted}


@dataclass(frozen=True)
class Tool:
    run: Callable[..., object]
    writes: bool = False  # changes state, so the catalogue must not call it read-only


class Registry:
    def __init__(self, tools: Mapping[tuple[str, str], Tool]) -> None:
        self.tools = dict(tools)

    def call(self, server: str, tool: str, arguments: object, operation: str) -> object:
        entry = self.tools.get((server, tool))
        if entry is None:
            raise ToolError(f"unknown tool {server}.{tool}: this host does not implement it")
        if entry.writes and operation != "mutation":
            # The engine derives the operation from the catalogue's read-only flag.
            raise ToolError(f"{server}.{tool} changes state but the catalogue declares it read-only")
        if not isinstance(arguments, dict):
            raise ToolError(f"{server}.{tool}: arguments must be an object")
        try:
            inspect.signature(entry.run).bind(**arguments)
        except TypeError as exc:
            raise ToolError(f"{server}.{tool}: {exc}") from None
        return entry.run(**arguments)


def build_registry(files: Files, cancel: threading.Event) -> Registry:
    clock, arithmetic, text, notes = Clock(cancel), Arithmetic(), TextTools(), Notes()
    return Registry({
        ("files", "list"): Tool(files.list),
        ("files", "read-file"): Tool(files.read_file),
        ("files", "stat"): Tool(files.stat),
        ("clock", "now"): Tool(clock.now),
        ("clock", "days-between"): Tool(clock.days_between),
        ("clock", "sleep"): Tool(clock.sleep),
        ("math", "add"): Tool(arithmetic.add),
        ("math", "divide"): Tool(arithmetic.divide),
        ("math", "stats"): Tool(arithmetic.stats),
        ("text", "word-count"): Tool(text.word_count),
        ("text", "reverse"): Tool(text.reverse),
        ("text", "slugify"): Tool(text.slugify),
        ("notes", "list"): Tool(notes.list),
        ("notes", "get"): Tool(notes.get),
        ("notes", "put"): Tool(notes.put, writes=True),
        ("notes", "delete"): Tool(notes.delete, writes=True),
    })


def error_text(exc: Exception) -> str:
    if isinstance(exc, ToolError):
        return str(exc)
    return f"{type(exc).__name__}: {exc}"


class ToolHost:
    """Attaches the call bridge and answers tool calls on a pool of threads."""

    def __init__(self, engine: _graphql.SchemaEngine, registry: Registry, workers: int,
                 stopping: threading.Event) -> None:
        self.engine = engine
        self.registry = registry
        self.stopping = stopping
        self.threads = [
            threading.Thread(target=self._serve, name=f"tool-worker-{n}") for n in range(workers)
        ]

    def __enter__(self) -> ToolHost:
        self.engine.attach_call_bridge()
        try:
            for thread in self.threads:
                thread.start()
        except BaseException:
            self.__exit__()  # stop the threads already running, e.g. on Ctrl-C
            raise
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stopping.set()
        # Detaching fails any call still waiting, so a query in flight returns.
        self.engine.detach_call_bridge()
        for thread in self.threads:
            if thread.is_alive():
                thread.join()

    def execute(self, query: str, variables_json: str | None = None) -> dict[str, Any]:
        # execute() blocks in C until the workers have answered, and Python runs
        # the Ctrl-C handler only in the main thread between bytecodes: run the
        # query on its own thread so the main thread stays able to be interrupted.
        outcome: list[str | BaseException] = []

        def run() -> None:
            try:
                outcome.append(self.engine.execute(query, variables_json))
            except BaseException as exc:
                outcome.append(exc)

        runner = threading.Thread(target=run, name="query", daemon=True)
        runner.start()
        while runner.is_alive():
            runner.join(0.1)
        if isinstance(outcome[0], BaseException):
            raise outcome[0]
        response: dict[str, Any] = json.loads(outcome[0])
        return response

    def _serve(self) -> None:
        while not self.stopping.is_set():
            request = self.engine.receive_tool_call(POLL_MS)
            if request is not None:
                self._answer(request)

    def _answer(self, request_text: str) -> None:
        try:
            request = json.loads(request_text)
            request_id = request["request_id"]
        except (ValueError, TypeError, KeyError):
            print(f"tool_host: dropped malformed request {request_text!r}", file=sys.stderr)
            return
        try:
            result = self.registry.call(request.get("server"), request.get("tool"),
                                        request.get("arguments", {}), request.get("operation"))
            # allow_nan=False: the engine accepts strict JSON only.
            payload = json.dumps(result, allow_nan=False)
        except Exception as exc:
            self.engine.fail_tool_call(request_id, error_text(exc))
        else:
            self.engine.respond_tool_call(request_id, payload)


def query_blocks(lines: Iterable[str]) -> Iterator[str]:
    """Yield each blank-line-separated block as soon as it is complete."""
    block: list[str] = []
    for line in lines:
        if line.strip():
            block.append(line)
        elif block:
            yield "".join(block)
            block = []
    if block:
        yield "".join(block)


def positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Run GraphQL queries against a catalogue of tools implemented in Python.",
        epilog="Tool failures show up as field values with \"isError\": true and do not change "
               "the exit status. Exit status: 0 when every response had no errors, 1 when a "
               "response carried GraphQL errors, 2 for bad arguments, an unreadable or invalid "
               "catalogue or a bad files root, 130 when interrupted.",
    )
    parser.add_argument("query", nargs="?",
                        help="GraphQL query; '-' reads queries from standard input, one per "
                             "blank-line-separated block; default: a short tour of the catalogue")
    parser.add_argument("--variables", metavar="JSON", help="variables as a JSON object")
    parser.add_argument("--catalogue", metavar="PATH", type=Path, default=DEFAULT_CATALOGUE,
                        help="catalogue JSON file (default: %(default)s)")
    parser.add_argument("--root", metavar="DIR", type=Path, default=Path("."),
                        help="directory the files tools are confined to (default: current)")
    parser.add_argument("--workers", metavar="N", type=positive_int, default=4,
                        help="threads answering tool calls (default: %(default)s)")
    parser.add_argument("--timing", action="store_true",
                        help="report on standard error how long each query took")
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        engine = _graphql.SchemaEngine.from_tool_metadata(args.catalogue.read_text(encoding="utf-8"))
        files = Files(args.root)
        variables = json.loads(args.variables) if args.variables else None
        if variables is not None and not isinstance(variables, dict):
            raise ValueError("--variables must be a JSON object")
    except (OSError, ValueError) as exc:
        print(f"tool_host: {exc}", file=sys.stderr)
        return 2
    if args.query is None:
        queries: Iterable[str] = [DEFAULT_QUERY]
        variables = DEFAULT_VARIABLES if variables is None else variables
    else:
        queries = query_blocks(sys.stdin) if args.query == "-" else [args.query]
    variables_json = None if variables is None else json.dumps(variables)

    stopping = threading.Event()
    had_errors = False
    try:
        with ToolHost(engine, build_registry(files, stopping), args.workers, stopping) as host:
            for number, query in enumerate(queries, start=1):
                started = time.perf_counter()
                response = host.execute(query, variables_json)
                elapsed_ms = (time.perf_counter() - started) * 1000
                print(json.dumps(response, indent=2), flush=True)
                if args.timing:
                    print(f"query {number}: {elapsed_ms:.1f} ms", file=sys.stderr, flush=True)
                had_errors |= bool(response.get("errors"))
    except KeyboardInterrupt:
        print("tool_host: interrupted", file=sys.stderr)
        return 130
    return 1 if had_errors else 0


if __name__ == "__main__":
    sys.exit(main())
