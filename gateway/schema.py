"""The typed GraphQL schema of what the gateway serves, built with graphql-core.

The engine answers its own small GraphQL subset over the catalogue; this schema
is what clients see and what the front validates against. It is built from the
same catalogue, with the engine's own field names and read-only flags (asked of
the engine, so the two never disagree), and each tool's `inputSchema` mapped to
argument types:

| JSON Schema                                   | GraphQL input type                    |
|-----------------------------------------------|---------------------------------------|
| `"type": "string"`                            | `String`                              |
| `"type": "integer"` within 32 bits            | `Int`                                 |
| `"type": "integer"` with a bound beyond that  | `Float` (GraphQL's Int is 32-bit)     |
| `"type": "number"`                            | `Float`                               |
| `"type": "boolean"`                           | `Boolean`                             |
| `enum`/`const` of strings that are names      | an enum type of those names           |
| `enum`/`const` of other strings               | `String`                              |
| `"type": "array"` with one `items` schema     | `[T]`, elements `T!` unless null fits |
| `"type": "object"`, `properties`, `additionalProperties: false` | an input object type |
| `["T", "null"]`, `anyOf`/`oneOf` of T and null | `T`, never non-null                  |
| `anyOf`/`oneOf` of integers and numbers       | `Float`                               |
| a local `$ref` (`#/$defs/...`)                | the type of what it names             |
| anything else (open objects, unions, tuples, no type) | `JSON`                        |

A property in `required` whose schema does not admit null is non-null (`T!`).
A property whose name is not a GraphQL name cannot be written in a document,
so it is left out (and named in the field's description).
"""

import json
import logging
import re
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any

from graphql import (
    GraphQLArgument,
    GraphQLBoolean,
    GraphQLEnumType,
    GraphQLEnumValue,
    GraphQLField,
    GraphQLFloat,
    GraphQLInputField,
    GraphQLInputObjectType,
    GraphQLInputType,
    GraphQLInt,
    GraphQLList,
    GraphQLNonNull,
    GraphQLObjectType,
    GraphQLScalarType,
    GraphQLSchema,
    GraphQLString,
    ValueNode,
    assert_valid_schema,
    print_schema,
    value_from_ast_untyped,
)

logger = logging.getLogger(__name__)

NAME = re.compile(r"[_A-Za-z][_0-9A-Za-z]*")
INT32 = (-(1 << 31), (1 << 31) - 1)
BUILT_IN_FIELDS = ("__typename", "servers", "search")
TYPES_PER_TOOL = 256  # input and enum types one tool's arguments may make
REF_DEPTH = 32  # $refs followed inside one another before a schema is taken as JSON



def _as_is(value: Any) -> Any:
    return value


def _literal(node: ValueNode, variables: dict[str, Any] | None = None) -> Any:
    return value_from_ast_untyped(node, variables)


JSON_SCALAR = GraphQLScalarType("JSON", description="Any JSON value, passed through as it is.",
                                serialize=_as_is, parse_value=_as_is, parse_literal=_literal)

EMBEDDED_RESOURCE = GraphQLObjectType("EmbeddedResource", lambda: {
    "uri": GraphQLField(GraphQLNonNull(GraphQLString)),
    "mimeType": GraphQLField(GraphQLString),
    "text": GraphQLField(GraphQLString, description="The resource as text, when it is text."),
    "blob": GraphQLField(GraphQLString, description="The resource's bytes in base64, when it is binary."),
}, description="A resource a tool put into its result.")

CONTENT_BLOCK = GraphQLObjectType("ContentBlock", lambda: {
    "type": GraphQLField(GraphQLNonNull(GraphQLString),
                         description="text, image, audio, resource_link or resource."),
    "text": GraphQLField(GraphQLString),
    "mimeType": GraphQLField(GraphQLString),
    "data": GraphQLField(GraphQLString, description="Image or audio bytes in base64."),
    "uri": GraphQLField(GraphQLString),
    "name": GraphQLField(GraphQLString),
    "title": GraphQLField(GraphQLString),
    "description": GraphQLField(GraphQLString),
    "size": GraphQLField(GraphQLFloat),
    "resource": GraphQLField(EMBEDDED_RESOURCE),
    "annotations": GraphQLField(JSON_SCALAR),
}, description="One block of a tool's result, as the MCP server gave it.")

