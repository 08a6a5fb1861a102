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
| `"type": "integer"`, other bounds or none     | `SafeInt` (below)                     |
| `"type": "number"`                            | `Float`                               |
| `"type": "boolean"`                           | `Boolean`                             |
| `enum`/`const` of strings that are names      | an enum type of those names           |
| `enum`/`const` of other strings, or of names  | `String`, the values in its           |
|   that differ only in case or `_`             |   description                         |
| `"type": "array"` with one `items` schema     | `[T]`, elements `T!` unless null fits |
| `"type": "object"`, `properties`, `additionalProperties: false` | an input object type |
| `["T", "null"]`, `anyOf`/`oneOf` of T and null | `T`, never non-null                  |
| `anyOf`/`oneOf` of integers and numbers       | `Float`                               |
| a local `$ref` (`#/$defs/...`)                | the type of what it names             |
| anything else (open objects, unions, tuples, no type) | `JSON`                        |

A property in `required` whose schema does not admit null is non-null (`T!`).

`SafeInt` is an integer JSON numbers carry exactly, -(2^53-1) to 2^53-1
(millisecond times, 64-bit ids that JavaScript can hold, Zod's `.int()`);
a value with a fraction or beyond is refused at validation. Enum values that
differ only in case or underscores (`Y y Yes yes`) would give generated clients
one identifier twice, so such an enum is a `String`.

A property whose name is not a GraphQL name (`repo-path`) is still an argument:
every character other than A-Z, a-z, 0-9 and `_` becomes `_`, a leading digit
or a leading `__` gets an `_` or `x` put before it, and a name already taken by
another property gets `_2`, `_3`, ... (the first free one), in the order the
schema lists its properties. The call sends it under its own name.
"""

import json
import logging
import re
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from graphql.pyutils import inspect

from graphql import (
    GraphQLArgument,
    GraphQLBoolean,
    GraphQLEnumType,
    GraphQLEnumValue,
    GraphQLError,
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
    GraphQLType,
    IntValueNode,
    ValueNode,
    assert_valid_schema,
    get_named_type,
    print_ast,
    print_schema,
    value_from_ast_untyped,
)

from .fields import FieldIndex, Hit
from .own_fields import DEFINITIONS, is_own_field

if TYPE_CHECKING:
    from .outputs import Made

logger = logging.getLogger(__name__)

NAME = re.compile(r"[_A-Za-z][_0-9A-Za-z]*")
INT32 = (-(1 << 31), (1 << 31) - 1)
TYPES_PER_TOOL = 256  # input and enum types one tool's arguments may make
REF_DEPTH = 32  # $refs followed inside one another before a schema is taken as JSON
SAFE_INT = (1 << 53) - 1  # the largest integer every JSON reader (a double) carries exactly
NAMING = ("A tool's field is `<server>_<tool>`, each character of the two names other than A-Z, a-z, 0-9 "
          "and `_` made `_`; a field named otherwise says its tool. `search` gives each field's server and tool.")



def _as_is(value: Any) -> Any:
    return value


def _literal(node: ValueNode, variables: dict[str, Any] | None = None) -> Any:
    return value_from_ast_untyped(node, variables)


def _safe_int(value: Any) -> int:
    if isinstance(value, float) and value.is_integer():
        value = int(value)
    if not isinstance(value, int) or isinstance(value, bool):
        raise GraphQLError(f"SafeInt cannot represent a non-integer value: {inspect(value)}")
    if not -SAFE_INT <= value <= SAFE_INT:
        raise GraphQLError(f"SafeInt cannot represent {value}: beyond ±(2^53-1), which JSON carries exactly")
    return value


def _safe_int_literal(node: ValueNode, variables: dict[str, Any] | None = None) -> int:
    if not isinstance(node, IntValueNode):
        raise GraphQLError(f"SafeInt cannot represent a non-integer value: {print_ast(node)}", node)
    return _safe_int(int(node.value))


SAFE_INT_SCALAR = GraphQLScalarType(
    "SafeInt", description="An integer from -(2^53-1) to 2^53-1: every integer a JSON number carries exactly.",
    serialize=_safe_int, parse_value=_safe_int, parse_literal=_safe_int_literal)


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
    servers: dict[str, str]  # server name -> its instructions ("" when it gave none)
    # (server, tool) -> {argument name: the property it stands for}, for the properties renamed
    argument_names: dict[tuple[str, str], dict[str, str]] = field(default_factory=dict)
    own: frozenset[str] = frozenset()  # the fields the gateway answers itself, described in Query's description

    def sdl(self) -> str:
        return print_schema(self.schema)


def build(catalogue: list[dict[str, Any]], index: FieldIndex,
          renamed: dict[tuple[str, str], str] | None = None) -> GatewaySchema:
    """The schema of an engine built from `catalogue` (the offered groups), whose field names
    and read-only flags are the engine's own, from its `index`. `renamed` gives, by (server,
    catalogue name), the name the server knows of each tool served under another."""
    renamed = renamed or {}
    listed: dict[tuple[Any, Any], dict[str, Any]] = {}
    for group in catalogue:
        for tool in group.get("tools", ()):
            if isinstance(tool, dict):
                listed.setdefault((group.get("server"), tool.get("name")), tool)
    names = _TypeNames()
    from .outputs import Made  # it builds on this module's mapping

    outputs = Made()
    reading: dict[str, GraphQLField] = {}
    writing: dict[str, GraphQLField] = {}
    tools: dict[str, ToolField] = {}
    own: set[str] = set()
    argument_names: dict[tuple[str, str], dict[str, str]] = {}
    for name, hit in index.fields.items():
        if name.startswith("__"):
            continue  # a name with __ is the built-in's
        tool = listed.get((hit.server, hit.tool), {})
        tools[name] = ToolField(hit.server, hit.tool, hit.read_only)
        if is_own_field(tool) and hit.tool in DEFINITIONS:
            own.add(name)
        graphql_field, arguments_renamed = _tool_field(hit, tool, names, outputs, described=name not in own,
                                                       known_as=renamed.get((hit.server, hit.tool)))
        if arguments_renamed:
            argument_names[(hit.server, hit.tool)] = arguments_renamed
        (reading if hit.read_only else writing)[name] = graphql_field
    query = GraphQLObjectType("Query", {
        "servers": GraphQLField(GraphQLNonNull(GraphQLList(GraphQLNonNull(SERVER))),
                                description="The servers whose tools are offered."),
        "search": GraphQLField(GraphQLNonNull(GraphQLList(GraphQLNonNull(SEARCH_HIT))),
                               description="Every offered tool, in catalogue order."),
        **reading,
    }, description=query_description(index.servers, (tools[name].tool for name in own)))
    mutation = GraphQLObjectType("Mutation", writing, description="The tools that are not read-only.") \
        if writing else None
    schema = GraphQLSchema(query, mutation, types=[TOOL_RESULT])
    assert_valid_schema(schema)  # a schema that does not hold stops the start
    return GatewaySchema(schema, tools, index.servers, argument_names, frozenset(own))


def query_description(servers: dict[str, str], own: Iterable[str] = ()) -> str:
    """Query's description: what every tool field would otherwise repeat, said once. The naming
    rule, rather than each field naming its tool; what the fields the gateway answers for a server
    (`own`, their tool names) do; and the servers' instructions, each once rather than on each of
    its tools (a server's instructions are often longer than all its tools' descriptions together)."""
    parts, present = ["The read-only tools, and what is offered.", NAMING], set(own)
    if kinds := [kind for kind in DEFINITIONS if kind in present]:
        parts.append("For a server with resources or prompts the gateway answers:\n" +
                     "\n".join(f"- `<server>_{kind}`: {DEFINITIONS[kind][0]}" for kind in kinds))
    if given := [f"`{name}`: {text.strip()}" for name, text in servers.items() if text.strip()]:
        parts += ["Instructions of the servers:", *given]
    return "\n\n".join(parts)


def _tool_field(hit: Hit, tool: dict[str, Any], names: _TypeNames, outputs: Made, described: bool = True,
                known_as: str | None = None) -> tuple[GraphQLField, dict[str, str]]:
    """The field of one tool, and its arguments renamed from their properties; `described` false
    leaves its description to Query's; `known_as` is the tool's own name when it is served under
    another."""
    from .outputs import result_type  # it builds on this module's mapping

    name = hit.field
    input_schema = tool.get("inputSchema")
    mapper = _Mapper(name, input_schema if isinstance(input_schema, dict) else {}, names)
    arguments, renamed = mapper.arguments()
    lines = [hit.description.strip()] if hit.description.strip() and described else []
    if known_as is not None:  # else NAMING says which tool the field calls
        lines.append(f"Tool `{known_as}` of server `{hit.server}`.")
    output_schema = tool.get("outputSchema")
    result = result_type(name, output_schema, names, outputs) if isinstance(output_schema, dict) else None
    return GraphQLField(GraphQLNonNull(result or TOOL_RESULT), args=arguments,
                        description="\n\n".join(lines) or None), renamed


class _TypeNames:
    """Unique type names made from field and property names."""

    def __init__(self) -> None:
        self.taken = {"Query", "Mutation", "JSON", "SafeInt", "ToolResult", "ContentBlock", "EmbeddedResource",
                      "Server", "SearchHit", "String", "Int", "Float", "Boolean", "ID"}

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


def _identifier(value: str) -> str:
    """What a generated client's naming convention may reduce a name to (PascalCase drops `_`)."""
    return value.replace("_", "").lower()


