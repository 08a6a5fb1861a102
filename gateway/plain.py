"""Reading plain documents, fields, aliases and literal arguments only, without graphql-core's
parser and rules.

Most documents a client sends new (an agent's call of a tool, a health probe with a fresh
alias) are one operation of fields with literal arguments: no variables, fragments,
directives, escapes in strings or comments. graphql-core spends 0.2 ms of Python on the
shortest of them and 1 to 2 ms on five tool calls, most of it setting up and running its
rules' visitors; this reads such a text with regular expressions and checks it in one pass,
cheaply enough to do on the event loop when the text is short.

`read(text, schema)` gives the syntax tree graphql-core's parser would give (without
locations) only when it can show the document valid under all of GraphQL's rules: every field
known to its type, its arguments known, given once and every required one given, each value
one its type's own literal parser takes (or a list of them, null only where the type allows
it), a selection below every object field and none below a leaf, and fields that share a
response key naming one field without arguments, down through their selections. Anything else
(other syntax, an unknown field, a conflict, introspection, an input object, a type that is
not an object, nesting past DEPTH) gives None, and the document is read as any other: the
errors it gets are graphql-core's.
"""

import re
from typing import Any

from graphql import (
    ArgumentNode,
    BooleanValueNode,
    DocumentNode,
    EnumValueNode,
    FieldNode,
    FloatValueNode,
    GraphQLEnumType,
    GraphQLInputType,
    GraphQLList,
    GraphQLNonNull,
    GraphQLObjectType,
    GraphQLScalarType,
    GraphQLSchema,
    IntValueNode,
    ListValueNode,
    NameNode,
    Node,
    NullValueNode,
    OperationDefinitionNode,
    OperationType,
    SelectionSetNode,
    StringValueNode,
    Undefined,
    ValueNode,
    get_named_type,
    is_leaf_type,
    is_required_argument,
)

DEPTH = 32  # selection sets inside one another (and lists in a value): deeper documents take the general path
# What GraphQL ignores between tokens (no comments: a `#` is other syntax); strings without
# escapes, control characters or lone surrogates; names and numbers (and what is neither,
# refused below); punctuators.
# Possessive throughout: each run starts with a character no other run starts with, so no
# backtracking is needed, and a text that does not match is refused in linear time.
_PLAIN = re.compile(r'(?:[ \t\n\r,\ufeff]++|"[^"\\\x00-\x08\x0a-\x1f\ud800-\udfff]*+"'
                    r'|[_0-9A-Za-z.+\-]++|[{}():\[\]])*+')
_TOKENS = re.compile(r'"[^"]*"|[_0-9A-Za-z.+\-]+|[{}():\[\]]')
_NAME = re.compile(r"[_A-Za-z][_0-9A-Za-z]*")
_INT = re.compile(r"-?(?:0|[1-9][0-9]*)")
_FLOAT = re.compile(r"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+(?:[eE][+-]?[0-9]+)?|[eE][+-]?[0-9]+)")
_OPERATIONS = {"query": OperationType.QUERY, "mutation": OperationType.MUTATION}
_LEAF = object()
_new = object.__new__
_set = object.__setattr__


def read(text: str, schema: GraphQLSchema, most_tokens: int | None = None) -> DocumentNode | None:
    """The syntax tree of `text` when it is a plain document valid against `schema` (of at most
    `most_tokens` tokens, when given: what reading it costs grows with them), else None."""
    if '"""' in text or _PLAIN.fullmatch(text) is None:  # a block string's quotes read as strings here
        return None
    tokens = _TOKENS.findall(text)
    if not tokens or most_tokens is not None and len(tokens) > most_tokens:
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
        if at < len(tokens) and tokens[at] != "{":
            name = _name(tokens[at])
            if name is None:
                return None
            at += 1
    root = schema.get_root_type(operation)
    if root is None or at >= len(tokens) or tokens[at] != "{":
        return None
    found = _Reader(tokens).selections(at, root)
    if found is None:
        return None
    selection_set, at = found
    if at != len(tokens) or not _mergeable(selection_set):
        return None
    definition = _node(OperationDefinitionNode, operation=operation, name=name, directives=(),
                       variable_definitions=(), selection_set=selection_set)
    return _node(DocumentNode, definitions=(definition,))


def _name(token: str) -> NameNode | None:
    if _NAME.fullmatch(token) is None:
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


def _field(alias: NameNode | None, name: NameNode, arguments: tuple[ArgumentNode, ...],
           selection_set: SelectionSetNode | None) -> FieldNode:
    """FieldNode(alias=alias, name=name, ...) at a tenth of the cost: graphql-core's constructor
    walks its keyword arguments and its attribute hook checks for a cached hash, per attribute."""
    node = _new(FieldNode)
    _set(node, "loc", None)
    _set(node, "directives", ())
    _set(node, "alias", alias)
    _set(node, "name", name)
    _set(node, "arguments", arguments)
    _set(node, "selection_set", selection_set)
    return node


