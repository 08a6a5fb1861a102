"""Tool pinning: each tool's definition as it was approved, and the tools withheld since they changed.

A server can change what a tool does after a person approved it, by changing its
description or schemas. With a lock file, a tool is offered only while its
definition (name, description, input and output schemas, annotations) is the one
pinned; a changed or new tool is withheld and logged until the user pins again
(--repin). The fields the gateway answers itself are its own and never pinned.
"""

import json
import logging
import os
from pathlib import Path
from typing import Any

from .access_log import printable

logger = logging.getLogger(__name__)

PINNED_MEMBERS = ("name", "title", "description", "inputSchema", "outputSchema", "annotations")
VERSION = 1


class PinError(ValueError):
    """A lock file that cannot be read: the start stops rather than offer unchecked tools."""


def definition(tool: dict[str, Any]) -> dict[str, Any]:
    return {member: tool[member] for member in PINNED_MEMBERS if member in tool}


class Pins:
    def __init__(self, path: Path, pinned: dict[str, dict[str, Any]]) -> None:
        self.path = path
        self.pinned = pinned  # "server" -> tool name -> definition
        self._reported: set[tuple[str, str, str]] = set()

    @classmethod
    def load(cls, path: Path) -> Pins:
        """The pins in `path`; none yet (every tool pinned at the first listing) when it does not exist."""
        try:
            text = path.read_text(encoding="utf-8")
        except FileNotFoundError:
            return cls(path, {})
        except OSError as exc:
            raise PinError(f"cannot read the lock file {path}: {exc.strerror or exc}") from None
        try:
            document = json.loads(text)
        except ValueError as exc:
            raise PinError(f"the lock file {path} is not JSON: {exc}") from None
        document = document if isinstance(document, dict) else {}
        servers = document.get("servers")
        if document.get("version") != VERSION or not isinstance(servers, dict) or not all(
                isinstance(tools, dict) for tools in servers.values()):
            raise PinError(f"the lock file {path} is not a version {VERSION} lock file of this gateway")
        return cls(path, servers)

    def applied(self, groups: list[dict[str, Any]], own: Any) -> list[dict[str, Any]]:
        """The groups with only the tools whose definitions are pinned as they are; a server never
        pinned is pinned now, as listed (trust on first use), and written to the lock file."""
        first_seen = [g for g in groups if g["server"] not in self.pinned]
        if first_seen:
            for group in first_seen:
                self.pinned[group["server"]] = {t["name"]: definition(t) for t in group["tools"] if not own(t)}
            self.write()
            logger.warning("pinned the tools of %s in %s", ", ".join(g["server"] for g in first_seen), self.path)
        kept = []
        for group in groups:
            pinned = self.pinned[group["server"]]
            tools = [t for t in group["tools"] if own(t) or self._matches(group["server"], t, pinned)]
            kept.append({**group, "tools": tools})
        return kept

    def _matches(self, server: str, tool: dict[str, Any], pinned: dict[str, Any]) -> bool:
        name = tool["name"]
        known = pinned.get(name)
        if known == definition(tool):
            return True
        why = "is not pinned" if known is None else "changed since it was pinned"
        key = (server, name, json.dumps(definition(tool), sort_keys=True))
        if key not in self._reported:  # once per definition, not at every rebuild
            self._reported.add(key)
            logger.warning("tool %s.%s %s: withheld until pinned again (--repin)", server, printable(name), why)
        return False

    def repin(self) -> None:
        """Forget every pin: the next listing pins each server as it is."""
        self.pinned = {}

    def write(self) -> None:
        """Written whole beside the old file, then moved over it: a crash leaves one or the other."""
        temporary = self.path.with_name(f".{self.path.name}.{os.getpid()}.tmp")
        temporary.write_text(json.dumps({"version": VERSION, "servers": self.pinned}, indent=2, sort_keys=True)
                             + "\n", encoding="utf-8")
        temporary.replace(self.path)
