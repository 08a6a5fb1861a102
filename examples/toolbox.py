#!/usr/bin/env python3
"""An MCP server over stdio with small tools: dates, arithmetic, text and notes.

The gateway's bundled configuration starts it beside two reference servers, so
every tool the default query calls goes through the same MCP path. Failures
raise ToolError, which the SDK answers as a result with isError set.
"""

import datetime as dt
import math
import re
import statistics
import unicodedata
from typing import Annotated, Any

import anyio
from mcp.server.fastmcp import FastMCP
from mcp.server.fastmcp.exceptions import ToolError
from mcp.types import ToolAnnotations
from pydantic import Field, StrictFloat, StrictInt

MAX_SLEEP_SECONDS = 60.0
Number = StrictInt | StrictFloat  # a bool is no number here, though Python says so

server = FastMCP("toolbox", instructions="Dates, arithmetic, text utilities and an in-memory notebook",
                 log_level="WARNING")
READ_ONLY = ToolAnnotations(readOnlyHint=True)
WRITES = ToolAnnotations(readOnlyHint=False)


@server.tool(name="now", annotations=READ_ONLY,
             description="Current time, optionally in another UTC offset (utc_offset_hours = 0)")
def now(utc_offset_hours: Annotated[float, Field(gt=-24, lt=24)] = 0) -> dict[str, Any]:
    moment = dt.datetime.now(dt.timezone(dt.timedelta(hours=utc_offset_hours)))
    return {"iso": moment.isoformat(timespec="seconds"), "unix": round(moment.timestamp(), 3),
            "weekday": moment.strftime("%A")}


@server.tool(name="days-between", annotations=READ_ONLY,
             description="Whole days from one ISO date to another (start, end)")
def days_between(start: str, end: str) -> dict[str, Any]:
    return {"days": (_date(end, "end") - _date(start, "start")).days}


@server.tool(name="sleep", annotations=READ_ONLY,
             description="Wait a while, up to 60 seconds, then report how long (seconds)")
async def sleep(seconds: Number) -> dict[str, Any]:
    wanted = min(max(seconds, 0.0), MAX_SLEEP_SECONDS)
    started = anyio.current_time()
    await anyio.sleep(wanted)  # cancelled when the client goes away
    return {"slept": round(anyio.current_time() - started, 3)}


@server.tool(name="add", annotations=READ_ONLY, description="Sum of a list of numbers (numbers)")
def add(numbers: list[Number]) -> dict[str, Any]:
    exact = all(isinstance(v, int) for v in numbers)
    return {"sum": sum(numbers) if exact else math.fsum(numbers)}


@server.tool(name="divide", annotations=READ_ONLY, description="Quotient of two numbers (a, b)")
def divide(a: Number, b: Number) -> dict[str, Any]:
    if b == 0:
        raise ToolError("division by zero")
    return {"quotient": a / b}


@server.tool(name="stats", annotations=READ_ONLY,
             description="Count, mean, median, minimum, maximum and spread (values)")
def stats(values: list[Number]) -> dict[str, Any]:
    if not values:
        raise ToolError("values must hold at least one number")
    return {"count": len(values), "mean": statistics.fmean(values),
            "median": statistics.median(values), "min": min(values), "max": max(values),
            "stdev": statistics.pstdev(values)}


@server.tool(name="word-count", annotations=READ_ONLY,
             description="Words, lines and characters of a text (text)")
def word_count(text: str) -> dict[str, Any]:
    return {"words": len(text.split()), "lines": len(text.splitlines()), "characters": len(text)}


@server.tool(name="reverse", annotations=READ_ONLY, description="The text backwards (text)")
def reverse(text: str) -> dict[str, Any]:
    return {"text": text[::-1]}


@server.tool(name="slugify", annotations=READ_ONLY,
             description="Lower-case ASCII words joined by dashes (text)")
def slugify(text: str) -> dict[str, Any]:
    ascii_text = unicodedata.normalize("NFKD", text).encode("ascii", "ignore").decode()
    return {"slug": re.sub(r"[^a-z0-9]+", "-", ascii_text.lower()).strip("-")}


# One event loop serves every call, so the notebook needs no lock.
notes = {"welcome": "Notes live in memory until the server exits."}


@server.tool(name="note-list", annotations=READ_ONLY, description="Titles and lengths of all notes")
def note_list() -> dict[str, Any]:
    return {"notes": [{"title": t, "length": len(b)} for t, b in sorted(notes.items())]}


@server.tool(name="note-get", annotations=READ_ONLY, description="One note's body (title)")
def note_get(title: str) -> dict[str, Any]:
    if title not in notes:
        raise ToolError(f"no note titled {title!r}")
    return {"title": title, "body": notes[title]}


@server.tool(name="note-put", annotations=WRITES, description="Create or replace a note (title, body)")
def note_put(title: Annotated[str, Field(min_length=1)], body: str) -> dict[str, Any]:
    created = title not in notes
    notes[title] = body
    return {"title": title, "created": created}


@server.tool(name="note-delete", annotations=WRITES, description="Remove a note if it exists (title)")
def note_delete(title: str) -> dict[str, Any]:
    return {"title": title, "deleted": notes.pop(title, None) is not None}


def _date(value: str, name: str) -> dt.date:
    try:
        return dt.date.fromisoformat(value)
    except ValueError:
        raise ToolError(f"{name} must be an ISO date like 2024-02-29, not {value!r}") from None


if __name__ == "__main__":
    server.run("stdio")
