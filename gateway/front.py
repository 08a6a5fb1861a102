"""The GraphQL front: every document a client sends is read here, once, by graphql-core.

`prepare(query, operation_name)` bounds, parses, prices (cost.py) and validates a
document against the typed schema, chooses its operation, expands its fragments
and compiles it into a plan; plans are kept in an LRU per (document, operation
name) bounded by what they measure in memory, so a repeated document costs a
dictionary look-up. A new document is prepared on a preparing thread under a
time bound (preparing.py), never on the loop. `run(prepared, variables)`
coerces the variables, evaluates `@skip`/`@include`, bounds the fan-out, hands
the engine a document of just the selected top-level fields (arguments as
written, `$var` references kept and the coerced variables passed; a
mutation's fields one engine call each, in document order), answers
`__typename` and introspection itself (on a preparing thread), and trims every
value to its selection, counting the bytes of the answer as it is built.

Both raise `RequestError` for what a client did wrong: GraphQL error dicts and a
suggested HTTP status. A tool that fails is not a request error: its field says so.
"""

import asyncio
import json
import logging
import math
import re
import sys
import threading
import weakref
from collections import OrderedDict
from collections.abc import Awaitable, Callable
from dataclasses import dataclass, field
from typing import Any

from graphql.execution.values import get_variable_values

from graphql import (
    BooleanValueNode,
    DocumentNode,
    EnumValueNode,
    FieldNode,
    FloatValueNode,
    FragmentDefinitionNode,
    FragmentSpreadNode,
    GraphQLError,
    GraphQLInputObjectType,
    GraphQLInputType,
    GraphQLList,
    GraphQLNonNull,
    GraphQLObjectType,
    InlineFragmentNode,
    IntValueNode,
    ListTypeNode,
    ListValueNode,
    NamedTypeNode,
    NameNode,
    Node,
    NonNullTypeNode,
    NullValueNode,
    ObjectValueNode,
    OperationDefinitionNode,
    OperationType,
    SelectionSetNode,
    StringValueNode,
    ValueNode,
    VariableNode,
    execute_sync,
    get_named_type,
    parse,
    validate,
)

from . import json_text, plain
from .cost import CostModel
from .limits import Limits, utf8_length_over
from .preparing import PREPARE_SECONDS, Busy, Preparer, TooSlow
from .prescan import top_level_selections
from .schema import GatewaySchema
from .validation import rules_for

logger = logging.getLogger(__name__)

CACHE_ENTRIES = 512  # prepared documents kept
CACHE_BYTES = 64 << 20  # and what they measure in memory (syntax tree and plan)
INTROSPECTION_KEPT = 32 << 10  # an introspection answer is kept with its document up to this size (JSON)
VARIANT_MEMO = 16  # engine documents kept per prepared document (one per skip/include outcome)
# A new plain document this short (plain.py) is prepared on the loop: its cost is that of its
# tokens, 3.3 us of Python each at most (a field of one token), so 0.2 ms (`{ n: __typename }`
# 0.02 ms), about what the loop spends on a request's HTTP. A longer one, or any other, goes to
# a preparing thread.
INLINE_CHARACTERS = 2048  # the text, which regular expressions scan at some 10 ns a character
INLINE_TOKENS = 64
INTROSPECTION = frozenset({"__schema", "__type"})
OTHER_ROOT = re.compile(r"Cannot query field '([_A-Za-z][_0-9A-Za-z]*)' on type '(Query|Mutation)'")
FANOUT_STATUS = 413
RESPONSE_STATUS = 413
REQUEST_STATUS = 400
# One preparer per event loop, shared by its fronts: its counts and turns are that loop's.
_PREPARERS: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, Preparer] = weakref.WeakKeyDictionary()


class RequestError(Exception):
    """A request refused before any tool ran: `errors` as GraphQL error dicts, `status` the HTTP
    status it suggests, `bound` whether a limit refused it (rather than the document's GraphQL)."""

    def __init__(self, errors: list[dict[str, Any]], status: int = REQUEST_STATUS, bound: bool = False) -> None:
        super().__init__(errors[0]["message"] if errors else "request refused")
        self.errors = errors
        self.status = status
        self.bound = bound

    @classmethod
    def of(cls, message: str, status: int = REQUEST_STATUS, bound: bool = False) -> RequestError:
        return cls([{"message": message}], status, bound)

    def response(self) -> dict[str, Any]:
        return {"errors": self.errors}