class _Reader:
    """One document's tokens, read into checked syntax."""

    def __init__(self, tokens: list[str]) -> None:
        self.tokens = tokens
        # What each (type, field) was found to be, for this document: see _kind().
        self.known: dict[tuple[GraphQLObjectType, str], tuple[Any, frozenset[str]] | None] = {}

    def selections(self, at: int, root: GraphQLObjectType) -> tuple[SelectionSetNode, int] | None:
        """The selection set opened at tokens[at], checked against `root`, and the index past it.
        Built bottom-up with a stack: a field's selection set is made when its `}` is read."""
        tokens = self.tokens
        # Per open selection set: its type, its fields so far, and the field it belongs to.
        stack: list[tuple[GraphQLObjectType, list[FieldNode], tuple[Any, ...] | None]] = [(root, [], None)]
        at += 1
        count = len(tokens)
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
                owner_alias, owner_name, owner_arguments = owner
                stack[-1][1].append(_field(owner_alias, owner_name, owner_arguments, selection_set))
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
            if (parent, field_name.value) in self.known:
                found = self.known[parent, field_name.value]
            else:
                found = self.known[parent, field_name.value] = _kind(parent, field_name.value)
            if found is None:
                return None
            kind, required = found
            arguments: tuple[ArgumentNode, ...] = ()
            if at < count and tokens[at] == "(":
                given = self.arguments(at, parent, field_name.value)
                if given is None:
                    return None
                arguments, at = given
            if required and not required <= {a.name.value for a in arguments}:
                return None
            opens = at < count and tokens[at] == "{"
            if kind is _LEAF:
                if opens:
                    return None
                fields.append(_field(alias, field_name, arguments, None))
            elif opens and len(stack) < DEPTH:
                stack.append((kind, [], (alias, field_name, arguments)))
                at += 1
            else:
                return None

    def arguments(self, at: int, parent: GraphQLObjectType,
                  field: str) -> tuple[tuple[ArgumentNode, ...], int] | None:
        """The arguments opened by the `(` at tokens[at], each known to `field`, given once and
        of its type, and the index past them."""
        tokens = self.tokens
        owner = parent.fields.get(field)  # none for __typename, which takes no arguments
        if owner is None:
            return None
        definitions = owner.args
        arguments: list[ArgumentNode] = []
        at += 1
        while at + 2 < len(tokens) and tokens[at + 1] == ":":
            name = _name(tokens[at])
            definition = definitions.get(tokens[at])
            if name is None or definition is None or any(a.name.value == name.value for a in arguments):
                return None
            value = self.value(at + 2, 0)
            if value is None or not _fits(value[0], definition.type):
                return None
            arguments.append(_node(ArgumentNode, name=name, value=value[0]))
            at = value[1]
            if at < len(tokens) and tokens[at] == ")":
                return tuple(arguments), at + 1
        return None

    def value(self, at: int, depth: int) -> tuple[ValueNode, int] | None:
        """The literal at tokens[at], and the index past it."""
        tokens = self.tokens
        if at >= len(tokens):
            return None
        token = tokens[at]
        if token[0] == '"':
            return _node(StringValueNode, value=token[1:-1], block=False), at + 1
        if token == "[":
            if depth >= DEPTH:
                return None
            items: list[ValueNode] = []
            at += 1
            while at < len(tokens) and tokens[at] != "]":
                item = self.value(at, depth + 1)
                if item is None:
                    return None
                items.append(item[0])
                at = item[1]
            return (_node(ListValueNode, values=tuple(items)), at + 1) if at < len(tokens) else None
        if _NAME.fullmatch(token):
            if token in ("true", "false"):
                return _node(BooleanValueNode, value=token == "true"), at + 1
            if token == "null":
                return _node(NullValueNode), at + 1
            return _node(EnumValueNode, value=token), at + 1
        if _INT.fullmatch(token):
            return _node(IntValueNode, value=token), at + 1
        if _FLOAT.fullmatch(token):
            return _node(FloatValueNode, value=token), at + 1
        return None


def _kind(parent: GraphQLObjectType, name: str) -> tuple[Any, frozenset[str]] | None:
    """What field `name` of `parent` answers, _LEAF or the object type its selection is read
    against, and its required arguments; None when the field is not one to read here."""
    if name == "__typename":
        return _LEAF, frozenset()
    definition = parent.fields.get(name)
    if definition is None:
        return None
    required = frozenset(n for n, a in definition.args.items() if is_required_argument(a))
    kind = get_named_type(definition.type)
    if is_leaf_type(kind):
        return _LEAF, required
    return (kind, required) if isinstance(kind, GraphQLObjectType) else None


def _fits(value: ValueNode, kind: GraphQLInputType) -> bool:
    """Whether `value` is one GraphQL's validation takes for `kind`: null where it may be,
    a list's items each for its item type, and any other literal as the leaf type's own
    parser reads it (where a list is expected, a single item is taken as one)."""
    if isinstance(value, NullValueNode):
        return not isinstance(kind, GraphQLNonNull)
    if isinstance(kind, GraphQLNonNull):
        kind = kind.of_type
    if isinstance(value, ListValueNode) and isinstance(kind, GraphQLList):
        return all(_fits(item, kind.of_type) for item in value.values)
    named = get_named_type(kind)
    if not isinstance(named, (GraphQLScalarType, GraphQLEnumType)):
        return False  # an input object: its fields' rules are not followed here
    try:
        return named.parse_literal(value) is not Undefined
    except Exception:
        return False  # what the type's parser refuses, validation refuses


def _mergeable(selection_set: SelectionSetNode) -> bool:
    """Whether the fields under each response key name one field, here and in the selections
    they merge below, and a key used twice takes no arguments: without fragments or other
    types in play, and with arguments compared only by their absence, all that can conflict.
    Each field is looked at once, in the one group of fields its key puts it in."""
    groups: list[list[SelectionSetNode]] = [[selection_set]]
    while groups:
        first: dict[str, FieldNode] = {}
        below: dict[str, list[SelectionSetNode]] = {}
        for selections in groups.pop():
            for field in selections.selections:
                assert isinstance(field, FieldNode)
                key = (field.alias or field.name).value
                prior = first.setdefault(key, field)
                if prior is not field and (prior.name.value != field.name.value or prior.arguments or field.arguments):
                    return False
                if field.selection_set is not None:
                    below.setdefault(key, []).append(field.selection_set)
        groups.extend(below.values())
    return True