TOOL_RESULT = GraphQLObjectType("ToolResult", lambda: {
    "isError": GraphQLField(GraphQLNonNull(GraphQLBoolean),
                            description="Whether the call failed; `text` then says why."),
    "json": GraphQLField(JSON_SCALAR, description="The structured content, else the text when it is JSON, "
                                                  "else null."),
    "text": GraphQLField(GraphQLNonNull(GraphQLString), description="The text blocks, joined by line breaks."),
    "content": GraphQLField(GraphQLList(GraphQLNonNull(CONTENT_BLOCK)),
                            description="Every block of the result; null when the call failed."),
}, description="What one tool call gave.")

SERVER = GraphQLObjectType("Server", lambda: {
    "name": GraphQLField(GraphQLNonNull(GraphQLString)),
    "description": GraphQLField(GraphQLNonNull(GraphQLString), description="Empty when the server gave none."),
    "toolCount": GraphQLField(GraphQLNonNull(GraphQLInt)),
    "readOnlyCount": GraphQLField(GraphQLNonNull(GraphQLInt)),
}, description="One MCP server and how many of its tools are offered.")

SEARCH_HIT = GraphQLObjectType("SearchHit", lambda: {
    "server": GraphQLField(GraphQLNonNull(GraphQLString)),
    "tool": GraphQLField(GraphQLNonNull(GraphQLString)),
    "field": GraphQLField(GraphQLNonNull(GraphQLString), description="The tool's field in this schema."),
    "description": GraphQLField(GraphQLNonNull(GraphQLString)),
    "readOnly": GraphQLField(GraphQLNonNull(GraphQLBoolean),
                             description="Read-only tools are fields of Query, the others of Mutation."),
}, description="One offered tool.")


@dataclass(frozen=True)
class ToolField:
    server: str
    tool: str
    read_only: bool


@dataclass(frozen=True)
class GatewaySchema:
    """The schema and what the front needs to know of its top-level fields."""

    schema: GraphQLSchema
    tools: dict[str, ToolField]  # field name -> the tool it calls

    def sdl(self) -> str:
        return print_schema(self.schema)


def build(catalogue: list[dict[str, Any]], engine: Any) -> GatewaySchema:
    """The schema of an engine built from `catalogue` (the offered groups)."""
    # Field names and flags as the engine made them: its own reading of the catalogue.
    view = json.loads(engine.execute("{ search servers }"))["data"]
    listed: dict[tuple[Any, Any], dict[str, Any]] = {}
    for group in catalogue:
        for tool in group.get("tools", ()):
            if isinstance(tool, dict):
                listed.setdefault((group.get("server"), tool.get("name")), tool)
    server_descriptions = {s["name"]: s["description"] for s in view["servers"]}
    names = _TypeNames()
    reading: dict[str, GraphQLField] = {}
    writing: dict[str, GraphQLField] = {}
    tools: dict[str, ToolField] = {}
    for hit in view["search"]:
        field = hit["field"]
        if field in tools or field.startswith("__"):
            continue  # the engine answers the first tool of a name; a name with __ is the built-in's
        tool = listed.get((hit["server"], hit["tool"]), {})
        tools[field] = ToolField(hit["server"], hit["tool"], hit["readOnly"])
        graphql_field = _tool_field(field, hit, tool, server_descriptions.get(hit["server"], ""), names)
        (reading if hit["readOnly"] else writing)[field] = graphql_field
    query = GraphQLObjectType("Query", {
        "servers": GraphQLField(GraphQLNonNull(GraphQLList(GraphQLNonNull(SERVER))),
                                description="The servers whose tools are offered."),
        "search": GraphQLField(GraphQLNonNull(GraphQLList(GraphQLNonNull(SEARCH_HIT))),
                               description="Every offered tool, in catalogue order."),
        **reading,
    }, description="The read-only tools, and what is offered.")
    mutation = GraphQLObjectType("Mutation", writing, description="The tools that are not read-only.") \
        if writing else None
    schema = GraphQLSchema(query, mutation, types=[TOOL_RESULT])
    assert_valid_schema(schema)  # a schema that does not hold stops the start
    return GatewaySchema(schema, tools)