# One condition of @skip/@include that reads a variable: (variable, the value that keeps the field).
Condition = tuple[str, bool]


@dataclass
class Selection:
    """One field of a selection set, fragments expanded: its conditions are those of every
    fragment and directive on the way to it that read a variable."""

    key: str
    name: str
    node: FieldNode
    conditions: tuple[Condition, ...]
    children: SelectionSet | None


@dataclass
class SelectionSet:
    type_name: str
    items: list[Selection]
    dynamic: bool = False
    _static: dict[str, Collected] | None = None

    def collect(self, variables: dict[str, Any]) -> dict[str, Collected]:
        """The fields to answer by response key, in order, as GraphQL's CollectFields merges them."""
        if not self.dynamic and self._static is not None:
            return self._static
        fields: dict[str, Collected] = {}
        for item in self.items:
            if item.conditions and not all(bool(variables.get(v)) is keep for v, keep in item.conditions):
                continue
            found = fields.get(item.key)
            if found is None:
                fields[item.key] = Collected(item.name, [item.node], [item.children] if item.children else [])
            else:
                found.nodes.append(item.node)
                if item.children is not None:
                    found.children.append(item.children)
        if not self.dynamic:
            self._static = fields
        return fields


@dataclass
class Collected:
    name: str
    nodes: list[FieldNode]  # one per occurrence under the key; validation made them agree
    children: list[SelectionSet]


@dataclass
class EngineWork:
    """The engine document of one outcome of the conditions, and what its tool calls weigh."""

    text: str | None
    tool_fields: int
    literal_bytes: int
    variable_uses: list[str]


@dataclass
class Prepared:
    """A validated document with one chosen operation, compiled for repeated runs."""

    operation: str  # "query" or "mutation"
    field_count: int  # top-level fields after fragment expansion, whatever @skip/@include decide
    cost: int  # fields of the answer, lists counted with their sizes (cost.py)
    writing_fields: tuple[str, ...]  # tool fields that are not read-only
    tool_fields: frozenset[str]  # every tool field selected anywhere at the top level
    root: SelectionSet
    definition: OperationDefinitionNode
    fragments: tuple[FragmentDefinitionNode, ...]
    has_variables: bool
    plain_variables: tuple[tuple[str, str, bool], ...] | None = None  # see _plain_variables
    _variants: dict[tuple[Any, ...], EngineWork] = field(default_factory=dict)
    _introspection: dict[str, Any] | None = None  # only when it is small (INTROSPECTION_KEPT)
    weight: int = 0  # bytes it measured when it was made, for the cache's bound

    @property
    def writes(self) -> bool:
        """Whether the operation may call a tool that is not read-only (never by GET)."""
        return bool(self.writing_fields)


