"""An MCP server over stdio whose tools misbehave on request, for the gateway tests.

With PID_FILE set it writes its process id there once it runs; with SLEEP_FILE
set, a call of `sleep` writes that file as it begins; with GATHER_DIR set it
has one more tool, `gather`, which answers only once calls from every server
sharing that folder have met there.
"""

import os
import sys
import time
import uuid
from pathlib import Path
from typing import Any

import anyio
from mcp.server.fastmcp import FastMCP
from mcp.server.fastmcp.exceptions import ToolError
from mcp.types import ToolAnnotations

server = FastMCP("test", instructions=os.environ.get("DESCRIPTION"), log_level="WARNING")
READ_ONLY = ToolAnnotations(readOnlyHint=True)


@server.tool(name="echo-args", annotations=READ_ONLY, description="The arguments, as structured content")
def echo_args(value: Any = None, number: int = 0) -> dict[str, Any]:
    return {"value": value, "number": number, "server": os.environ.get("NAME")}


@server.tool(name="text", annotations=READ_ONLY, structured_output=False)
def text(body: str) -> str:
    return body


@server.tool(name="fail", annotations=READ_ONLY, description="Always an isError result")
def fail(reason: str = "it went wrong") -> str:
    raise ToolError(reason)


@server.tool(name="sleep", annotations=READ_ONLY, description="Answers after the given seconds")
async def sleep(seconds: float) -> dict[str, Any]:
    if sleep_file := os.environ.get("SLEEP_FILE"):
        Path(sleep_file).write_text("sleeping", encoding="utf-8")
    await anyio.sleep(seconds)
    return {"slept": seconds}


@server.tool(name="exit", annotations=READ_ONLY, description="Ends the server in the middle of the call")
def exit_now() -> str:
    print("exiting on request", file=sys.stderr, flush=True)
    os._exit(3)


@server.tool(name="write", description="Not read-only, so a mutation")
def write() -> dict[str, Any]:
    return {"written": True}


GATHER_WAIT = 30  # seconds a call waits for the others before it answers unmet


async def gather(count: int) -> dict[str, Any]:
    """Leaves a mark in GATHER_DIR, then waits until `count` marks are there: all
    `count` calls meet only if they run at the same time."""
    folder = Path(os.environ["GATHER_DIR"])
    (folder / uuid.uuid4().hex).touch()
    with anyio.move_on_after(GATHER_WAIT):
        while len(os.listdir(folder)) < count:
            await anyio.sleep(0.01)
    return {"met": len(os.listdir(folder)) >= count}


if os.environ.get("GATHER_DIR"):
    server.tool(name="gather", annotations=READ_ONLY)(gather)


def freeze(seconds: float) -> str:
    """Blocks the whole process: the server reads nothing meanwhile."""
    time.sleep(seconds)
    return "thawed"


if os.environ.get("FREEZE"):
    server.tool(name="freeze", annotations=READ_ONLY)(freeze)


if __name__ == "__main__":
    if pid_file := os.environ.get("PID_FILE"):
        Path(pid_file).write_text(str(os.getpid()), encoding="utf-8")
    server.run("stdio")
