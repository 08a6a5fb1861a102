"""The user's word on which tools only read, over what the servers annotate.

MCP takes a tool without `readOnlyHint` as one that may write, so a server that
annotates nothing (many do) offers only Mutation fields. A configuration entry
may say otherwise ("readOnly", "readOnlyTools", "writeTools"), and the reverse
for a tool whose annotation claims too little. The flag is set in the
catalogue itself, so the engine, the schema, GET and --read-only all read the
same answer.
"""

import logging
from typing import Any

from .config import ServerConfig
from .offer import OfferError
from .own_fields import is_own_field

logger = logging.getLogger(__name__)

FLAGS = ("readOnly", "read_only", "readOnlyHint")  # the engine reads these before the annotation


def marked(group: dict[str, Any], config: ServerConfig) -> dict[str, Any]:
    """`group` with each tool's read-only flag as `config` says. A "writeTools" entry that names
    no listed tool stops the build (OfferError): its typo would leave a writing tool open to GET."""
    if config.read_only is None and not config.read_only_tools and not config.write_tools:
        return group
    listed = {tool.get("name") for tool in group["tools"]}
    if missing := sorted(config.write_tools - listed):
        raise OfferError(f"server {config.name!r}: \"writeTools\" names no listed tool: {', '.join(missing)}")
    if missing := sorted(config.read_only_tools - listed):
        logger.warning("server %r: \"readOnlyTools\" names no listed tool: %s", config.name, ", ".join(missing))
    tools = []
    for tool in group["tools"]:
        if not is_own_field(tool):
            wanted = config.reads_only(str(tool.get("name")))
            if wanted is not None:
                annotations = tool.get("annotations") if isinstance(tool.get("annotations"), dict) else {}
                tool = {key: value for key, value in tool.items() if key not in FLAGS}
                tool["annotations"] = {**annotations, "readOnlyHint": wanted}
        tools.append(tool)
    return {**group, "tools": tools}