class Front:
    """Prepares documents against `schema` and runs them on `engine`.

    `offload(fields, function, *args)` runs an engine call for the tool `fields` a
    document selects on a query thread; a document
    that selects no tool field is answered on the calling thread, as the engine
    answers its built-in fields without waiting. New documents and introspection
    are worked on by `preparer`'s threads (by default one preparer per event loop,
    shared by every front on it).
    """

    def __init__(self, schema: GatewaySchema, engine: Any, offload: Callable[..., Awaitable[str]],
                 limits: Limits | None = None, *, cache_entries: int = CACHE_ENTRIES,
                 cache_bytes: int = CACHE_BYTES, preparer: Preparer | None = None) -> None:
        self.schema = schema
        self.engine = engine
        self.offload = offload
        self.limits = limits or Limits()
        self.cache_entries = cache_entries
        self.cache_bytes = cache_bytes
        self.preparer = preparer
        self._costs: CostModel | None = None
        self._cache: OrderedDict[tuple[str, str | None], Prepared | RequestError] = OrderedDict()
        self._cached_bytes = 0
        self._lock = threading.Lock()  # prepare() may run on the loop and on threads at once

    # -- preparing ---------------------------------------------------------------------------------

    def prepare(self, query: str, operation_name: str | None = None, limits: Limits | None = None) -> Prepared:
        """The compiled document, from the cache when it was seen; raises RequestError.
        `limits` replaces the front's own for this request (an HTTP route's, say). This reads
        a new document where it is called: on the loop, call prepare_async()."""
        return self._prepare(query, operation_name, limits or self.limits, None)

    def _prepare(self, query: str, operation_name: str | None, limits: Limits, read: DocumentNode | None) -> Prepared:
        """prepare(), given the syntax tree plain.read() made of `query` if it made one."""
        if utf8_length_over(query, limits.query_bytes):
            raise RequestError.of(f"the query is longer than the limit of {limits.query_bytes} bytes", bound=True)
        found = self.cached(query, operation_name)
        if found is None:
            try:
                try:
                    found = self._compile(query, operation_name, limits, read)
                except RecursionError:
                    # graphql-core reads and validates recursively: a document nested deeper than
                    # Python's stack allows is refused, not a failure of the gateway.
                    raise RequestError.of("the document nests too deeply") from None
            except RequestError as exc:
                if exc.bound:
                    raise  # another request's limits may admit it
                found = exc.with_traceback(None)  # kept without the frames that held the document
            self._remember((query, operation_name), found)
        if isinstance(found, RequestError):
            # A fresh error each time: re-raising the cached one would grow its traceback per request.
            raise RequestError(found.errors, found.status, found.bound)
        _within(found, limits)
        return found

    async def prepare_async(self, query: str, operation_name: str | None = None, limits: Limits | None = None,
                            seconds: float = PREPARE_SECONDS, client: str = "-") -> Prepared:
        """prepare(): a document seen before from the cache, on the loop; a new one on a preparing
        thread, as `client`'s (its address), refused when it takes more than `seconds`."""
        if self.cached(query, operation_name) is not None:
            return self.prepare(query, operation_name, limits)
        if len(query) <= INLINE_CHARACTERS:
            # A short plain document costs less to read here than a hand-off to a thread and back.
            read = plain.read(query, self.schema.schema, INLINE_TOKENS)
            if read is not None:
                return self._prepare(query, operation_name, limits or self.limits, read)
        prepared: Prepared = await self._on_preparer(seconds, client, self.prepare, query, operation_name, limits)
        return prepared

    def cached(self, query: str, operation_name: str | None) -> Prepared | RequestError | None:
        with self._lock:
            found = self._cache.get((query, operation_name))
            if found is not None:
                self._cache.move_to_end((query, operation_name))
            return found

    def cache_size(self) -> tuple[int, int]:
        """Entries held, and the bytes they measured."""
        with self._lock:
            return len(self._cache), self._cached_bytes

    def _remember(self, key: tuple[str, str | None], value: Prepared | RequestError) -> None:
        weight = _weight(key[0], value)
        if weight > self.cache_bytes:
            return
        with self._lock:
            if key in self._cache:
                return
            self._cache[key] = value
            self._cached_bytes += weight
            while len(self._cache) > self.cache_entries or self._cached_bytes > self.cache_bytes:
                (old_query, _), old = self._cache.popitem(last=False)
                self._cached_bytes -= _weight(old_query, old)

    def _compile(self, query: str, operation_name: str | None, limits: Limits,
                 read: DocumentNode | None) -> Prepared:
        if read is None:
            # A selection takes two characters at least: a shorter text cannot be over the limit.
            # Counted from the tokens before the text is read, which would be spent on a refusal.
            if len(query) > 2 * limits.fields and top_level_selections(query, operation_name) > limits.fields:
                raise _over_fields(limits)
            read = plain.read(query, self.schema.schema)
        if read is not None:
            document = read
        else:
            try:
                document = parse(query)
            except GraphQLError as exc:
                raise RequestError([dict(exc.formatted)]) from None
        definition = _operation(document, operation_name)
        if len(definition.selection_set.selections) > limits.fields:
            raise _over_fields(limits)  # before validation, whose cost grows with the fields it compares
        if self._costs is None:
            self._costs = CostModel(self.schema)
        cost = self._costs.cost(document, definition, limits.cost)
        if cost > limits.cost:
            raise _over_cost(limits)
        errors = validate(self.schema.schema, document, rules_for(query, document)) if read is None else ()
        if errors:
            raise RequestError([self._hinted(dict(e.formatted)) for e in errors])
        root_type = self.schema.schema.get_root_type(definition.operation)
        if root_type is None:
            raise RequestError.of(f"the schema has no {definition.operation.value} operations")
        fragments = {d.name.value: d for d in document.definitions if isinstance(d, FragmentDefinitionNode)}
        # Each spread expands to a field at least, and the cost counts every field: this bounds the expansion.
        expansion = _Expansion(2 * cost + len(query))
        root = _compile_set(definition.selection_set, root_type, (), fragments, expansion)
        tools = self.schema.tools
        tool_fields = tuple(dict.fromkeys(i.name for i in root.items if i.name in tools))
        prepared = Prepared(
            operation=definition.operation.value, field_count=len(root.items), cost=cost,
            writing_fields=tuple(f for f in tool_fields if not tools[f].read_only),
            tool_fields=frozenset(tool_fields),
            root=root, definition=definition, fragments=tuple(fragments.values()),
            has_variables=bool(definition.variable_definitions), plain_variables=_plain_variables(definition))
        # Kept without the token list the parser left behind (locations only matter to errors,
        # given already): it is most of what a syntax tree weighs.
        prepared.weight = _measure(document, root)
        return prepared

    async def _on_preparer(self, seconds: float, client: str, function: Callable[..., Any], *args: Any) -> Any:
        preparer = self.preparer
        if preparer is None:
            loop = asyncio.get_running_loop()
            preparer = _PREPARERS.get(loop)
            if preparer is None:
                preparer = _PREPARERS[loop] = Preparer()
        try:
            return await preparer.run(seconds, client, function, *args)
        except Busy as exc:
            raise RequestError.of(str(exc), exc.status, bound=True) from None
        except TooSlow as exc:
            raise RequestError.of(f"{exc}: simplify the document", bound=True) from None

    def _hinted(self, error: dict[str, Any]) -> dict[str, Any]:
        """A field asked of the other root type: say where it is and how to spell the request.
        Writing tools are Mutation fields, so one named in a query would otherwise only be unknown."""
        found = OTHER_ROOT.match(error.get("message", ""))
        if found is None:
            return error
        name, root = found.groups()
        other = {"Query": self.schema.schema.mutation_type, "Mutation": self.schema.schema.query_type}.get(root)
        if other is None or name not in other.fields:
            return error
        call = f"{name}(...)" if other.fields[name].args else name
        if other.name == "Mutation":
            hint = (f"'{name}' is a field of Mutation (its tool may write): send it as "
                    f"`mutation {{ {call} {{ text }} }}`")
        else:
            hint = (f"'{name}' is a field of Query (its tool only reads): send it as "
                    f"`query {{ {call} {{ text }} }}`")
        return {**error, "message": f"{error['message']} {hint}."}

    # -- running -----------------------------------------------------------------------------------

    async def run(self, prepared: Prepared, variables: dict[str, Any] | None = None,
                  limits: Limits | None = None, client: str = "-") -> dict[str, Any]:
        """The response of one request: {"data": ...} with "errors" only when there are some.
        Raises RequestError for variables that do not fit, a fan-out or an answer over its bound.
        `client` (an address) is whom introspection's work counts against."""
        limits = limits or self.limits
        coerced = self._coerce(prepared, variables or {})
        fields = prepared.root.collect(coerced)
        engine_keys = tuple(k for k, f in fields.items() if f.name not in INTROSPECTION and f.name != "__typename")
        # GraphQL runs a mutation's top-level fields one after another, in document order (an add
        # before its commit): each is its own engine call. A query's fields run at once.
        steps = [(k,) for k in engine_keys] if prepared.operation == "mutation" and len(engine_keys) > 1 \
            else [engine_keys]
        works = [self._engine_work(prepared, fields, keys, coerced) for keys in steps]
        sent = [_engine_variables(work, coerced) for work in works]
        fanout = sum(size for _, size in sent)
        if fanout > limits.fanout:
            raise RequestError.of(f"the tool calls of this request would carry {fanout} bytes of arguments, "
                                  f"over the limit of {limits.fanout}", FANOUT_STATUS, bound=True)
        engine_data: dict[str, Any] = {}
        errors: list[dict[str, Any]] = []
        meter = _Meter(limits.response_bytes)
        for work, (variables_json, _) in zip(works, sent, strict=True):
            if work.text is None:
                continue
            if work.tool_fields:
                text = await self.offload(prepared.tool_fields, self.engine.execute, work.text, variables_json)
            else:
                text = self.engine.execute(work.text, variables_json)
            answer = json_text.loads(text)
            if answer.get("data") is None:
                failed = answer.get("errors") or [{"message": "the engine gave no data"}]
                if len(steps) == 1:
                    return {"data": None, "errors": failed}
                errors.extend(failed)  # this field alone: the ones before it have run
                continue
            engine_data.update(answer["data"])
            errors.extend(answer.get("errors") or ())
        introspected = await self._introspect(prepared, fields, variables or {}, errors, meter, client)
        data: dict[str, Any] = {}
        for key, found in fields.items():
            meter.add(len(key) + 4)
            if found.name == "__typename":
                data[key] = prepared.root.type_name
            elif found.name in INTROSPECTION:
                data[key] = introspected.get(key)
            else:
                data[key] = _shape(engine_data.get(key), found.children, coerced, meter)
        response: dict[str, Any] = {"data": data}
        if errors:
            response["errors"] = errors
        return response

    async def execute(self, query: str, variables: dict[str, Any] | None = None,
                      operation_name: str | None = None) -> dict[str, Any]:
        """prepare() and run() in one, a request error as its response."""
        try:
            return await self.run(await self.prepare_async(query, operation_name), variables)
        except RequestError as exc:
            return exc.response()

    def _coerce(self, prepared: Prepared, variables: dict[str, Any]) -> dict[str, Any]:
        if not prepared.has_variables:
            return {}
        if prepared.plain_variables is not None:
            plain = _plain_values(prepared.plain_variables, variables)
            if plain is not None:
                return plain
        coerced = get_variable_values(self.schema.schema, prepared.definition.variable_definitions, variables,
                                      max_errors=50)
        if isinstance(coerced, list):
            raise RequestError([dict(e.formatted) for e in coerced])
        return coerced

    def _engine_work(self, prepared: Prepared, fields: dict[str, Collected], keys: tuple[str, ...],
                     coerced: dict[str, Any]) -> EngineWork:
        # A variable that was not given (and has no default) leaves its argument out, as GraphQL
        # does, so which ones are absent is part of the engine document.
        absent = frozenset(d.variable.name.value for d in prepared.definition.variable_definitions
                           if d.variable.name.value not in coerced) if prepared.has_variables else frozenset()
        variant = (keys, absent)
        work = prepared._variants.get(variant)
        if work is None:
            work = _render(self.schema, prepared.root.type_name, [(k, fields[k].nodes[0]) for k in keys], absent)
            if len(prepared._variants) < VARIANT_MEMO:
                prepared._variants[variant] = work
        return work

    async def _introspect(self, prepared: Prepared, fields: dict[str, Collected], variables: dict[str, Any],
                          errors: list[dict[str, Any]], meter: _Meter, client: str) -> dict[str, Any]:
        nodes = [node for f in fields.values() if f.name in INTROSPECTION for node in f.nodes]
        if not nodes:
            return {}
        if not prepared.has_variables and prepared._introspection is not None:
            meter.add(INTROSPECTION_KEPT)  # what it measured, at most
            return prepared._introspection
        # graphql-core answers the introspection fields alone, in a document of just them, on a
        # preparing thread: the cost bound priced it, and the time bound stops what it did not foresee.
        operation = OperationDefinitionNode(operation=OperationType.QUERY, name=None, directives=(),
                                            variable_definitions=prepared.definition.variable_definitions,
                                            selection_set=SelectionSetNode(selections=tuple(nodes)))
        result, size = await self._on_preparer(PREPARE_SECONDS, client, _introspection, self.schema.schema,
                                                DocumentNode(definitions=(operation, *prepared.fragments)), variables)
        meter.add(size)
        errors.extend(dict(e.formatted) for e in result.errors or ())
        data: dict[str, Any] = result.data or {}
        if not prepared.has_variables and not result.errors and size <= INTROSPECTION_KEPT:
            prepared._introspection = data
        return data


