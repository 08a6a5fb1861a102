"""What the gateway offers: the catalogue cut down before the engine is built.

A tool that is not offered is not in the engine at all, so it is an unknown
field for every caller, and `servers` and `search` show exactly what is left.
"""

from collections.abc import Callable, Iterable
from dataclasses import dataclass, replace
from typing import Any

from .fields import FieldIndex
from .names import distinct


class OfferError(ValueError):
    pass


@dataclass(frozen=True)
class Offer:
    """`read_only` keeps only read-only tools; `allow` (when given) and `deny`
    name servers (`SERVER`) or single tools (`SERVER.TOOL`, with the tool's own
    spelling); `resolved` also takes a tool's field name, as `search` shows it."""

    read_only: bool = False
    allow: frozenset[str] = frozenset()
    deny: frozenset[str] = frozenset()
    # With read_only, once resolved: the (server, tool) pairs the engine reads as read-only.
    readers: frozenset[tuple[str, str]] | None = None

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
        if not self.read_only:
            return True
        assert self.readers is not None, "a read-only offer is resolved before it cuts"
        return (server.strip(), str(name).strip()) in self.readers  # as the engine trims them

    def shape(self, groups: list[dict[str, Any]]) -> list[dict[str, Any]]:
        """The catalogue groups with only the offered tools; a server left with none is left out."""
        shaped = []
        for group in groups:
            tools = [tool for tool in group["tools"] if self.offers(group["server"], tool)]
            if tools:
                shaped.append({**group, "tools": tools})
        return shaped

    def unknown_servers(self, servers: Iterable[str]) -> list[str]:
        """SERVER.TOOL entries whose server is not configured, found before anything starts. An entry
        without a dot may be a field name too: resolved() checks it once the tools are listed."""
        names = set(servers)
        return sorted(entry for entry in self.allow | self.deny if "." in entry and not _names_server(entry, names))

    def resolved(self, groups: list[dict[str, Any]], index: Callable[[], FieldIndex],
                 down: Iterable[str] = ()) -> Offer:
        """The offer with each field name turned into the SERVER.TOOL it names. `index` gives the
        field index of an engine over every listed tool, so the names and read-only flags are the
        engine's own; it is asked only for a read-only offer or an entry that names neither a
        server nor a tool. An entry that names no listed
        server, tool or field stops the start (OfferError): a typo in --deny would otherwise
        leave the tool it meant callable. Entries for the servers that are `down` (configured,
        not started) cannot be checked and are kept as they are."""
        unchecked = set(down)
        known = {group["server"] for group in groups}
        known |= {entry for entry in self.allow | self.deny if _names_server(entry, unchecked)}
        known |= {f"{group['server']}.{tool.get('name')}" for group in groups for tool in group["tools"]}
        listing, readers = None, None
        if self.read_only:  # the engine's own reading of each tool's flag
            listing = index()
            readers = frozenset((hit.server, hit.tool) for hit in listing.hits if hit.read_only)
        if all(entry in known for entry in self.allow | self.deny):
            return replace(self, readers=readers)
        listing = listing or index()
        fields: dict[str, set[str]] = {}
        for hit in listing.hits:
            fields.setdefault(hit.field, set()).add(f"{hit.server}.{hit.tool}")
        # And the names fields are served by once repeated names are told apart (names.py): a name
        # that means one tool before and another after (`h_a_b_2`, a tool's own name or the renamed
        # `h_a_b`) is refused, as is one several tools share, rather than guessed.
        for renaming in distinct(groups, listing, report=False)[1]:
            fields.setdefault(renaming.field, set()).add(f"{renaming.server}.{renaming.tool}")
        if ambiguous := sorted(entry for entry in self.allow | self.deny
                               if entry not in known and len(fields.get(entry, ())) > 1):
            raise OfferError(f"--allow/--deny {', '.join(ambiguous)}: this field name is shared by several tools "
                             f"(renamed to be told apart); name each as SERVER.TOOL with the tool's own spelling")

        def keys(entries: frozenset[str]) -> frozenset[str]:
            return frozenset(key for entry in entries
                             for key in ({entry} if entry in known else fields.get(entry, ())))

        if unknown := sorted(entry for entry in self.allow | self.deny if entry not in known | fields.keys()):
            raise OfferError(f"--allow/--deny {', '.join(unknown)}: no listed server, tool or field has "
                             f"this name (name a tool as SERVER.TOOL with the tool's own spelling, or by its "
                             f"field name as `search` shows it)")
        return replace(self, allow=keys(self.allow), deny=keys(self.deny), readers=readers)


def _names_server(entry: str, servers: set[str]) -> bool:
    """Whether an entry is SERVER or SERVER.TOOL for one of `servers`. A server's own name may
    hold dots, so each dot is a possible split."""
    return entry in servers or any(entry[:i] in servers for i, c in enumerate(entry) if c == ".")

