"""Synthetic tool catalogues for the benchmarks.

Tools come ten to a server, so the number of servers grows with the catalogue.
Descriptions are about sixty bytes of plain ASCII, like short real ones.
"""

from __future__ import annotations

import json
import re
from dataclasses import dataclass

TOOLS_PER_SERVER = 10
_NOT_NAME = re.compile(r"[^A-Za-z0-9_]")


@dataclass(frozen=True, slots=True)
class Tool:
    server: str
    name: str
    description: str
    read_only: bool

    @property
    def field(self) -> str:
        return field_name(self.server, self.name)


def _sanitize(text: str) -> str:
    text = _NOT_NAME.sub("_", text) or "_"
    return "_" + text if text[0].isdigit() else text


def field_name(server: str, tool: str) -> str:
    return f"{_sanitize(server)}_{_sanitize(tool)}"


def make_tools(count: int) -> list[Tool]:
    return [
        Tool(
            server=f"srv{i // TOOLS_PER_SERVER}",
            name=f"tool{i}",
            description=f"Tool number {i}: reads its input and returns a JSON result.",
            read_only=i % 3 != 0,
        )
        for i in range(count)
    ]


def catalogue_json(tools: list[Tool]) -> str:
    return json.dumps(
        [
            {"server": t.server, "name": t.name, "description": t.description, "readOnly": t.read_only}
            for t in tools
        ]
    )
