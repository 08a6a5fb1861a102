"""The upstream servers' resources and prompts, served by the MCP face as its own.

Each server that offers resources or prompts has fields the gateway answers
itself (`<server>__list_resources`, `__read_resource`, `__list_prompts`,
`__get_prompt`); the relay asks them through the front, as any document is
run, so limits, generations and failures are the same as for tools.

A resource keeps its URI; which server a URI belongs to is known from the last
listing, or from a template whose fixed beginning it starts with. A prompt is
served as `<server>_<prompt>`, so that two servers' prompts of one name both stay.
"""

import base64
import logging
from dataclasses import dataclass
from typing import Any

from mcp import types
from mcp.server.lowlevel.helper_types import ReadResourceContents
from mcp.shared.exceptions import McpError

from .front import RequestError
from .generation import Generation
from .lifecycle import Gateway
from .limits import Limits
from .own_fields import GET_PROMPT, LIST_PROMPTS, LIST_RESOURCES, READ_RESOURCE

logger = logging.getLogger(__name__)

KINDS = (LIST_RESOURCES, READ_RESOURCE, LIST_PROMPTS, GET_PROMPT)


@dataclass(frozen=True)
class Offered:
    """Which servers of a generation offer resources and prompts: server -> kind -> field."""

    fields: dict[str, dict[str, str]]

    @classmethod
    def of(cls, generation: Generation) -> Offered:
        fields: dict[str, dict[str, str]] = {}
        for field, tool in generation.schema.tools.items():
            name, own = generation.routes.get((tool.server, tool.tool), (tool.tool, False))
            if own and name in KINDS:
                fields.setdefault(tool.server, {})[name] = field
        return cls(fields)

    def servers(self, kind: str) -> list[str]:
        return [server for server, kinds in self.fields.items() if kind in kinds]


