"""An MCP server that gives every kind of content and asks things of its client.

Run over stdio, or with `--http PORT_FILE` over Streamable HTTP on a loopback
port of its own choosing, written to PORT_FILE once it listens (`--sse` for
the older SSE transport). With NOISE=n it first writes n lines that are not
JSON-RPC to its standard output.
"""

import asyncio
import base64
import os
import socket
import sys
from enum import StrEnum
from pathlib import Path
from typing import Any

from mcp.server.fastmcp import Context, FastMCP
from pydantic import BaseModel
from mcp.types import (
    Annotations,
    AudioContent,
    BlobResourceContents,
    EmbeddedResource,
    ImageContent,
    ResourceLink,
    SamplingMessage,
    TextContent,
    TextResourceContents,
    ToolAnnotations,
)

server = FastMCP("content", instructions="Every kind of content", log_level="WARNING")
READ_ONLY = ToolAnnotations(readOnlyHint=True)
# Not valid images or sounds, only bytes to compare: every byte value, so any
# re-encoding on the way shows.
PIXELS = bytes(range(256)) * 4
SOUND = bytes(reversed(range(256))) * 2


@server.tool(name="every-content", annotations=READ_ONLY, structured_output=False)
def every_content() -> list[Any]:
    """One block of each kind, in a fixed order, some with annotations."""
    return [
        TextContent(type="text", text="caption", annotations=Annotations(audience=["user"], priority=0.5)),
        ImageContent(type="image", data=base64.b64encode(PIXELS).decode(), mimeType="image/png"),
        AudioContent(type="audio", data=base64.b64encode(SOUND).decode(), mimeType="audio/wav"),
        EmbeddedResource(type="resource", resource=TextResourceContents(
            uri="memo://one", mimeType="text/plain", text="embedded words")),
        EmbeddedResource(type="resource", resource=BlobResourceContents(
            uri="memo://two", mimeType="application/octet-stream", blob=base64.b64encode(PIXELS[:16]).decode())),
        ResourceLink(type="resource_link", uri="memo://three", name="three", title="Three", description="a link",
                     mimeType="text/markdown", size=42),
    ]


@server.tool(name="image", annotations=READ_ONLY, structured_output=False)
def image(size: int) -> ImageContent:
    """An image of `size` bytes."""
    return ImageContent(type="image", data=base64.b64encode(b"\x89PNG" + bytes(size - 4)).decode(),
                        mimeType="image/png")


class Level(StrEnum):
    low = "low"
    high = "high"


class Item(BaseModel):
    id: int
    level: Level
    tags: list[str]


class Owner(BaseModel):
    name: str
    email: str | None


class Node(BaseModel):
    """A tree: its output schema refers to itself."""
    name: str
    children: list[Node]


class Report(BaseModel):
    title: str
    owner: Owner
    items: list[Item]
    tree: Node


@server.tool(name="report", annotations=READ_ONLY)
def report(count: int) -> Report:
    """A structured result with nested objects, lists, an enum and a recursive part."""
    return Report(title=f"{count} items", owner=Owner(name="ada", email=None),
                  items=[Item(id=n, level=Level.high if n % 2 else Level.low, tags=["a"] * n) for n in range(count)],
                  tree=Node(name="root", children=[Node(name="leaf", children=[])]))


@server.tool(name="roots", annotations=READ_ONLY)
async def roots(ctx: Context) -> dict[str, Any]:  # type: ignore[type-arg]
    """The roots its client gave when asked."""
    listed = await ctx.session.list_roots()
    return {"roots": [str(root.uri) for root in listed.roots]}


@server.tool(name="sample", annotations=READ_ONLY, structured_output=False)
async def sample(ctx: Context) -> str:  # type: ignore[type-arg]
    """Asks the client's model for words: a client without one refuses."""
    reply = await ctx.session.create_message(
        [SamplingMessage(role="user", content=TextContent(type="text", text="hello"))], max_tokens=5)
    return str(reply.content)


@server.tool(name="chatty", annotations=READ_ONLY)
async def chatty(steps: int, ctx: Context) -> dict[str, Any]:  # type: ignore[type-arg]
    """Logs at every level it is given and reports progress on the way."""
    await ctx.log("debug", "a debug line")
    await ctx.log("warning", "a warning line", logger_name="chatty")
    for step in range(steps):
        await ctx.report_progress(step + 1, steps, f"step {step + 1}")
    return {"steps": steps}


@server.tool(name="header", annotations=READ_ONLY)
def header(name: str, ctx: Context) -> dict[str, Any]:  # type: ignore[type-arg]
    """One header of the HTTP request that carried the call (none over stdio)."""
    request = ctx.request_context.request
    return {"value": None if request is None else request.headers.get(name)}


@server.resource("memo://notes/today", name="today", description="Today's note", mime_type="text/plain")
def today() -> str:
    return "water the plants"


@server.resource("memo://data/blob", name="blob", mime_type="application/octet-stream")
def blob() -> bytes:
    return PIXELS[:32]


@server.resource("memo://notes/{day}", name="day", description="The note of one day")
def day(day: str) -> str:
    return f"note of {day}"


@server.prompt(name="greet", description="A greeting for someone")
def greet(who: str) -> str:
    return f"Say hello to {who}."


def _serve_http(port_file: Path, transport: str) -> None:
    import uvicorn

    # Bound here, so the port is known before anyone connects and no other
    # process can take it in between.
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", 0))
    app = server.streamable_http_app() if transport == "http" else server.sse_app()
    config = uvicorn.Config(app, log_level="warning", lifespan="on")
    uv = uvicorn.Server(config)

    async def run() -> None:
        serving = asyncio.ensure_future(uv.serve(sockets=[sock]))
        while not uv.started and not serving.done():
            await asyncio.sleep(0.01)
        port_file.write_text(str(sock.getsockname()[1]), encoding="utf-8")
        await serving

    asyncio.run(run())


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] in ("--http", "--sse"):
        _serve_http(Path(sys.argv[2]), sys.argv[1][2:])
    else:
        for n in range(int(os.environ.get("NOISE", "0"))):
            print(f"starting, line {n}", flush=True)
        server.run("stdio")
