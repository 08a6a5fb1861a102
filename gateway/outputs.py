"""Typed tool results: a tool that declares an `outputSchema` gets a typed result.

`<Field>Result` has ToolResult's members and one more, `structured`, typed from
the tool's `outputSchema` and read from the same value as `json`: a client
selects the members it needs and the front trims the structured content to
them (generated clients get real types). The output schema is mapped by the
rules that map arguments (see `schema`), with three differences:

- an object with `properties` becomes an object type `<Field>...Output` whether
  or not it is closed (members it does not name are left to `json`); a property
  whose name is not a GraphQL name is left to `json` too;
- no member is non-null: the gateway passes on what the server sent without
  checking it against the schema the server declared;
- only a schema's `description` describes its type or field (a title most often
  repeats the property's name).

The members `<Field>Result` shares with ToolResult are described there, once.
Tools that declare the same output schema share one `<Field>Result`, named
after the first of them in catalogue order.

A recursive part (a `$ref` met again inside itself), one the mapping cannot
type, or one past a tool's TYPES_PER_TOOL types stays `JSON`; an output schema whose root is not such an object leaves
the tool with ToolResult.
"""

import json
from dataclasses import dataclass, field
from typing import Any, cast

from graphql import GraphQLField, GraphQLInputType, GraphQLObjectType, GraphQLOutputType

from .schema import JSON_SCALAR, TOOL_RESULT, _Mapper, _TypeNames, said_once, usable_name

READS = "reads"  # a field's extension naming the member of the engine's value it is read from


@dataclass
class Made:
    """The output types one schema's tools made so far, by the text of the JSON Schema each was
    made from. Tools that declare the same output (all but one of a file server's tools, say),
    or the same object inside theirs, share the type named after the first of them, which a
    schema would otherwise repeat member for member."""

    results: dict[str, GraphQLObjectType | None] = field(default_factory=dict)
    objects: dict[str, GraphQLObjectType] = field(default_factory=dict)


def result_type(name: str, output_schema: dict[str, Any], names: _TypeNames, made: Made) -> GraphQLObjectType | None:
    """The result type of the tool whose field is `name`, or None when its output schema gives
    nothing to type."""
    try:
        key = json.dumps(output_schema, sort_keys=True)
        if key not in made.results:
            made.results[key] = _made(name, output_schema, names, made)
    except RecursionError:  # nested deeper than Python's stack: the tool keeps ToolResult
        return None
    return made.results[key]


def _made(name: str, output_schema: dict[str, Any], names: _TypeNames, made: Made) -> GraphQLObjectType | None:
    structured = _OutputMapper(name, output_schema, names, made).input_type(output_schema, [])
    if not isinstance(structured, GraphQLObjectType):
        return None
    # ToolResult's members, described once there: a schema of many typed tools repeats no text.
    fields = {name: GraphQLField(member.type) for name, member in TOOL_RESULT.fields.items()}
    fields["structured"] = GraphQLField(cast(GraphQLOutputType, structured), extensions={READS: "json"})
    return GraphQLObjectType(names.new([name], "Result"), fields)


class _OutputMapper(_Mapper):
    """The argument mapping, making object types where it makes input objects."""

    def __init__(self, name: str, root: dict[str, Any], names: _TypeNames, made: Made) -> None:
        super().__init__(name, root, names)
        self.made = made

    def _required(self, kind: GraphQLInputType, schema: Any, required: bool) -> GraphQLInputType:
        return kind  # see the module's description: outputs are never non-null

    def _input_object(self, schema: dict[str, Any], path: list[str]) -> GraphQLInputType:
        properties = schema.get("properties")
        if not isinstance(properties, dict):
            return JSON_SCALAR
        named = {name: sub for name, sub in properties.items() if usable_name(name)}
        if not named:
            return JSON_SCALAR
        # A $ref is read in its own tool's schema: only an object without one means the same
        # in every tool. Each tool makes at most TYPES_PER_TOOL types, so it writes out at most
        # that many texts of its schema's parts.
        key = json.dumps(schema, sort_keys=True)
        shared = "$ref" not in key
        if shared and key in self.made.objects:
            return cast(GraphQLInputType, self.made.objects[key])
        if not self._make_type():
            return JSON_SCALAR
        type_name = self.names.new([self.field, *path], "Output")
        fields = {}
        for name, sub in named.items():
            kind = cast(GraphQLOutputType, self.input_type(sub, [*path, name]))
            said_once(kind, _said(sub))
            fields[name] = GraphQLField(kind, description=_said(sub))
        made = GraphQLObjectType(type_name, fields, description=_said(schema))
        if shared:
            self.made.objects[key] = made
        # The shared rules speak of input types; every type they make here (scalars, enums,
        # lists and these objects) is an output type as well.
        return cast(GraphQLInputType, made)


def _said(schema: Any) -> str | None:
    """A schema's own description; its title (often the property's name capitalised) says nothing
    the field's name does not."""
    text = schema.get("description") if isinstance(schema, dict) else None
    return text if isinstance(text, str) and text.strip() else None