class Relay:
    """Lists, reads and fills in through the gateway's current generation."""

    def __init__(self, gateway: Gateway, limits: Limits) -> None:
        self.gateway = gateway
        self.limits = limits
        self._owners: dict[str, str] = {}  # resource URI -> its server, from the last listing
        self._prefixes: list[tuple[str, str]] = []  # a template's fixed beginning, its server
        self._prompts: dict[str, tuple[str, str]] = {}  # served name -> (server, prompt)

    def offered(self) -> Offered:
        generation = self.gateway.generation
        assert generation is not None
        return Offered.of(generation)

    async def _answers(self, kind: str, servers: list[str], arguments: str = "",
                       variables: dict[str, Any] | None = None) -> dict[str, Any]:
        """Each server's `json` for one of its own fields, all in one document; a server whose
        field failed is left out (and logged), as one tool's failure does not fail the others."""
        if not servers:
            return {}
        used = sorted(name for name in ("uri", "name", "arguments") if f"${name}" in arguments)
        declared = "(" + ", ".join(f"${n}: {'JSON' if n == 'arguments' else 'String!'}" for n in used) + ")" \
            if used else ""
        try:
            async with self.gateway.taken() as generation:
                # The fields of the generation that runs the document: one swapped in since the
                # servers were chosen may no longer offer some.
                offered = Offered.of(generation)
                servers = [server for server in servers if kind in offered.fields.get(server, {})]
                if not servers:
                    return {}
                fields = " ".join(f"s{n}: {offered.fields[server][kind]}{arguments} {{ isError json text }}"
                                  for n, server in enumerate(servers))
                front = generation.front
                prepared = await front.prepare_async(f"query{declared} {{ {fields} }}", None, self.limits)
                response = await front.run(prepared, variables, self.limits)
        except RequestError as exc:
            raise McpError(types.ErrorData(code=types.INVALID_PARAMS, message=str(exc))) from None
        data = response.get("data") or {}
        answers = {}
        for n, server in enumerate(servers):
            reply = data.get(f"s{n}") or {"isError": True, "text": "no answer"}
            if reply.get("isError"):
                logger.info("%s of %s failed: %s", kind, server, reply.get("text"))
            else:
                answers[server] = reply.get("json")
        return answers

    async def listing(self) -> tuple[list[types.Resource], list[types.ResourceTemplate]]:
        listed = await self._answers(LIST_RESOURCES, self.offered().servers(LIST_RESOURCES))
        resources: list[types.Resource] = []
        templates: list[types.ResourceTemplate] = []
        owners: dict[str, str] = {}
        prefixes: list[tuple[str, str]] = []
        for server, value in listed.items():
            value = value if isinstance(value, dict) else {}
            for entry in value.get("resources") or ():
                resource = types.Resource.model_validate(entry)
                owners.setdefault(str(resource.uri), server)
                resources.append(resource)
            for entry in value.get("resourceTemplates") or ():
                template = types.ResourceTemplate.model_validate(entry)
                prefixes.append((template.uriTemplate.split("{", 1)[0], server))
                templates.append(template)
        self._owners, self._prefixes = owners, prefixes
        return resources, templates

    async def read(self, uri: str) -> list[ReadResourceContents]:
        if uri not in self._owners and not any(uri.startswith(p) for p, _ in self._prefixes):
            await self.listing()
        server = self._owners.get(uri) or next((s for p, s in self._prefixes if p and uri.startswith(p)), None)
        if server is None:
            raise McpError(types.ErrorData(code=types.INVALID_PARAMS, message=f"no server lists the resource {uri}"))
        try:
            async with self.gateway.taken() as generation:  # the field is named and run on one generation
                field = Offered.of(generation).fields.get(server, {}).get(READ_RESOURCE)
                if field is None:
                    raise McpError(types.ErrorData(code=types.INVALID_PARAMS, message=f"{server} reads no resources"))
                front = generation.front
                prepared = await front.prepare_async(
                    f"query ($uri: String!) {{ r: {field}(uri: $uri) {{ content {{ resource {{ uri mimeType text "
                    f"blob }} }} }} }}", None, self.limits)
                response = await front.run(prepared, {"uri": uri}, self.limits)
        except RequestError as exc:
            raise McpError(types.ErrorData(code=types.INVALID_PARAMS, message=str(exc))) from None
        reply = (response.get("data") or {}).get("r")
        if reply is None:
            message = "; ".join(e.get("message", "") for e in response.get("errors") or ()) or "no answer"
            raise McpError(types.ErrorData(code=types.INTERNAL_ERROR, message=message))
        contents = [{k: v for k, v in (block.get("resource") or {}).items() if v is not None}
                    for block in reply.get("content") or ()]
        return [ReadResourceContents(content=base64.b64decode(c["blob"]) if "blob" in c else c.get("text") or "",
                                     mime_type=c.get("mimeType")) for c in contents]

    async def prompts(self) -> list[types.Prompt]:
        listed = await self._answers(LIST_PROMPTS, self.offered().servers(LIST_PROMPTS))
        prompts, names = [], {}
        for server, value in listed.items():
            for entry in (value if isinstance(value, dict) else {}).get("prompts") or ():
                prompt = types.Prompt.model_validate(entry)
                served = f"{server}_{prompt.name}"
                names[served] = (server, prompt.name)
                prompts.append(prompt.model_copy(update={"name": served}))
        self._prompts = names
        return prompts

    async def prompt(self, name: str, arguments: dict[str, str] | None) -> types.GetPromptResult:
        if name not in self._prompts:
            await self.prompts()
        if name not in self._prompts:
            raise McpError(types.ErrorData(code=types.INVALID_PARAMS, message=f"no prompt named {name!r}"))
        server, prompt = self._prompts[name]
        got = await self._answers(GET_PROMPT, [server], "(name: $name, arguments: $arguments)",
                                  {"name": prompt, "arguments": arguments or {}})
        if server not in got:
            raise McpError(types.ErrorData(code=types.INTERNAL_ERROR, message=f"{server} did not give {prompt!r}"))
        return types.GetPromptResult.model_validate(got[server])