def _introspection(schema: Any, document: DocumentNode, variables: dict[str, Any]) -> tuple[Any, int]:
    result = execute_sync(schema, document, variable_values=variables)
    return result, len(json.dumps(result.data)) if result.data is not None else 0


def _within(prepared: Prepared, limits: Limits) -> None:
    """The bounds that depend on the request's limits, checked on every use of a plan."""
    if prepared.field_count > limits.fields:
        raise _over_fields(limits)
    if prepared.cost > limits.cost:
        raise _over_cost(limits)


def _over_fields(limits: Limits) -> RequestError:
    return RequestError.of(f"the query selects more than {limits.fields} top-level fields, the limit", bound=True)


def _over_cost(limits: Limits) -> RequestError:
    return RequestError.of(f"the answer would hold more than {limits.cost} fields (lists counted with their "
                           f"items: search one per tool, introspection's types, fields and arguments), the limit",
                           bound=True)


def _measure(document: DocumentNode, root: SelectionSet) -> int:
    """The bytes a plan holds (its syntax tree and compiled selections), dropping the tree's
    locations on the way; one pass over both."""
    size = sys.getsizeof
    total = 0
    stack: list[Any] = [document, root]
    while stack:
        item = stack.pop()
        total += size(item)
        kind = type(item)
        if kind is tuple or kind is list:
            stack.extend(item)
        elif kind is Selection:
            total += size(item.__dict__) + size(item.conditions)
            if item.children is not None:
                stack.append(item.children)
        elif kind is SelectionSet:
            total += size(item.__dict__)
            stack.append(item.items)
        elif isinstance(item, Node):
            if item.loc is not None:  # through graphql-core's attribute hook: only where there is one
                item.loc = None
            keys = _NODE_KEYS.get(kind)
            if keys is None:
                keys = _NODE_KEYS[kind] = tuple(key for key in item.keys if key != "loc")
            for key in keys:
                value = getattr(item, key)
                kind = type(value)
                # What has nothing below it is counted here rather than stacked: names, mostly.
                if kind is str:
                    total += size(value)
                elif kind is NameNode:
                    if value.loc is not None:
                        value.loc = None
                    total += size(value) + size(value.value)
                elif kind is tuple and not value:
                    total += size(value)
                elif value is not None:
                    stack.append(value)
    return total


