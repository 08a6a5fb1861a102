"""A server's own fields: its resources and prompts, served as fields the gateway answers itself.

A server that lists resources gets `_list_resources` and `_read_resource`, one
that lists prompts `_list_prompts` and `_get_prompt`, beside its tools in the
catalogue. The entries are marked in their `_meta`, so a call for one is
answered here (resources/list, resources/read, prompts/list, prompts/get)
rather than by tools/call; a server's own tool may share the name.
"""

import json
from typing import Any, Protocol

from mcp.types import (
    GetPromptRequest,
    GetPromptRequestParams,
    GetPromptResult,
    ListPromptsRequest,
    ListPromptsResult,
    ListResourcesRequest,
    ListResourcesResult,
    ListResourceTemplatesRequest,
    ListResourceTemplatesResult,
    ReadResourceRequest,
    ReadResourceRequestParams,
    ReadResourceResult,
)
from pydantic import ValidationError

from .replies import CallFailed, dump, json_or_none

# Their names in the catalogue. The leading "_" makes their field names
# `<server>__list_resources` and so on: a double underscore no tool of that
# server gives unless it is named so on purpose (and then the collision rule
# of gateway.names applies).
LIST_RESOURCES, READ_RESOURCE = "_list_resources", "_read_resource"
LIST_PROMPTS, GET_PROMPT = "_list_prompts", "_get_prompt"
OWN_FIELD_MARK = "gateway/answered-here"  # in the entry's _meta, which MCP keeps for such notes
DEFINITIONS: dict[str, tuple[str, dict[str, Any]]] = {
    LIST_RESOURCES: (("The server's resources and resource templates (resources/list, "
                      "resources/templates/list); each resource also as a resource_link block."),
                     {"type": "object", "properties": {}}),
    READ_RESOURCE: (("Reads one resource of the server by its URI (resources/read); each of its contents "
                     "as a resource block."),
                    {"type": "object", "properties": {"uri": {"type": "string"}}, "required": ["uri"]}),
    LIST_PROMPTS: ("The server's prompts and their arguments (prompts/list).",
                   {"type": "object", "properties": {}}),
    GET_PROMPT: (("One prompt of the server filled in with its arguments (prompts/get); the messages' "
                  "content blocks in order."),
                 {"type": "object", "properties": {"name": {"type": "string"},
                                                   "arguments": {"type": "object",
                                                                 "additionalProperties": {"type": "string"}}},
                  "required": ["name"]}),
}


class Requester(Protocol):
    """What answering needs of an upstream: its requests, and its listings page by page."""

    name: str

    async def request(self, request: Any, result_type: Any, where: str, timeout: float) -> Any: ...

    async def pages(self, kind: type[Any], result: type[Any], member: str, where: str,
                    timeout: float) -> list[dict[str, Any]]: ...


def entries(resources: bool, prompts: bool) -> list[dict[str, Any]]:
    """Catalogue entries of a server's own fields, for the capabilities it declared."""
    kinds = ([LIST_RESOURCES, READ_RESOURCE] if resources else []) + ([LIST_PROMPTS, GET_PROMPT] if prompts else [])
    return [{"name": kind, "description": DEFINITIONS[kind][0], "inputSchema": DEFINITIONS[kind][1],
             "annotations": {"readOnlyHint": True}, "_meta": {OWN_FIELD_MARK: True}} for kind in kinds]


def is_own_field(entry: dict[str, Any]) -> bool:
    """Whether a catalogue entry is an own field (a server's own tool may share its name)."""
    meta = entry.get("_meta")
    return isinstance(meta, dict) and meta.get(OWN_FIELD_MARK) is True


async def answer(upstream: Requester, kind: str, arguments: dict[str, Any], timeout: float) -> dict[str, Any]:
    """The reply of one own field of `upstream`: the tool reply's members."""
    where = f"{upstream.name}.{kind}"
    if kind == LIST_RESOURCES:
        resources = await upstream.pages(ListResourcesRequest, ListResourcesResult, "resources", where, timeout)
        templates = await upstream.pages(ListResourceTemplatesRequest, ListResourceTemplatesResult,
                                      "resourceTemplates", where, timeout)
        listing = {"resources": resources, "resourceTemplates": templates}
        links = [{"type": "resource_link", **resource} for resource in resources]
        return {"isError": False, "json": listing, "text": json.dumps(listing), "content": links}
    if kind == LIST_PROMPTS:
        listing = {"prompts": await upstream.pages(ListPromptsRequest, ListPromptsResult, "prompts", where,
                                                   timeout)}
        return {"isError": False, "json": listing, "text": json.dumps(listing), "content": []}
    if kind == READ_RESOURCE:
        uri = arguments.get("uri")
        if not isinstance(uri, str):
            raise CallFailed(f"{where}: \"uri\" must be a string")
        try:
            request = ReadResourceRequest(params=ReadResourceRequestParams(uri=uri))  # type: ignore[arg-type]
        except ValidationError:
            raise CallFailed(f"{where}: {uri!r} is not a URI") from None
        read = await upstream.request(request, ReadResourceResult, where, timeout)
        contents = [dump(c) for c in read.contents]
        blocks = [{"type": "resource", "resource": c} for c in contents]
        text = "\n".join(c["text"] for c in contents if "text" in c)
        return {"isError": False, "json": json_or_none(text), "text": text, "content": blocks}
    if kind == GET_PROMPT:
        name, values = arguments.get("name"), arguments.get("arguments")
        if not isinstance(name, str):
            raise CallFailed(f"{where}: \"name\" must be a string")
        if values is not None and not (isinstance(values, dict)
                                       and all(isinstance(v, str) for v in values.values())):
            raise CallFailed(f"{where}: \"arguments\" must map names to strings")
        asked = GetPromptRequest(params=GetPromptRequestParams(name=name, arguments=values))
        prompt = await upstream.request(asked, GetPromptResult, where, timeout)
        content = [dump(message.content) for message in prompt.messages]
        text = "\n".join(block["text"] for block in content if block.get("type") == "text")
        return {"isError": False, "json": dump(prompt), "text": text, "content": content}
    raise CallFailed(f"{where}: the gateway answers no such field")