def argument_names(properties: Iterable[Any]) -> dict[str, Any]:
    """GraphQL argument name -> property, for every property (see the rule at the top)."""
    properties = list(properties)
    taken = {p for p in properties if usable_name(p)}
    names: dict[str, Any] = {}
    for prop in properties:
        if usable_name(prop):
            names[prop] = prop
            continue
        base = "".join(c if c.isascii() and (c.isalnum() or c == "_") else "_" for c in str(prop)) or "_"
        if base[0].isdigit():
            base = "_" + base
        if base.startswith("__"):
            base = "x" + base
        name, number = base, 1
        while name in taken:
            number += 1
            name = f"{base}_{number}"
        taken.add(name)
        names[name] = prop
    return names


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

    def arguments(self) -> tuple[dict[str, GraphQLArgument], dict[str, str]]:
        """The arguments, and {argument: property} for those whose name differs."""
        root = self._resolved(self.root)
        properties = root.get("properties") if isinstance(root, dict) else None
        if not isinstance(properties, dict):
            return {}, {}
        required = _names(root.get("required"))
        arguments, renamed = {}, {}
        for name, prop in argument_names(properties).items():
            schema = properties[prop]
            try:
                kind = self._required(self.input_type(schema, [name]), schema, prop in required)
            except RecursionError:  # nested deeper than Python's stack: the tool still gets its field
                kind = self._required(JSON_SCALAR, schema, prop in required)
            description = _allowed(self._resolved(schema), kind, _description(schema, prop))
            said_once(kind, description)
            if name != prop:
                renamed[name] = prop
                description = f"`{prop}` of the tool." + (f" {description}" if description else "")
            arguments[name] = GraphQLArgument(kind, description=description)
        return arguments, renamed

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
                return GraphQLFloat if mapped and mapped <= {GraphQLInt, SAFE_INT_SCALAR, GraphQLFloat} \
                    else JSON_SCALAR
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
            return GraphQLInt if _int32(schema) else SAFE_INT_SCALAR
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
        unique = list(dict.fromkeys(v for v in values if isinstance(v, str)))
        if values and all(_enum_name(v) for v in values) \
                and len({_identifier(v) for v in unique}) == len(unique) and self._make_type():
            return GraphQLEnumType(self.names.new([self.field, *path], "Enum"),
                                   {v: GraphQLEnumValue(v) for v in unique},
                                   description=_description(schema, path[-1] if path else self.field))
        return GraphQLString if values and all(isinstance(v, str) for v in values) else JSON_SCALAR

    def _input_object(self, schema: dict[str, Any], path: list[str]) -> GraphQLInputType:
        properties = schema.get("properties")
        closed = schema.get("additionalProperties") is False and not schema.get("patternProperties")
        if not closed or not isinstance(properties, dict) or not properties \
                or not all(usable_name(name) for name in properties) or not self._make_type():
            return JSON_SCALAR
        required = _names(schema.get("required"))
        fields = {}
        for name, sub in properties.items():
            kind = self._required(self.input_type(sub, [*path, name]), sub, name in required)
            described = _allowed(self._resolved(sub), kind, _description(sub, name))
            said_once(kind, described)
            fields[name] = GraphQLInputField(kind, description=described)
        return GraphQLInputObjectType(self.names.new([self.field, *path], "Input"), fields,
                                      description=_description(schema, path[-1] if path else self.field))

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
    """Whether the declared bounds fit GraphQL's 32-bit Int: both ends bounded, inside 32 bits."""
    def bound(*keys: str) -> Any:
        values = [schema.get(k) for k in keys if isinstance(schema.get(k), (int, float))
                  and not isinstance(schema.get(k), bool)]
        return values[0] if values else None

    low, high = bound("minimum", "exclusiveMinimum"), bound("maximum", "exclusiveMaximum")
    return low is not None and high is not None and INT32[0] <= low and high <= INT32[1]