_NODE_KEYS: dict[type, tuple[str, ...]] = {}  # the attributes _measure follows, per kind of node


def _weight(query: str, value: Prepared | RequestError) -> int:
    """What a cache entry holds: its text, and the plan (or the error's messages)."""
    held = sys.getsizeof(query)
    if isinstance(value, Prepared):
        return held + value.weight
    return held + sum(len(json.dumps(e)) for e in value.errors)


class _Meter:
    """The bytes of an answer, counted as it is built (its JSON text, near enough)."""

    def __init__(self, limit: int) -> None:
        self.limit = limit
        self.used = 0

    def add(self, size: int) -> None:
        self.used += size
        if self.used > self.limit:
            raise RequestError.of(f"the answer would be over the limit of {self.limit} bytes: select less",
                                  RESPONSE_STATUS, bound=True)

    def leaf(self, value: Any) -> None:
        """A value put in whole: strings by their length, JSON values item by item."""
        if not isinstance(value, (dict, list)):  # most leaves: no stack to walk
            self.add(len(value) + 2 if isinstance(value, str) else 5)
            return
        stack = [value]
        while stack:
            item = stack.pop()
            if isinstance(item, str):
                self.add(len(item) + 2)
            elif isinstance(item, dict):
                self.add(2 + 4 * len(item))
                for key, inner in item.items():
                    self.add(len(key))
                    stack.append(inner)
            elif isinstance(item, list):
                self.add(2 + len(item))
                stack.extend(item)
            else:
                self.add(5)


