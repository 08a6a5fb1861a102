"""What a field gets as its reply: the members of a tool's answer, and the failure that replaces it."""

from typing import Any

from mcp.types import CallToolResult
from pydantic import BaseModel

from . import json_text

# The members of a tools/call result that the common shape may have (see call_result).
_PLAIN_MEMBERS = frozenset(("content", "isError", "structuredContent"))
_TEXT_BLOCK = frozenset(("type", "text"))


class CallFailed(Exception):
    """A tool call that got no usable answer; the message is for the query's sender."""


def call_result(raw: Any) -> dict[str, Any]:
    """A tools/call result as the server sent it, as `dump` would give its `CallToolResult`:
    `content` (each block as on the wire), `isError` and, when sent, `structuredContent`.
    The common shape (text blocks, an object or nothing as structured content) is taken as it
    is; anything else goes through the SDK's model, which refuses what is not a result
    (pydantic's ValidationError) and writes each block as MCP gives it."""
    if isinstance(raw, dict) and raw.keys() <= _PLAIN_MEMBERS:
        content, is_error = raw.get("content"), raw.get("isError", False)
        if isinstance(content, list) and type(is_error) is bool and isinstance(raw.get("structuredContent", {}), dict) \
                and all(type(block) is dict and block.keys() == _TEXT_BLOCK and block["type"] == "text"
                        and type(block["text"]) is str for block in content):
            return {**raw, "isError": is_error}
    return dump(CallToolResult.model_validate(raw))


def text_of(result: dict[str, Any]) -> str:
    """The text blocks of a result as `call_result` gives it, one after another."""
    return "\n".join(block["text"] for block in result["content"] if block.get("type") == "text")


def reply_of(result: CallToolResult | dict[str, Any]) -> dict[str, Any]:
    """The JSON a successful call puts in its field: the same members as a tool error, and
    `content`, every block of the result in order as MCP gives it (images, audio, resources,
    links and annotations included). `result` is the SDK's model or what `call_result` gives."""
    if isinstance(result, CallToolResult):
        result = dump(result)
    text = text_of(result)
    value = result.get("structuredContent")
    if value is None:
        value = json_or_none(text)
    return {"isError": False, "json": value, "text": text, "content": result["content"]}


def dump(model: BaseModel) -> dict[str, Any]:
    """A result's part as MCP gives it: names as on the wire, absent members left out."""
    return model.model_dump(mode="json", by_alias=True, exclude_none=True)


def json_or_none(text: str) -> Any:
    try:
        return json_text.loads(text)
    except (ValueError, RecursionError):  # not JSON, or nested past what json reads
        return None
