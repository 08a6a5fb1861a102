#!/usr/bin/env python3
"""What an agent must read of the gateway's MCP face: the characters of `tools/list` (with and
without the re-served tools) and of the whole SDL the `schema` tool gives, for the bundled
servers and for six servers.

Run from the repository root (the module built in build/, the npm servers installed):

    tools/devroot env PYTHONPATH=build PATH=/opt/dive-ziri-npm/node_modules/.bin:/usr/bin:/bin \\
        python3 bench/face_size.py

It speaks to the gateway over stdio as a client would, so the same script measures any
version of the gateway (PYTHONPATH decides which).
"""

from __future__ import annotations

import asyncio
import json
import os
import sys
import tempfile
from pathlib import Path
from typing import Any

from mcp import ClientSession
from mcp.client.stdio import StdioServerParameters, stdio_client

REPO = Path(__file__).resolve().parent.parent
EXAMPLES = REPO / "examples"


def bundled() -> dict[str, Any]:
    servers: dict[str, Any] = json.loads((EXAMPLES / "servers.json").read_text())["mcpServers"]
    for entry in servers.values():  # paths as seen from the examples folder
        entry["args"] = [str(EXAMPLES / a) if a.startswith("./") else a for a in entry.get("args", ())]
        if "cwd" in entry:
            entry["cwd"] = str(EXAMPLES / entry["cwd"])
        entry["env"] = {k: str(EXAMPLES / v) if v.startswith("./") else v for k, v in entry.get("env", {}).items()}
    return servers


def six() -> dict[str, Any]:
    return {**bundled(), "everything": {"command": "mcp-server-everything"},
            "thinking": {"command": "mcp-server-sequential-thinking"},
            "content": {"command": sys.executable, "args": [str(REPO / "tests" / "mcp_content_server.py")]}}


async def measure(servers: dict[str, Any]) -> dict[str, int]:
    with tempfile.TemporaryDirectory() as folder:
        config = Path(folder) / "servers.json"
        config.write_text(json.dumps({"mcpServers": servers}), encoding="utf-8")
        sizes = {}
        for reserve in (False, True):
            args = ["-m", "gateway", "--mcp", "--config", str(config), *(["--mcp-tools"] if reserve else [])]
            params = StdioServerParameters(command=sys.executable, args=args, env=dict(os.environ), cwd=REPO)
            async with stdio_client(params) as (read, write), ClientSession(read, write) as session:
                await session.initialize()
                listed = await session.list_tools()
                text = json.dumps(listed.model_dump(mode="json", by_alias=True, exclude_none=True))
                sizes["tools/list, re-served" if reserve else "tools/list"] = len(text)
                if not reserve:
                    sdl = (await session.call_tool("schema", {})).content[0]
                    sizes["SDL"] = len(getattr(sdl, "text", ""))
        return sizes


def main() -> None:
    for name, servers in (("bundled (3)", bundled()), ("six", six())):
        sizes = asyncio.run(measure(servers))
        print(f"{name:12} " + "  ".join(f"{key}: {value:,}" for key, value in sizes.items()), flush=True)


if __name__ == "__main__":
    main()