def _allowed(schema: Any, kind: GraphQLInputType, description: str | None) -> str | None:
    """The description, with the allowed values of an enum that had to be a String."""
    values = schema.get("enum", [schema["const"]] if "const" in schema else None) if isinstance(schema, dict) \
        else None
    named = kind.of_type if isinstance(kind, GraphQLNonNull) else kind
    if not isinstance(values, list) or named is not GraphQLString:
        return description
    shown = "One of: " + ", ".join(json.dumps(v) for v in values) + "."
    return f"{description}\n\n{shown}" if description else shown


def _description(schema: Any, name: str) -> str | None:
    """A schema's description, else its title unless that only restates `name`: pydantic titles
    every property with its name re-cased (`utc_offset_hours`: "Utc Offset Hours"), which says
    nothing the argument's name does not, once per argument of every tool."""
    if not isinstance(schema, dict):
        return None
    text = schema.get("description")
    if not (isinstance(text, str) and text.strip()):
        text = schema.get("title")
        if isinstance(text, str) and _letters(text) == _letters(name):
            return None
    return text if isinstance(text, str) and text.strip() else None


def said_once(kind: GraphQLType, description: str | None) -> None:
    """An argument or field whose type was made from the same schema (an enum, an object) would
    carry its description twice: it stays on the argument or field, where it is read."""
    named = get_named_type(kind)
    if description is not None and isinstance(named, (GraphQLEnumType, GraphQLInputObjectType, GraphQLObjectType)) \
            and named.description == description:
        named.description = None


def _letters(text: str) -> str:
    return re.sub(r"[^0-9a-z]", "", text.lower())
