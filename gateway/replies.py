"""What a field gets as its reply: the members of a tool's answer, and the failure that replaces it."""

from typing import Any

from mcp.types import CallToolResult, TextContent
from pydantic import BaseModel

from . import json_text


class CallFailed(Exception):
    """A tool call that got no usable answer; the message is for the query's sender."""


def reply_of(result: CallToolResult) -> dict[str, Any]:
    """The JSON a successful call puts in its field: the same members as a tool error, and
    `content`, every block of the result in order as MCP gives it (images, audio, resources,
    links and annotations included)."""
    text = "\n".join(block.text for block in result.content if isinstance(block, TextContent))
    value = result.structuredContent
    if value is None:
        value = json_or_none(text)
    return {"isError": False, "json": value, "text": text, "content": [dump(block) for block in result.content]}


def dump(model: BaseModel) -> dict[str, Any]:
    """A result's part as MCP gives it: names as on the wire, absent members left out."""
    return model.model_dump(mode="json", by_alias=True, exclude_none=True)


def json_or_none(text: str) -> Any:
    try:
        return json_text.loads(text)
    except (ValueError, RecursionError):  # not JSON, or nested past what json reads
        return None
