"""The same catalogue served by graphql-core 3.2, the engine a Python user would pick.

One top-level field per tool, a JSON scalar for every value, and resolvers that
return what _graphql returns: the placeholder object while no host answers,
otherwise whatever the host thread hands back. `servers` and `search` are JSON
scalar fields whose resolvers build the same lists from the tool records on
every request, as _graphql writes them on every request.
"""

from __future__ import annotations

import asyncio
import json
import queue
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from graphql import (
    GraphQLArgument,
    GraphQLBoolean,
    GraphQLField,
    GraphQLInt,
    GraphQLList,
    GraphQLNonNull,
    GraphQLObjectType,
    GraphQLScalarType,
    GraphQLSchema,
    GraphQLString,
    graphql,
    graphql_sync,
    validate_schema,
)
from graphql.utilities import value_from_ast_untyped

from catalogue import Tool, field_name

def _identity(value: Any) -> Any:
    return value


def _literal(node: Any, variables: dict[str, Any] | None = None) -> Any:
    return value_from_ast_untyped(node, variables)


JSON = GraphQLScalarType("JSON", serialize=_identity, parse_value=_identity, parse_literal=_literal)

# The arguments the benchmark queries pass; graphql-core needs them declared.
TOOL_ARGUMENTS = {
    "text": GraphQLArgument(GraphQLString),
    "count": GraphQLArgument(GraphQLInt),
    "flags": GraphQLArgument(GraphQLList(GraphQLNonNull(GraphQLBoolean))),
    "options": GraphQLArgument(JSON),
    "i": GraphQLArgument(GraphQLInt),
}


@dataclass
class Context:
    """Per-request context: how tool fields are answered.

    `call` is None for the detached case (placeholder objects); otherwise it is
    called as call(tool, arguments) and returns the value (sync) or an
    awaitable (async execution).
    """

    call: Callable[[Tool, dict[str, Any]], Any] | None = None


def placeholder(tool: Tool) -> dict[str, Any]:
    return {
        "isError": True,
        "json": None,
        "text": f"SchemaEngine stub resolved {tool.server}.{tool.name} but CallBridge is not wired yet",
    }


def search_hits(tools: list[Tool]) -> list[dict[str, Any]]:
    return [
        {
            "description": t.description,
            "field": t.field,
            "readOnly": t.read_only,
            "server": t.server,
            "tool": t.name,
        }
        for t in tools
    ]


def server_summaries(tools: list[Tool]) -> list[dict[str, Any]]:
    servers: dict[str, list[int]] = {}
    for t in tools:
        counts = servers.get(t.server)
        if counts is None:
            counts = servers[t.server] = [0, 0]
        counts[0] += 1
        counts[1] += t.read_only
    return [
        {"description": "", "name": name, "readOnlyCount": ro, "toolCount": n}
        for name, (n, ro) in sorted(servers.items(), key=lambda item: item[0].encode())
    ]


def _tool_resolver(tool: Tool):
    def resolve(_root, info, **arguments):
        call = info.context.call
        if call is None:
            return placeholder(tool)
        return call(tool, arguments)

    return resolve


def build_schema(tools: list[Tool]) -> GraphQLSchema:
    """Builds and validates the schema (graphql_sync would validate it on first use)."""

    def fields() -> dict[str, GraphQLField]:
        out: dict[str, GraphQLField] = {
            "servers": GraphQLField(JSON, resolve=lambda _root, _info: server_summaries(tools)),
            "search": GraphQLField(JSON, resolve=lambda _root, _info: search_hits(tools)),
        }
        for tool in tools:
            name = field_name(tool.server, tool.name)
            if name not in out:  # the first tool of a name wins, as in _graphql
                out[name] = GraphQLField(JSON, args=TOOL_ARGUMENTS, resolve=_tool_resolver(tool))
        return out

    schema = GraphQLSchema(query=GraphQLObjectType("Query", fields))
    errors = validate_schema(schema)
    if errors:
        raise RuntimeError(errors)
    return schema


def _envelope(result) -> str:
    errors = [e.formatted for e in result.errors] if result.errors else []
    return json.dumps({"data": result.data, "errors": errors}, separators=(",", ":"))


def execute_sync(schema: GraphQLSchema, query: str, variables_json: str | None = None,
                 context: Context | None = None) -> str:
    """What a server does per request: decode variables, parse, validate, execute, encode."""
    variables = json.loads(variables_json) if variables_json else None
    result = graphql_sync(schema, query, variable_values=variables,
                          context_value=context or Context())
    if result.errors:
        raise RuntimeError(result.errors)
    return _envelope(result)


def execute_async(loop: asyncio.AbstractEventLoop, schema: GraphQLSchema, query: str,
                  context: Context) -> str:
    """The same with async resolvers, run to completion on `loop`."""
    result = loop.run_until_complete(graphql(schema, query, context_value=context))
    if result.errors:
        raise RuntimeError(result.errors)
    return _envelope(result)


class QueueHost:
    """Host threads that answer tool calls handed over through a SimpleQueue.

    The peer's counterpart of _graphql's call bridge for synchronous execution:
    the resolver puts (tool, arguments, reply queue) and blocks on the reply.
    """

    def __init__(self, threads: int, answer: Callable[[Tool, dict], Any]):
        import threading

        self.requests: queue.SimpleQueue = queue.SimpleQueue()
        self.answer = answer
        self.threads = [threading.Thread(target=self._serve, daemon=True) for _ in range(threads)]
        for thread in self.threads:
            thread.start()

    def _serve(self) -> None:
        get, answer = self.requests.get, self.answer
        while True:
            item = get()
            if item is None:
                return
            tool, arguments, reply = item
            reply.put(answer(tool, arguments))

    def call(self, tool: Tool, arguments: dict) -> Any:
        reply: queue.SimpleQueue = queue.SimpleQueue()
        self.requests.put((tool, arguments, reply))
        return reply.get()

    def close(self) -> None:
        for _ in self.threads:
            self.requests.put(None)
        for thread in self.threads:
            thread.join()