def _operation(document: DocumentNode, name: str | None) -> OperationDefinitionNode:
    """The operation to run, chosen by name as GraphQL's GetOperation does."""
    operations = [d for d in document.definitions if isinstance(d, OperationDefinitionNode)]
    if name is None:
        if len(operations) == 1:
            return operations[0]
        raise RequestError.of("Must provide operation name if query contains multiple operations.")
    for operation in operations:
        if operation.name is not None and operation.name.value == name:
            return operation
    raise RequestError.of(f"Unknown operation named '{name}'.")


class _Expansion:
    """The selections a document's fragments may expand to, counted as they are."""

    def __init__(self, limit: int) -> None:
        self.left = limit

    def one_more(self) -> None:
        self.left -= 1
        if self.left < 0:
            raise RequestError.of("the document's fragments expand to too many selections", bound=True)


def _conditions(node: Any) -> tuple[Condition, ...] | None:
    """What @skip/@include on `node` leave to the variables; None when they drop it outright."""
    kept: list[Condition] = []
    for directive in node.directives or ():
        name = directive.name.value
        if name not in ("skip", "include"):
            continue
        value = next((a.value for a in directive.arguments if a.name.value == "if"), None)
        keep_when = name == "include"
        if isinstance(value, BooleanValueNode):
            if value.value is not keep_when:
                return None
        elif isinstance(value, VariableNode):
            kept.append((value.name.value, keep_when))
    return tuple(kept)


def _compile_set(selection_set: SelectionSetNode, parent: GraphQLObjectType, conditions: tuple[Condition, ...],
                 fragments: dict[str, FragmentDefinitionNode], expansion: _Expansion) -> SelectionSet:
    out = SelectionSet(parent.name, [])
    _expand(selection_set, parent, conditions, fragments, expansion, out)
    out.dynamic = any(item.conditions for item in out.items)
    return out


