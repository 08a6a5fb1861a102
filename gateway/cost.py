"""What a document will cost, read from its syntax before it is validated or run.

The cost is the number of fields its answer holds: each field counts once, and
a field that answers a list counts its selection once per item. What the lists
of this gateway hold is known in advance: `search` one hit per tool, `servers`
one entry per server, and introspection's lists the schema's own types,
fields, arguments and values. A list reached outside any other list counts
its largest case (`__type(name: "Query") { fields }` is every tool); inside one,
its mean, since a document that walks all of them (`__schema { types { fields } }`)
gets each once. Lists of a tool's own output are counted as one item: a tool's
reply is bounded by the reply budget, not by the document.

Fragments are costed once each (per context), so the walk is linear in the
document however its spreads multiply, and every sum stops just past the limit.
Directives are not evaluated: a field that @skip may drop still counts.
"""

import math
from dataclasses import dataclass

from graphql import (
    DocumentNode,
    FieldNode,
    FragmentDefinitionNode,
    FragmentSpreadNode,
    GraphQLInterfaceType,
    GraphQLList,
    GraphQLNamedType,
    GraphQLNonNull,
    GraphQLObjectType,
    GraphQLOutputType,
    InlineFragmentNode,
    OperationDefinitionNode,
    SelectionSetNode,
    get_named_type,
)

from .schema import GatewaySchema

META_TYPES = {"__schema": "__Schema", "__type": "__Type"}


@dataclass(frozen=True)
class Size:
    """How many items a list holds: at most, and on average over its kind."""

    most: int
    mean: int


class CostModel:
    """The list sizes of one schema, and the walk that prices a document against them."""

    def __init__(self, schema: GatewaySchema) -> None:
        self.schema = schema.schema
        tools = schema.tools
        servers = len({tool.server for tool in tools.values()})
        self.sizes: dict[tuple[str, str], Size] = {
            ("Query", "search"): Size(len(tools), len(tools)),
            ("Query", "servers"): Size(servers, servers),
        } | _introspection_sizes(schema)

    def cost(self, document: DocumentNode, operation: OperationDefinitionNode, limit: int) -> int:
        """The document's cost for `operation`, or a number just over `limit` once it is over it."""
        root = self.schema.get_root_type(operation.operation)
        fragments = {d.name.value: d for d in document.definitions if isinstance(d, FragmentDefinitionNode)}
        return _Walk(self, fragments, limit).selections(operation.selection_set, root, False)


class _Walk:
    def __init__(self, model: CostModel, fragments: dict[str, FragmentDefinitionNode], limit: int) -> None:
        self.model = model
        self.fragments = fragments
        self.cap = limit + 1
        self.known: dict[tuple[str, bool], int] = {}  # a fragment's cost, in a list or not
        self.visiting: set[str] = set()  # a spread that cycles costs nothing here: validation refuses it

    def selections(self, selection_set: SelectionSetNode, parent: GraphQLNamedType | None, in_list: bool) -> int:
        total = 0
        for selection in selection_set.selections:
            if isinstance(selection, FieldNode):
                total += self.field(selection, parent, in_list)
            elif isinstance(selection, InlineFragmentNode):
                kind = self._named(selection.type_condition.name.value) if selection.type_condition else parent
                total += self.selections(selection.selection_set, kind, in_list)
            elif isinstance(selection, FragmentSpreadNode):
                total += self.spread(selection.name.value, in_list)
            if total >= self.cap:
                return self.cap
        return total

    def field(self, node: FieldNode, parent: GraphQLNamedType | None, in_list: bool) -> int:
        if node.selection_set is None:
            return 1
        name = node.name.value
        child: GraphQLNamedType | None = None
        many = 1
        if name in META_TYPES:
            child = self._named(META_TYPES[name])
        elif isinstance(parent, (GraphQLObjectType, GraphQLInterfaceType)) and name in parent.fields:
            kind = parent.fields[name].type
            child = get_named_type(kind)
            if _is_list(kind):
                size = self.model.sizes.get((parent.name, name))
                if size is not None:
                    many = size.mean if in_list else size.most
                in_list = True
        return min(self.cap, 1 + max(many, 1) * self.selections(node.selection_set, child, in_list))

    def spread(self, name: str, in_list: bool) -> int:
        found = self.known.get((name, in_list))
        if found is not None:
            return found
        fragment = self.fragments.get(name)
        if fragment is None or name in self.visiting:
            return 0
        self.visiting.add(name)
        try:
            found = self.selections(fragment.selection_set, self._named(fragment.type_condition.name.value), in_list)
        finally:
            self.visiting.discard(name)
        self.known[(name, in_list)] = found
        return found

    def _named(self, name: str) -> GraphQLNamedType | None:
        return self.model.schema.get_type(name)


def _is_list(kind: GraphQLOutputType) -> bool:
    if isinstance(kind, GraphQLNonNull):
        kind = kind.of_type
    return isinstance(kind, GraphQLList)


def _introspection_sizes(schema: GatewaySchema) -> dict[tuple[str, str], Size]:
    """The sizes of introspection's lists in this schema: the most any one holds, and the mean
    over the whole list a document can walk (every type, every field)."""
    types = list(schema.schema.type_map.values())
    directives = schema.schema.directives
    counts: dict[str, list[int]] = {"fields": [], "inputFields": [], "enumValues": [], "interfaces": [],
                                    "possibleTypes": []}
    arguments: list[int] = []
    for kind in types:
        fields = getattr(kind, "fields", None) or {}
        if isinstance(kind, (GraphQLObjectType, GraphQLInterfaceType)):
            counts["fields"].append(len(fields))
            counts["interfaces"].append(len(kind.interfaces))
            arguments.extend(len(f.args) for f in fields.values())
        elif fields:
            counts["inputFields"].append(len(fields))
        counts["enumValues"].append(len(getattr(kind, "values", None) or ()))
        if isinstance(kind, GraphQLInterfaceType) or hasattr(kind, "types"):
            counts["possibleTypes"].append(len(schema.schema.get_possible_types(kind)))  # type: ignore[arg-type]
    arguments.extend(len(d.args) for d in directives)

    def size(values: list[int], over: int) -> Size:
        return Size(max(values, default=0), math.ceil(sum(values) / max(over, 1)))

    sizes = {("__Type", name): size(values, len(types)) for name, values in counts.items()}
    sizes[("__Schema", "types")] = Size(len(types), len(types))
    sizes[("__Schema", "directives")] = Size(len(directives), len(directives))
    sizes[("__Field", "args")] = sizes[("__Directive", "args")] = size(arguments, len(arguments))
    sizes[("__Directive", "locations")] = Size(1, 1)
    return sizes
