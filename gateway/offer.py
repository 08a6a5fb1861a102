"""What the gateway offers: the catalogue cut down before the engine is built.

A tool that is not offered is not in the engine at all, so it is an unknown
field for every caller, and `servers` and `search` show exactly what is left.
"""

from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any


@dataclass(frozen=True)
class Offer:
    """`read_only` keeps only read-only tools; `allow` (when given) and `deny`
    name servers (`SERVER`) or single tools (`SERVER.TOOL`)."""

    read_only: bool = False
    allow: frozenset[str] = frozenset()
    deny: frozenset[str] = frozenset()

    @classmethod
    def of(cls, *, read_only: bool = False, allow: Iterable[str] = (), deny: Iterable[str] = ()) -> Offer:
        return cls(read_only, frozenset(allow), frozenset(deny))

    def offers(self, server: str, tool: dict[str, Any]) -> bool:
        name = tool.get("name")
        keys = (server, f"{server}.{name}")
        if self.allow and not any(key in self.allow for key in keys):
            return False
        if any(key in self.deny for key in keys):
            return False
        return not self.read_only or _read_only(tool)

    def shape(self, groups: list[dict[str, Any]]) -> list[dict[str, Any]]:
        """The catalogue groups with only the offered tools; a server left with none is left out."""
        shaped = []
        for group in groups:
            tools = [tool for tool in group["tools"] if self.offers(group["server"], tool)]
            if tools:
                shaped.append({**group, "tools": tools})
        return shaped

    def unknown_servers(self, servers: Iterable[str]) -> list[str]:
        """Entries that name no configured server: a typo in --deny would otherwise offer everything."""
        names = set(servers)

        def known(entry: str) -> bool:
            # A server's own name may hold dots, so each dot is a possible split.
            return entry in names or any(entry[:i] in names for i, c in enumerate(entry) if c == ".")

        return sorted(entry for entry in self.allow | self.deny if not known(entry))

    def unknown_tools(self, groups: list[dict[str, Any]]) -> list[str]:
        """SERVER.TOOL entries that match no listed tool (the server may also have failed to start)."""
        listed = {group["server"] for group in groups}
        listed |= {f"{group['server']}.{tool.get('name')}" for group in groups for tool in group["tools"]}
        return sorted(entry for entry in self.allow | self.deny if entry not in listed)


def _read_only(tool: dict[str, Any]) -> bool:
    """The engine's own reading of the flag, so the cut and the engine never disagree."""
    annotations = tool.get("annotations")
    nested = annotations.get("readOnlyHint") if isinstance(annotations, dict) else None
    for value in (tool.get("readOnly"), tool.get("read_only"), tool.get("readOnlyHint"), nested):
        if isinstance(value, bool):
            return value
    return True
