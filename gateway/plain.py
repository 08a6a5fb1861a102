"""Reading the plainest documents, fields and aliases only, without graphql-core's parser and rules.

Most documents a client sends new (an agent's first look, a health probe with a fresh alias)
are a selection of fields with no arguments, variables, fragments, directives, strings or
comments. graphql-core spends some 0.2 ms of Python on one of them, most of it setting up
its rules' visitors; this reads such a text with one regular expression and checks it in one
pass, cheaply enough to do on the event loop when the text is short.

`read(text, schema)` gives the syntax tree graphql-core's parser would give (without
locations) only when it can show the document valid under all of GraphQL's rules: every field
known to its type, no required argument left out, a selection below every object field and
none below a leaf, and fields that share a response key naming one field, down through their
selections. Anything else (other syntax, an unknown field, a conflict, introspection, a type
that is not an object, nesting past DEPTH) gives None, and the document is read as any other:
the errors it gets are graphql-core's.
"""

import re
from typing import Any

from graphql import (
    DocumentNode,
    FieldNode,
    GraphQLObjectType,
    GraphQLSchema,
    NameNode,
    Node,
    OperationDefinitionNode,
    OperationType,
    SelectionSetNode,
    get_named_type,
    is_leaf_type,
    is_required_argument,
)

DEPTH = 32  # selection sets inside one another; deeper documents take the general path
# Only names, braces, colons and what GraphQL ignores between tokens (no comments: a `#` is other syntax).
_PLAIN = re.compile(r"[ \t\n\r,\ufeff_0-9A-Za-z{}:]*")
_TOKENS = re.compile(r"[_0-9A-Za-z]+|[{}:]")
_OPERATIONS = {"query": OperationType.QUERY, "mutation": OperationType.MUTATION}
_PUNCTUATORS = frozenset("{}:")
_LEAF = object()
_UNSEEN = object()
_new = object.__new__
_set = object.__setattr__


def read(text: str, schema: GraphQLSchema) -> DocumentNode | None:
    """The syntax tree of `text` when it is a plain document valid against `schema`, else None."""
    if _PLAIN.fullmatch(text) is None:
        return None
    tokens = _TOKENS.findall(text)
    if not tokens:
        return None
    operation = OperationType.QUERY
    name = None
    at = 0
    if tokens[0] != "{":
        operation_type = _OPERATIONS.get(tokens[0])
        if operation_type is None:
            return None
        operation = operation_type
        at = 1
        if at < len(tokens) and tokens[at] not in _PUNCTUATORS:
            name = _name(tokens[at])
            if name is None:
                return None
            at += 1
    root = schema.get_root_type(operation)
    if root is None or at >= len(tokens) or tokens[at] != "{":
        return None
    found = _selections(tokens, at, root)
    if found is None:
        return None
    selection_set, at = found
    if at != len(tokens) or not _mergeable(selection_set):
        return None
    definition = _node(OperationDefinitionNode, operation=operation, name=name, directives=(),
                       variable_definitions=(), selection_set=selection_set)
    return _node(DocumentNode, definitions=(definition,))


def _name(token: str) -> NameNode | None:
    if token[0].isdigit() or token in _PUNCTUATORS:
        return None
    node = _new(NameNode)
    _set(node, "loc", None)
    _set(node, "value", token)
    return node


def _node[N: Node](kind: type[N], **values: Any) -> N:
    """kind(**values), as _field makes a field."""
    node = _new(kind)
    for key in kind.keys:
        _set(node, key, values.get(key))
    return node


def _field(alias: NameNode | None, name: NameNode, selection_set: SelectionSetNode | None) -> FieldNode:
    """FieldNode(alias=alias, name=name, ...) at a tenth of the cost: graphql-core's constructor
    walks its keyword arguments and its attribute hook checks for a cached hash, per attribute."""
    node = _new(FieldNode)
    _set(node, "loc", None)
    _set(node, "directives", ())
    _set(node, "alias", alias)
    _set(node, "name", name)
    _set(node, "arguments", ())
    _set(node, "selection_set", selection_set)
    return node


def _selections(tokens: list[str], at: int, root: GraphQLObjectType) -> tuple[SelectionSetNode, int] | None:
    """The selection set opened at tokens[at], checked against `root`, and the index past it.
    Built bottom-up with a stack: a field's selection set is made when its `}` is read."""
    # Per open selection set: its type, its fields so far, and the field it belongs to (alias, name).
    stack: list[tuple[GraphQLObjectType, list[FieldNode], tuple[NameNode | None, NameNode] | None]] = []
    stack.append((root, [], None))
    at += 1
    count = len(tokens)
    known: dict[tuple[GraphQLObjectType, str], Any] = {}  # _kind() by type and field, for this document
    while True:
        if at >= count:
            return None
        token = tokens[at]
        parent, fields, owner = stack[-1]
        if token == "}":
            if not fields:
                return None
            selection_set = _node(SelectionSetNode, selections=tuple(fields))
            stack.pop()
            at += 1
            if owner is None:
                return selection_set, at
            alias, field_name = owner
            stack[-1][1].append(_field(alias, field_name, selection_set))
            continue
        first = _name(token)
        if first is None:
            return None
        at += 1
        alias = None
        field_name = first
        if at < count and tokens[at] == ":":
            named = _name(tokens[at + 1]) if at + 1 < count else None
            if named is None:
                return None
            alias, field_name = first, named
            at += 2
        opens = at < count and tokens[at] == "{"
        if field_name.value == "__typename":
            if opens:
                return None
            fields.append(_field(alias, field_name, None))
            continue
        kind = known.get((parent, field_name.value), _UNSEEN)
        if kind is _UNSEEN:
            kind = known[parent, field_name.value] = _kind(parent, field_name.value)
        if kind is _LEAF:
            if opens:
                return None
            fields.append(_field(alias, field_name, None))
        elif kind is not None and opens and len(stack) < DEPTH:
            stack.append((kind, [], (alias, field_name)))
            at += 1
        else:
            return None


def _kind(parent: GraphQLObjectType, name: str) -> GraphQLObjectType | object | None:
    """What field `name` of `parent` answers, when it may be selected without arguments:
    _LEAF, or the object type its selection is read against; None when it may not."""
    definition = parent.fields.get(name)
    if definition is None or any(is_required_argument(a) for a in definition.args.values()):
        return None
    kind = get_named_type(definition.type)
    if is_leaf_type(kind):
        return _LEAF
    return kind if isinstance(kind, GraphQLObjectType) else None


def _mergeable(selection_set: SelectionSetNode) -> bool:
    """Whether the fields under each response key name one field, here and in the selections
    they merge below: without arguments, fragments or other types in play, all that can conflict.
    Each field is looked at once, in the one group of fields its key puts it in."""
    groups: list[list[SelectionSetNode]] = [[selection_set]]
    while groups:
        names: dict[str, str] = {}
        below: dict[str, list[SelectionSetNode]] = {}
        for selections in groups.pop():
            for field in selections.selections:
                assert isinstance(field, FieldNode)
                key = (field.alias or field.name).value
                if names.setdefault(key, field.name.value) != field.name.value:
                    return False
                if field.selection_set is not None:
                    below.setdefault(key, []).append(field.selection_set)
        groups.extend(below.values())
    return True