def _expand(selection_set: SelectionSetNode, parent: GraphQLObjectType, conditions: tuple[Condition, ...],
            fragments: dict[str, FragmentDefinitionNode], expansion: _Expansion, out: SelectionSet) -> None:
    # Every type a selection can meet here is an object type, so a fragment that
    # passed validation always applies: no type condition is checked at run time.
    for selection in selection_set.selections:
        own = _conditions(selection)
        if own is None:
            continue
        applied = conditions + own
        expansion.one_more()
        if isinstance(selection, FieldNode):
            name = selection.name.value
            children = None
            if selection.selection_set is not None and name not in INTROSPECTION:
                child_type = get_named_type(parent.fields[name].type)
                assert isinstance(child_type, GraphQLObjectType)
                children = _compile_set(selection.selection_set, child_type, (), fragments, expansion)
            key = selection.alias.value if selection.alias else name
            # A typed result's `structured` is read from the member the engine answers (`json`).
            definition = parent.fields.get(name)
            if definition is not None and definition.extensions:
                name = definition.extensions.get("reads", name)
            out.items.append(Selection(key, name, selection, applied, children))
        elif isinstance(selection, InlineFragmentNode):
            _expand(selection.selection_set, parent, applied, fragments, expansion, out)
        elif isinstance(selection, FragmentSpreadNode):
            _expand(fragments[selection.name.value].selection_set, parent, applied, fragments, expansion, out)


def _shape(value: Any, sets: list[SelectionSet], variables: dict[str, Any], meter: _Meter) -> Any:
    """`value` trimmed to its selection: the engine answers whole values. Every value put in
    the answer is counted on `meter`, so aliases that repeat a large value are stopped."""
    if value is None or not sets:
        meter.leaf(value)
        return value
    if isinstance(value, list):
        meter.add(len(value) + 2)
        return [_shape(v, sets, variables, meter) for v in value]
    if not isinstance(value, dict):
        meter.leaf(value)
        return value
    fields = sets[0].collect(variables) if len(sets) == 1 else \
        SelectionSet(sets[0].type_name, [i for s in sets for i in s.items], True).collect(variables)
    out = {}
    for key, found in fields.items():
        meter.add(len(key) + 4)
        if found.name == "__typename":
            out[key] = sets[0].type_name
        else:
            out[key] = _shape(value.get(found.name), found.children, variables, meter)
    return out


def _render(schema: GatewaySchema, root_type: str, fields: list[tuple[str, FieldNode]],
            absent: frozenset[str]) -> EngineWork:
    """The engine document for these top-level fields: `key: name(arguments)` each."""
    if not fields:
        return EngineWork(None, 0, 0, [])
    parent = schema.schema.get_type(root_type)
    assert isinstance(parent, GraphQLObjectType)
    writer = _ValueWriter(absent)
    parts = []
    tool_fields = 0
    for key, node in fields:
        name = node.name.value
        definition = parent.fields[name]
        is_tool = name in schema.tools
        tool_fields += is_tool
        arguments = []
        for argument in node.arguments:
            arg_type = definition.args[argument.name.value].type
            text = writer.write(argument.value, arg_type)
            if text is not None:
                arguments.append(f"{argument.name.value}:{text}")
        parts.append(f"{key}:{name}({','.join(arguments)})" if arguments else f"{key}:{name}")
    return EngineWork("{" + " ".join(parts) + "}", tool_fields, writer.literal_bytes, writer.uses)


