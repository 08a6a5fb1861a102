"""Typed tool results: a tool that declares an `outputSchema` gets a result type of its own.

`<Field>Result` has ToolResult's members and one more, `structured`, typed from
the tool's `outputSchema` and read from the same value as `json`: a client
selects the members it needs and the front trims the structured content to
them (generated clients get real types). The output schema is mapped by the
rules that map arguments (see `schema`), with two differences:

- an object with `properties` becomes an object type `<Field>...Output` whether
  or not it is closed (members it does not name are left to `json`); a property
  whose name is not a GraphQL name is left to `json` too;
- no member is non-null: the gateway passes on what the server sent without
  checking it against the schema the server declared;
- only a schema's `description` describes its type or field (a title most often
  repeats the property's name).

The members `<Field>Result` shares with ToolResult are described there, once.

A recursive part (a `$ref` met again inside itself), or one the mapping cannot
type, stays `JSON`; an output schema whose root is not such an object leaves
the tool with ToolResult.
"""

import json
from typing import Any, cast

from graphql import GraphQLField, GraphQLInputType, GraphQLObjectType, GraphQLOutputType

from .schema import JSON_SCALAR, TOOL_RESULT, _Mapper, _TypeNames, usable_name

READS = "reads"  # a field's extension naming the member of the engine's value it is read from


def result_type(field: str, output_schema: dict[str, Any], names: _TypeNames,
                made: dict[str, GraphQLOutputType | None]) -> GraphQLObjectType | None:
    """The tool's result type, or None when its output schema gives nothing to type. `made`
    holds the structured types of the schema's other tools by their output schema's text:
    tools that declare the same output (a server's several listings, say) share one type."""
    try:
        key = json.dumps(output_schema, sort_keys=True)
        if key not in made:
            mapper = _OutputMapper(field, output_schema, names)
            made[key] = cast(GraphQLOutputType, mapper.input_type(output_schema, []))
    except RecursionError:  # nested deeper than Python's stack: the tool keeps ToolResult
        return None
    structured = made[key]
    if not isinstance(structured, GraphQLObjectType):
        return None
    # ToolResult's members, described once there: a schema of many typed tools repeats no text.
    fields = {name: GraphQLField(member.type) for name, member in TOOL_RESULT.fields.items()}
    fields["structured"] = GraphQLField(structured, extensions={READS: "json"})
    return GraphQLObjectType(names.new([field], "Result"), fields)


class _OutputMapper(_Mapper):
    """The argument mapping, making object types where it makes input objects."""

    def _required(self, kind: GraphQLInputType, schema: Any, required: bool) -> GraphQLInputType:
        return kind  # see the module's description: outputs are never non-null

    def _input_object(self, schema: dict[str, Any], path: list[str]) -> GraphQLInputType:
        properties = schema.get("properties")
        if not isinstance(properties, dict):
            return JSON_SCALAR
        named = {name: sub for name, sub in properties.items() if usable_name(name)}
        if not named:
            return JSON_SCALAR
        type_name = self.names.new([self.field, *path], "Output")
        fields = {name: GraphQLField(cast(GraphQLOutputType, self.input_type(sub, [*path, name])),
                                     description=_said(sub))
                  for name, sub in named.items()}
        # The shared rules speak of input types; every type they make here (scalars, enums,
        # lists and these objects) is an output type as well.
        return cast(GraphQLInputType, GraphQLObjectType(type_name, fields, description=_said(schema)))


def _said(schema: Any) -> str | None:
    """A schema's own description; its title (often the property's name capitalised) says nothing
    the field's name does not."""
    text = schema.get("description") if isinstance(schema, dict) else None
    return text if isinstance(text, str) and text.strip() else None