def _tool_field(field: str, hit: dict[str, Any], tool: dict[str, Any], server_description: str,
                names: _TypeNames) -> GraphQLField:
    input_schema = tool.get("inputSchema")
    mapper = _Mapper(field, input_schema if isinstance(input_schema, dict) else {}, names)
    arguments, left_out = mapper.arguments()
    lines = [hit["description"].strip()] if hit["description"].strip() else []
    lines.append(f"Tool `{hit['tool']}` of server `{hit['server']}`"
                 + (f": {server_description.strip()}" if server_description.strip() else "."))
    if left_out:
        lines.append("Not offered here (not GraphQL names): " + ", ".join(f"`{n}`" for n in left_out) + ".")
    return GraphQLField(GraphQLNonNull(TOOL_RESULT), args=arguments, description="\n\n".join(lines))


class _TypeNames:
    """Unique type names made from field and property names."""

    def __init__(self) -> None:
        self.taken = {"Query", "Mutation", "JSON", "ToolResult", "ContentBlock", "EmbeddedResource", "Server",
                      "SearchHit", "String", "Int", "Float", "Boolean", "ID"}

    def new(self, parts: Iterable[str], suffix: str) -> str:
        base = "".join(_pascal(part) for part in parts) + suffix
        if not NAME.fullmatch(base) or base.startswith("__") or base[0].isdigit():
            base = "T" + base
        name, n = base, 1
        while name in self.taken:
            n += 1
            name = f"{base}{n}"
        self.taken.add(name)
        return name


def _pascal(text: str) -> str:
    return "".join(piece[:1].upper() + piece[1:] for piece in re.split(r"[^0-9A-Za-z]+", text) if piece)


def usable_name(name: Any) -> bool:
    return isinstance(name, str) and bool(NAME.fullmatch(name)) and not name.startswith("__")


def _enum_name(value: Any) -> bool:
    return usable_name(value) and value not in ("true", "false", "null")


class _Mapper:
    """Maps one tool's input schema; `root` resolves its local `$ref`s."""

    def __init__(self, field: str, root: dict[str, Any], names: _TypeNames) -> None:
        self.field = field
        self.root = root
        self.names = names
        self._open: list[str] = []  # the $refs being mapped: one met again is a recursive type
        # Each $ref is mapped once: definitions that each use the next twice would otherwise be
        # mapped 2**depth times. And a tool makes at most TYPES_PER_TOOL types; past them, JSON.
        self._mapped: dict[str, GraphQLInputType] = {}
        self._types_left = TYPES_PER_TOOL

    def arguments(self) -> tuple[dict[str, GraphQLArgument], list[str]]:
        root = self._resolved(self.root)
        properties = root.get("properties") if isinstance(root, dict) else None
        if not isinstance(properties, dict):
            return {}, []
        required = _names(root.get("required"))
        arguments, left_out = {}, []
        for name, schema in properties.items():
            if not usable_name(name):
                left_out.append(str(name))
                continue
            try:
                kind = self._required(self.input_type(schema, [name]), schema, name in required)
            except RecursionError:  # nested deeper than Python's stack: the tool still gets its field
                kind = self._required(JSON_SCALAR, schema, name in required)
            arguments[name] = GraphQLArgument(kind, description=_description(schema))
        return arguments, left_out

    def input_type(self, schema: Any, path: list[str]) -> GraphQLInputType:
        """The nullable GraphQL type of one JSON Schema (see the table at the top)."""
        ref = schema.get("$ref") if isinstance(schema, dict) else None
        if isinstance(ref, str):
            # A type that holds itself (a tree) is cut at its first repeat: JSON from there down.
            if ref in self._open or len(self._open) >= REF_DEPTH:
                return JSON_SCALAR
            known = self._mapped.get(ref)
            if known is not None:
                return known
            self._open.append(ref)
            try:
                known = self._mapped[ref] = self.input_type(_pointer(self.root, ref), path)
                return known
            finally:
                self._open.pop()
        if not isinstance(schema, dict):
            return JSON_SCALAR
        if "const" in schema:
            return self._enum([schema["const"]], path, schema)
        if isinstance(schema.get("enum"), list) and schema["enum"]:
            return self._enum([v for v in schema["enum"] if v is not None], path, schema)
        for union in ("anyOf", "oneOf"):
            if isinstance(schema.get(union), list):
                branches = [b for b in schema[union] if not _is_null(self._resolved(b))]
                if len(branches) == 1:
                    return self.input_type(branches[0], path)
                mapped = {self.input_type(b, path) for b in branches}
                # integer or number: a number either way, and Float takes both
                return GraphQLFloat if mapped and mapped <= {GraphQLInt, GraphQLFloat} else JSON_SCALAR
        kinds = schema.get("type")
        if isinstance(kinds, list):
            kinds = [k for k in kinds if k != "null"]
            kinds = kinds[0] if len(kinds) == 1 else None
        if kinds is None and "properties" in schema:
            kinds = "object"
        if kinds == "string":
            return GraphQLString
        if kinds == "number":
            return GraphQLFloat
        if kinds == "boolean":
            return GraphQLBoolean
        if kinds == "integer":
            return GraphQLInt if _int32(schema) else GraphQLFloat
        if kinds == "array":
            items = schema.get("items")
            if isinstance(items, dict):
                return GraphQLList(self._required(self.input_type(items, [*path, "item"]), items, True))
            return GraphQLList(JSON_SCALAR) if items is None or items is True else JSON_SCALAR
        if kinds == "object":
            return self._input_object(schema, path)
        return JSON_SCALAR

    def _required(self, kind: GraphQLInputType, schema: Any, required: bool) -> GraphQLInputType:
        return GraphQLNonNull(kind) if required and not _admits_null(self._resolved(schema)) else kind

    def _enum(self, values: list[Any], path: list[str], schema: dict[str, Any]) -> GraphQLInputType:
        if values and all(_enum_name(v) for v in values) and self._make_type():
            unique = dict.fromkeys(values)
            return GraphQLEnumType(self.names.new([self.field, *path], "Enum"),
                                   {v: GraphQLEnumValue(v) for v in unique}, description=_description(schema))
        return GraphQLString if values and all(isinstance(v, str) for v in values) else JSON_SCALAR

    def _input_object(self, schema: dict[str, Any], path: list[str]) -> GraphQLInputType:
        properties = schema.get("properties")
        closed = schema.get("additionalProperties") is False and not schema.get("patternProperties")
        if not closed or not isinstance(properties, dict) or not properties \
                or not all(usable_name(name) for name in properties) or not self._make_type():
            return JSON_SCALAR
        required = _names(schema.get("required"))
        fields = {name: GraphQLInputField(self._required(self.input_type(sub, [*path, name]), sub, name in required),
                                          description=_description(sub))
                  for name, sub in properties.items()}
        return GraphQLInputObjectType(self.names.new([self.field, *path], "Input"), fields,
                                      description=_description(schema))

    def _make_type(self) -> bool:
        """Whether one more type may be made for this tool."""
        self._types_left -= 1
        return self._types_left >= 0

    def _resolved(self, schema: Any) -> Any:
        for _ in range(REF_DEPTH):
            if not isinstance(schema, dict) or not isinstance(schema.get("$ref"), str):
                return schema
            schema = _pointer(self.root, schema["$ref"])
        return None  # a cycle of references: nothing narrower than JSON