class _ValueWriter:
    """Writes argument values in the engine's argument syntax, JSON-compatible literals and `$var`s.

    What GraphQL's input coercion would change is written already changed: a single value
    where a list is expected becomes a one-element list, and a variable that was not given
    leaves its input-object field or argument out (in a list it is null).
    """

    def __init__(self, absent: frozenset[str]) -> None:
        self.absent = absent
        self.literal_bytes = 0
        self.uses: list[str] = []

    def write(self, node: ValueNode, kind: GraphQLInputType | None) -> str | None:
        if isinstance(kind, GraphQLNonNull):
            kind = kind.of_type
        if isinstance(node, VariableNode):
            name = node.name.value
            if name in self.absent:
                return None
            self.uses.append(name)
            return f"${name}"
        if isinstance(kind, GraphQLList) and not isinstance(node, (ListValueNode, NullValueNode)):
            inner = self.write(node, kind.of_type)
            return f"[{'null' if inner is None else inner}]"
        text = self._literal(node, kind)
        return text

    def _literal(self, node: ValueNode, kind: GraphQLInputType | None) -> str:
        if isinstance(node, ListValueNode):
            inner = kind.of_type if isinstance(kind, GraphQLList) else None
            items = [self.write(v, inner) for v in node.values]
            return "[" + ",".join("null" if i is None else i for i in items) + "]"
        if isinstance(node, ObjectValueNode):
            fields = kind.fields if isinstance(kind, GraphQLInputObjectType) else {}
            members = []
            for f in node.fields:
                sub = fields[f.name.value].type if f.name.value in fields else None
                text = self.write(f.value, sub)
                if text is not None:
                    members.append(f"{f.name.value}:{text}")
            self.literal_bytes += 2 + len(members)
            return "{" + ",".join(members) + "}"
        if isinstance(node, StringValueNode):
            text = json.dumps(node.value)  # ASCII escapes: a block string or a lone surrogate reads the same
        elif isinstance(node, (IntValueNode, FloatValueNode, EnumValueNode)):
            text = node.value if not isinstance(node, EnumValueNode) else json.dumps(node.value)
        elif isinstance(node, BooleanValueNode):
            text = "true" if node.value else "false"
        else:
            text = "null"
        self.literal_bytes += len(text)
        return text


def _engine_variables(work: EngineWork, coerced: dict[str, Any]) -> tuple[str | None, int]:
    """The variables JSON the engine document reads, and the argument bytes its tool calls carry."""
    # Only tool fields take arguments (the schema gives `servers` and `search` none), so
    # every variable the engine reads is one a tool call carries.
    if not work.variable_uses:
        return None, work.literal_bytes
    written: dict[str, str] = {}
    fanout = work.literal_bytes
    for name in work.variable_uses:
        text = written.get(name)
        if text is None:
            try:
                text = written[name] = json_text.dumps_ascii(coerced[name])
            except ValueError:
                raise RequestError.of(f"variable ${name} holds a number JSON cannot write") from None
        fanout += len(text)
    return "{" + ",".join(f"{json.dumps(k)}:{v}" for k, v in written.items()) + "}", fanout


# Built-in scalars whose every value a JSON reader gives is checked by a type test (and Float's
# integers made floats), as graphql-core's coercion would find them.
PLAIN_SCALARS = frozenset({"String", "Boolean", "Int", "Float", "ID"})
INT_RANGE = range(-(1 << 31), 1 << 31)
EXACT_FLOAT = 1 << 53  # integers a float holds exactly


def _plain_variables(definition: OperationDefinitionNode) -> tuple[tuple[str, str, bool], ...] | None:
    """Each variable as (name, scalar, whether a list) when every one is a non-null built-in scalar,
    or a non-null list of them, with no default: most tool calls' variables are, and their values
    are coerced without graphql-core's walk. None when any is otherwise."""
    plan = []
    for variable in definition.variable_definitions:
        if variable.default_value is not None or variable.directives or not isinstance(variable.type, NonNullTypeNode):
            return None
        kind: Any = variable.type.type
        listed = isinstance(kind, ListTypeNode)
        if listed:
            if not isinstance(kind.type, NonNullTypeNode):
                return None
            kind = kind.type.type
        if not isinstance(kind, NamedTypeNode) or kind.name.value not in PLAIN_SCALARS:
            return None
        plan.append((variable.variable.name.value, kind.name.value, listed))
    return tuple(plan)


def _plain_values(plan: tuple[tuple[str, str, bool], ...], variables: dict[str, Any]) -> dict[str, Any] | None:
    """The variables coerced as graphql-core would, when each is plainly of its type; None when
    any is not (missing, null, another type, out of range): graphql-core then coerces them, and
    words the errors."""
    coerced = {}
    for name, scalar, listed in plan:
        value = variables.get(name)
        if listed:
            if type(value) is not list:
                return None
            items = [_plain_scalar(scalar, item) for item in value]
            if any(item is None for item in items):
                return None
            coerced[name] = items
        else:
            one = _plain_scalar(scalar, value)
            if one is None:
                return None
            coerced[name] = one
    return coerced


def _plain_scalar(scalar: str, value: Any) -> Any:
    kind = type(value)
    if scalar == "Float":
        if kind is float:
            return value if math.isfinite(value) else None
        return float(value) if kind is int and -EXACT_FLOAT <= value <= EXACT_FLOAT else None
    if scalar == "Int":
        return value if kind is int and value in INT_RANGE else None
    if scalar == "Boolean":
        return value if kind is bool else None
    return value if kind is str else None  # String, ID (an ID given as a number goes the long way)
