"""An MCP server over stdio whose catalogue changes on request, for the supervision tests.

`grow` adds a tool answering its own name and `shrink` removes one, each then
sending tools/list_changed; `pid` names the process, which a test may kill;
EXTRA_TOOL (environment) adds a tool at start, described by EXTRA_DESCRIPTION;
a start waits while the file HOLD names exists (a restart a test holds back).
"""

import os
import time
from typing import Any

import anyio
from mcp.server.fastmcp import Context, FastMCP
from mcp.types import ToolAnnotations

server = FastMCP("live", log_level="WARNING")
READ_ONLY = ToolAnnotations(readOnlyHint=True)


def add(name: str, description: str = "Answers its own name") -> None:
    server.add_tool(lambda: name, name=name, description=description, annotations=READ_ONLY,
                    structured_output=False)


@server.tool(name="pid", annotations=READ_ONLY)
def pid() -> dict[str, Any]:
    return {"pid": os.getpid()}


@server.tool(name="sleep", annotations=READ_ONLY)
async def sleep(seconds: float) -> dict[str, Any]:
    await anyio.sleep(seconds)
    return {"slept": seconds}


def note_waiting(path: str) -> None:
    with open(f"{path}.calls", "a", encoding="utf-8") as calls:
        calls.write("waiting\n")


@server.tool(name="gate", annotations=READ_ONLY)
async def gate(path: str) -> str:
    """Answers once the file exists: a call that lasts exactly as long as a test wants. Each call
    adds a line to PATH.calls as it starts waiting."""
    note_waiting(path)
    while not os.path.exists(path):
        await anyio.sleep(0.01)
    return "opened"


@server.tool(name="grow", annotations=READ_ONLY)
async def grow(name: str, ctx: Context) -> str:  # type: ignore[type-arg]
    add(name)
    await ctx.session.send_tool_list_changed()
    return name


@server.tool(name="shrink", annotations=READ_ONLY)
async def shrink(name: str, ctx: Context) -> str:  # type: ignore[type-arg]
    server.remove_tool(name)
    await ctx.session.send_tool_list_changed()
    return name


@server.tool(name="flood", annotations=READ_ONLY)
async def flood(count: int, ctx: Context) -> str:  # type: ignore[type-arg]
    """`count` list_changed notifications at once, and a log line that tries to forge another."""
    await ctx.session.send_log_message("warning", "one\ngateway: forged", logger="a\nb")
    for _ in range(count):
        await ctx.session.send_tool_list_changed()
    return "sent"


if __name__ == "__main__":
    while (hold := os.environ.get("HOLD")) and os.path.exists(hold):
        time.sleep(0.01)
    if extra := os.environ.get("EXTRA_TOOL"):
        add(extra, os.environ.get("EXTRA_DESCRIPTION", "Answers its own name"))
    server.run("stdio")
