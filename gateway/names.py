"""Distinct field names: every offered field's name used once.

The engine names a tool's field from its server's and its own name, and
answers a name with the first tool that has it. Two servers whose names
differ only where the engine's rule evens them out (`q-1` and `q_1`) would
hide the later one's tools, so every field that would repeat a name is
renamed in the catalogue, and its calls are mapped back.

A renamed tool is served as `<tool>_<n>`, its name trimmed as the catalogue
trims it: the engine's rule turns each character into one, so that field is
the engine's field of the tool followed by `_<n>`, known without asking an
engine again.
"""

import logging
from dataclasses import dataclass
from typing import Any

from .access_log import printable
from .fields import FieldIndex

logger = logging.getLogger(__name__)

BUILT_IN = frozenset({"__typename"})  # the one built-in field a tool's name can equal


@dataclass(frozen=True)
class Renamed:
    server: str
    tool: str  # the name the server knows
    served_as: str  # the tool name in the catalogue, whose field is unique
    field: str  # that field


def distinct(groups: list[dict[str, Any]], index: FieldIndex,
             report: bool = True) -> tuple[list[dict[str, Any]], list[Renamed]]:
    """The catalogue with every field name unique, and what was renamed; `index` is the field
    index of an engine built from `groups`.

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
            field = index.field_of(server.strip(), name.strip())
            if field is None:  # not a tool the engine kept: it names no field
                tools.append(tool)
                continue
            if field in taken:
                number = numbers.get(field, 2)
                while f"{field}_{number}" in taken:
                    number += 1
                numbers[field] = number + 1
                served_as, served_field = f"{name.strip()}_{number}", f"{field}_{number}"
                if report:
                    logger.warning("field %s of %s.%s is already taken; served as %s", field, server,
                                   printable(name), served_field)
                renamed.append(Renamed(server, name, served_as, served_field))
                field = served_field
                tool = {**tool, "name": served_as}
            taken.add(field)
            tools.append(tool)
        shaped.append({**group, "tools": tools})
    return shaped, renamed