def _names(required: Any) -> frozenset[str]:
    """A schema's `required` list as a set: looked up once per property."""
    return frozenset(name for name in required if isinstance(name, str)) if isinstance(required, list) \
        else frozenset()


def _pointer(root: dict[str, Any], ref: str) -> Any:
    if not ref.startswith("#"):
        return None  # remote references are not fetched
    node: Any = root
    for part in ref[1:].split("/")[1:] if ref != "#" else []:
        part = part.replace("~1", "/").replace("~0", "~")
        node = node.get(part) if isinstance(node, dict) else None
    return node


def _is_null(schema: Any) -> bool:
    return isinstance(schema, dict) and schema.get("type") == "null"


def _admits_null(schema: Any) -> bool:
    if not isinstance(schema, dict):
        return True
    kinds = schema.get("type")
    if kinds == "null" or (isinstance(kinds, list) and "null" in kinds):
        return True
    if isinstance(schema.get("enum"), list) and None in schema["enum"]:
        return True
    return any(isinstance(schema.get(u), list) and any(_is_null(b) for b in schema[u]) for u in ("anyOf", "oneOf")) \
        or ("type" not in schema and not any(k in schema for k in ("properties", "enum", "const", "anyOf", "oneOf")))


def _int32(schema: dict[str, Any]) -> bool:
    """Whether the declared bounds (if any) fit GraphQL's 32-bit Int."""
    for key in ("minimum", "exclusiveMinimum", "maximum", "exclusiveMaximum"):
        value = schema.get(key)
        if isinstance(value, (int, float)) and not isinstance(value, bool) and not INT32[0] <= value <= INT32[1]:
            return False
    return True


def _description(schema: Any) -> str | None:
    if not isinstance(schema, dict):
        return None
    text = schema.get("description") or schema.get("title")
    return text if isinstance(text, str) and text.strip() else None
