"""An MCP server with the edges real servers have, over stdio or (with an argument) Streamable HTTP.

`append` writes a line to a file after a delay, and notes in PATH.cancelled a call
cancelled before it wrote; `slow` reports progress as it goes; `stubborn` blocks its
process, so a cancellation reaches it only once it has answered; `echo_int` takes an
unbounded `int`; `status` a property named `repo-path`; `confirm` an enum whose values
differ only in case; `now` carries no annotations at all.

    python mcp_probe_server.py            stdio
    python mcp_probe_server.py PORT       Streamable HTTP on 127.0.0.1:PORT, at /mcp
    python mcp_probe_server.py PORT sse   the older HTTP+SSE transport, at /sse
"""

import sys
import time
from typing import Annotated, Literal

import anyio
from mcp.server.fastmcp import Context, FastMCP
from mcp.types import ToolAnnotations
from pydantic import Field

server = FastMCP("probe", log_level="WARNING", host="127.0.0.1", port=int(sys.argv[1]) if len(sys.argv) > 1 else 8000)
READS = ToolAnnotations(readOnlyHint=True)
WRITES = ToolAnnotations(readOnlyHint=False)


@server.tool(annotations=WRITES)
async def append(path: str, text: str, delay: float = 0.0) -> str:
    """Appends TEXT and a line break to PATH after DELAY seconds."""
    try:
        await anyio.sleep(delay)
    except anyio.get_cancelled_exc_class():
        with open(f"{path}.cancelled", "a", encoding="utf-8") as note:
            note.write(f"{text}\n")
        raise
    with open(path, "a", encoding="utf-8") as file:
        file.write(f"{text}\n")
    return text


@server.tool(annotations=READS)
async def slow(steps: int, pause: float, ctx: Context) -> str:  # type: ignore[type-arg]
    """Takes STEPS pauses, reporting progress after each."""
    for step in range(steps):
        await anyio.sleep(pause)
        await ctx.report_progress(step + 1, steps)
    return f"{steps} steps"


@server.tool(annotations=READS)
def stubborn(seconds: float, size: int) -> str:
    """Blocks the server for SECONDS, then answers SIZE characters."""
    time.sleep(seconds)
    return "s" * size


@server.tool(annotations=READS)
def echo_int(n: int) -> str:
    return repr(n)


@server.tool(annotations=READS)
def status(repo_path: Annotated[str, Field(alias="repo-path")]) -> str:
    return f"status of {repo_path}"


# FastMCP lists the alias but calls the function with it as the keyword: take it so.
server._tool_manager._tools["status"].fn = lambda **arguments: f"status of {arguments['repo-path']}"


@server.tool(annotations=READS)
def confirm(answer: Literal["Y", "y", "Yes", "yes"]) -> str:
    return answer


@server.tool()
def now() -> str:
    return str(time.time())


if __name__ == "__main__":
    server.run("stdio" if len(sys.argv) < 2 else "sse" if sys.argv[2:] == ["sse"] else "streamable-http")
