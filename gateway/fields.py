"""The field index of one engine: which field answers which (server, tool), as the engine says.

The engine names every tool's field and reads its read-only flag; this index
is its `search` and `servers` views, asked once per generation, so the offer,
the schema, tracing, metrics and the MCP face all read the engine's own
answer instead of re-deriving it.
"""

import json
from dataclasses import dataclass
from typing import Any


@dataclass(frozen=True)
class Hit:
    """One catalogue tool as the engine's `search` view gives it."""

    field: str
    server: str
    tool: str
    read_only: bool
    description: str


class FieldIndex:
    """Every tool's field in catalogue order, and the servers' descriptions."""

    def __init__(self, hits: tuple[Hit, ...], servers: dict[str, str]) -> None:
        self.hits = hits
        self.servers = servers  # server name -> its description ("" when it gave none)
        # The engine answers a field with the first tool that has its name.
        self.fields: dict[str, Hit] = {}
        self._by_tool: dict[tuple[str, str], Hit] = {}
        for hit in hits:
            self.fields.setdefault(hit.field, hit)
            self._by_tool.setdefault((hit.server, hit.tool), hit)

    @classmethod
    def of(cls, engine: Any) -> FieldIndex:
        """Asked before the engine's bridge is attached: once tool calls can be waiting, an
        execute on the loop could wait for a worker they hold."""
        view = json.loads(engine.execute("{ search servers }"))["data"]
        hits = tuple(Hit(h["field"], h["server"], h["tool"], h["readOnly"], h["description"]) for h in view["search"])
        return cls(hits, {s["name"]: s["description"] for s in view["servers"]})

    def field_of(self, server: str, tool: str) -> str | None:
        hit = self._by_tool.get((server, tool))
        return hit.field if hit is not None else None
