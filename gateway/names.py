"""Field names: the engine's naming rule, and a distinct name for every offered field.

The engine names a tool's field `<server>_<tool>`, each part made a GraphQL
name, and answers a name with the first tool that has it. Two servers whose
names differ only where the rule evens them out (`q-1` and `q_1`) would hide
the later one's tools, so before the engine is built every field that would
repeat a name is renamed in the catalogue, and its calls are mapped back.
"""

import logging
from dataclasses import dataclass
from typing import Any

from .access import printable

logger = logging.getLogger(__name__)

BUILT_IN = frozenset({"__typename"})  # the one built-in field a tool's name can equal


def sanitize(text: str) -> str:
    """The engine's GraphQL name of a server or tool name (the catalogue trims names first)."""
    text = text.strip()
    name = "".join(c if c.isascii() and (c.isalnum() or c == "_") else "_" for c in text) or "_"
    return "_" + name if name[0].isdigit() else name


def field_name(server: str, tool: str) -> str:
    return f"{sanitize(server)}_{sanitize(tool)}"


@dataclass(frozen=True)
class Renamed:
    server: str
    tool: str  # the name the server knows
    served_as: str  # the tool name in the catalogue, whose field is unique


def distinct(groups: list[dict[str, Any]], report: bool = True) -> tuple[list[dict[str, Any]], list[Renamed]]:
    """The catalogue with every field name unique, and what was renamed.

    In catalogue order (servers as configured, tools as listed) the first
    field keeps its name; a later one that would repeat a name in use becomes
    `<tool>_2`, `<tool>_3`, ..., the first number whose field is still free,
    so the same servers always give the same names. `report` logs each renaming.
    """
    taken = set(BUILT_IN)
    numbers: dict[str, int] = {}  # the number the next repeat of a field tries first: linear in repeats
    renamed: list[Renamed] = []
    shaped = []
    for group in groups:
        server, tools = group["server"], []
        for tool in group["tools"]:
            name = tool["name"]
            field = field_name(server, name)
            if field in taken:
                number = numbers.get(field, 2)
                while field_name(server, f"{name}_{number}") in taken:
                    number += 1
                numbers[field] = number + 1
                served_as = f"{name}_{number}"
                if report:
                    logger.warning("field %s of %s.%s is already taken; served as %s", field, server,
                                   printable(name), field_name(server, served_as))
                renamed.append(Renamed(server, name, served_as))
                tool = {**tool, "name": served_as}
                field = field_name(server, served_as)
            taken.add(field)
            tools.append(tool)
        shaped.append({**group, "tools": tools})
    return shaped, renamed
