"""The GraphQL front: the typed schema, validation, operations, fragments, directives,
introspection, trimming and the front's bounds, over in-process and npm servers."""

import asyncio
import gc
import json
import os
import shutil
import subprocess
import sys
import tracemalloc
from collections.abc import Iterator
from pathlib import Path
from typing import Any, Literal

import pytest
from conftest import LoopThread, require_mcp_sdk

require_mcp_sdk()

import _graphql
from gql import Client, gql
from gql.transport import Transport
from mcp.server.fastmcp import FastMCP
from mcp.types import ToolAnnotations
from mcp_test_server import server as test_server
from pydantic import BaseModel, ConfigDict

import graphql

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO))
from gateway import Gateway, ServerConfig, in_process, load_config
from gateway.limits import Limits
from gateway.config import BUNDLED
from support import running
from gateway.fields import FieldIndex
from gateway.front import Front, RequestError
from gateway.mcp_server import _part
from gateway.schema import build
from gateway.int_variables import RULES
from gateway.own_fields import DEFINITIONS, OWN_FIELD_MARK
from gateway.validation import rules_for
from gateway import plain
from gateway.prescan import top_level_selections
from gateway.preparing import Preparer

shapes = FastMCP("shapes", log_level="WARNING")


class Point(BaseModel):
    model_config = ConfigDict(extra="forbid")  # closed: an input object type
    x: int
    y: int


@shapes.tool(name="shape", annotations=ToolAnnotations(readOnlyHint=True), description="Echoes its arguments")
def shape(color: Literal["red", "green"], tags: list[str], point: Point | None = None, count: int = 1) -> dict[str, Any]:
    return {"color": color, "tags": tags, "point": point.model_dump() if point else None, "count": count}


class Calls:
    def __init__(self) -> None:
        self.lines: list[str] = []

    def __call__(self, line: str) -> None:
        self.lines.append(line)  # written on the loop thread only

    def tools(self) -> list[str]:
        return [line.split()[1] for line in self.lines]


@pytest.fixture(scope="module")
def served(runner: LoopThread) -> Iterator[tuple[LoopThread, Gateway, Calls]]:
    calls = Calls()
    with running(runner, [in_process("alpha", test_server), in_process("shapes", shapes)], call_timeout=10,
                 call_log=calls, limits=Limits(fanout=400)) as gateway:
        yield runner, gateway, calls


def ask(served: tuple[LoopThread, Gateway, Calls], query: str, variables: dict[str, Any] | None = None,
        operation: str | None = None) -> tuple[dict[str, Any], list[str]]:
    """The response, and the tools it called."""
    runner, gateway, calls = served
    before = len(calls.lines)
    response = json.loads(runner.run(gateway.execute(query, variables, operation)))
    return response, calls.tools()[before:]


@pytest.mark.parametrize(("query", "variables", "data", "called"), [
    ('{ a: alpha_text(body: "a") @skip(if: true) { text } __typename }', None, {"__typename": "Query"}, []),
    ('query ($s: Boolean!) { a: alpha_text(body: "a") @include(if: $s) { text } }', {"s": False}, {}, []),
    ('query ($s: Boolean!) { a: alpha_text(body: "a") @include(if: $s) { text } }', {"s": True},
     {"a": {"text": "a"}}, ["alpha.text"]),
    ('query ($s: Boolean = true) { ... @skip(if: $s) { a: alpha_text(body: "a") { text } } b: __typename }', None,
     {"b": "Query"}, []),
    ('query ($s: Boolean!) { ...F @include(if: $s) } fragment F on Query { a: alpha_text(body: "f") { text } }',
     {"s": False}, {}, []),
    ('query ($s: Boolean!) { a: alpha_text(body: "x") { text @skip(if: $s) isError } }', {"s": True},
     {"a": {"isError": False}}, ["alpha.text"]),
])
def test_skip_and_include_decide_which_tools_are_called(served: Any, query: str, variables: Any,
                                                         data: dict[str, Any], called: list[str]) -> None:
    response, tools = ask(served, query, variables)
    assert response == {"data": data}
    assert tools == called


@pytest.mark.parametrize(("operation", "expected"), [
    ("A", {"data": {"a": "Query"}}),
    ("B", {"data": {"w": {"json": {"written": True}}}}),
    (None, {"errors": [{"message": "Must provide operation name if query contains multiple operations."}]}),
    ("C", {"errors": [{"message": "Unknown operation named 'C'."}]}),
])
def test_the_operation_is_chosen_by_name(served: Any, operation: str | None, expected: dict[str, Any]) -> None:
    response, tools = ask(served, "query A { a: __typename } mutation B { w: alpha_write { json } }", None,
                          operation)
    assert response == expected
    assert tools == (["alpha.write"] if operation == "B" else [])


def test_fragments_aliases_and_trimming_keep_the_selection_order(served: Any) -> None:
    query = """
      query { ...Tools servers { ...S } t: __typename }
      fragment Tools on Query { z: alpha_echo_args(number: 2) { ...R json } a: alpha_echo_args(number: 3) { isError } }
      fragment R on ToolResult { __typename kind: isError ... on ToolResult { text } }
      fragment S on Server { toolCount name }
    """
    response, tools = ask(served, query)
    data = response["data"]
    assert list(data) == ["z", "a", "servers", "t"]
    assert list(data["z"]) == ["__typename", "kind", "text", "json"]
    assert data["z"]["__typename"] == "ToolResult" and data["z"]["json"]["number"] == 2
    assert data["a"] == {"isError": False}
    assert [list(s) for s in data["servers"]] == [["toolCount", "name"]] * 2
    assert sorted(tools) == ["alpha.echo-args", "alpha.echo-args"]


@pytest.mark.parametrize(("query", "variables", "message"), [
    ("{ alpha_write { json } }", None, "Cannot query field 'alpha_write' on type 'Query'"),
    ('{ alpha_text(body: "x", extra: 1) { text } }', None, "Unknown argument 'extra'"),
    ("{ alpha_text { text } }", None, "argument 'body' of type 'String!' is required"),
    ('{ alpha_text(body: "x") }', None, "must have a selection of subfields"),
    ("query ($n: Int) { alpha_echo_args(number: $n) { json } }", {"n": "str"},
     "Variable '$n' got invalid value 'str'"),
    ('{ shapes_shape(color: blue, tags: []) { json } }', None, "Value 'blue' does not exist"),
    ("{ alpha_text(body: ", None, "Syntax Error"),
    ("subscription { __typename }", None, "no subscription operations"),
    ("{ alpha_echo_args(value: " + "[" * 5000 + "]" * 5000 + ") { json } }", None, "nests too deeply"),
    ("{ servers " + "{ name " * 5000 + "}" * 5001, None, "nests too deeply"),
    ("{ " + 'a: alpha_text(body: "x") { text } ' * 1001 + "}", None, "more than 1000 top-level fields"),
])
def test_what_the_schema_refuses_calls_nothing(served: Any, query: str, variables: Any, message: str) -> None:
    response, tools = ask(served, query, variables)
    assert list(response) == ["errors"] and message in response["errors"][0]["message"], response
    assert tools == []


def test_arguments_reach_the_tool_as_graphql_coerces_them(served: Any) -> None:
    query = """query ($p: ShapesShapePointInput, $n: Int, $t: String!) {
      given: shapes_shape(color: green, tags: "one", point: $p, count: $n) { json }
      literal: shapes_shape(color: red, tags: [$t, \"\"\"block\"\"\"], point: {x: 1, y: -2}) { json }
    }"""
    response, _ = ask(served, query, {"p": {"x": 3, "y": 4}, "t": "é\u2028"})
    data = response["data"]
    # A single value where a list goes is a list of one; a variable not given leaves its argument out.
    assert data["given"]["json"] == {"color": "green", "tags": ["one"], "point": {"x": 3, "y": 4}, "count": 1}
    assert data["literal"]["json"] == {"color": "red", "tags": ["é\u2028", "block"], "point": {"x": 1, "y": -2},
                                       "count": 1}


def test_introspection_builds_the_same_schema_on_the_client(served: Any) -> None:
    _, gateway, _ = served
    response, tools = ask(served, graphql.get_introspection_query(
        descriptions=True, specified_by_url=True, directive_is_repeatable=True, schema_description=True,
        input_value_deprecation=True))
    client_schema = graphql.build_client_schema(response["data"])
    assert graphql.print_schema(client_schema) == gateway.generation.schema.sdl()
    assert tools == []
    mixed, tools = ask(served, '{ t: __type(name: "Point") { name } a: alpha_text(body: "m") { text } b: __typename }')
    assert mixed == {"data": {"t": None, "a": {"text": "m"}, "b": "Query"}} and tools == ["alpha.text"]


class GatewayTransport(Transport):
    """gql's transport straight into Gateway.execute, on the gateway's loop."""

    def __init__(self, runner: LoopThread, gateway: Gateway) -> None:
        self.runner, self.gateway = runner, gateway

    def connect(self) -> None:
        pass

    def close(self) -> None:
        pass

    def execute(self, request: Any, *_: Any, **__: Any) -> graphql.ExecutionResult:
        text = self.runner.run(self.gateway.execute(graphql.print_ast(request.document), request.variable_values,
                                                    request.operation_name))
        response = json.loads(text)
        return graphql.ExecutionResult(response.get("data"), response.get("errors"))


def test_gql_validates_against_the_fetched_schema(served: Any) -> None:
    runner, gateway, _ = served
    with Client(transport=GatewayTransport(runner, gateway), fetch_schema_from_transport=True) as session:
        assert session.execute(gql('{ alpha_text(body: "q") { text } }')) == {"alpha_text": {"text": "q"}}
        with pytest.raises(graphql.GraphQLError, match="Unknown argument 'nope'"):
            session.execute(gql('{ alpha_text(body: "q", nope: 1) { text } }'))


def test_the_fanout_bound_counts_each_use_of_a_variable(served: Any) -> None:
    query = "query ($v: String!) { a: alpha_text(body: $v) { text } b: alpha_text(body: $v) { text } }"
    ok, tools = ask(served, query, {"v": "x" * 150})
    assert ok["data"]["b"]["text"] == "x" * 150 and tools == ["alpha.text"] * 2
    refused, tools = ask(served, query, {"v": "x" * 250})  # each use alone fits the 400 bytes
    assert "over the limit of 400" in refused["errors"][0]["message"] and tools == []


def test_a_fragment_bomb_is_refused_without_blowing_up(served: Any) -> None:
    levels = ["fragment F0 on Query { __typename }"] + [f"fragment F{n} on Query {{ ...F{n - 1} ...F{n - 1} }}"
                                                      for n in range(1, 40)]
    response, _ = ask(served, "{ ...F39 } " + " ".join(levels))
    assert "the answer would hold more than" in response["errors"][0]["message"]  # priced before it expands


def test_the_cache_is_bounded_and_hit_by_document_and_operation_name(served: Any) -> None:
    _, gateway, _ = served
    generation = gateway.generation
    assert generation is not None
    front = Front(generation.schema, generation.engine, gateway.dispatcher.on_query_thread, cache_entries=3,
                  cache_bytes=40_000)
    first = front.prepare("query A { a: __typename } query B { b: __typename }", "A")
    assert front.prepare("query A { a: __typename } query B { b: __typename }", "A") is first
    assert front.prepare("query A { a: __typename } query B { b: __typename }", "B") is not first
    for n in range(5):
        front.prepare(f"{{ n{n}: __typename }}")
    assert front.cache_size()[0] == 3
    front.prepare("{ " + "a: __typename " * 300 + "}")  # 4 KB of text, more than 40 KB as a plan: never kept
    assert front.cache_size()[1] <= 40_000
    with pytest.raises(RequestError) as refused:
        front.prepare("{ " + "__typename " * 1001 + "}")
    assert "more than 1000 top-level fields" in refused.value.errors[0]["message"]


def test_only_a_short_plain_document_is_prepared_on_the_loop(served: Any) -> None:
    _, gateway, _ = served
    generation = gateway.generation
    assert generation is not None

    class Counted(Preparer):
        runs = 0

        async def run(self, *args: Any) -> Any:
            self.runs += 1
            return await super().run(*args)

    preparer = Counted()
    front = Front(generation.schema, generation.engine, gateway.dispatcher.on_query_thread, preparer=preparer)
    documents = ["{ a: __typename servers { name } }", '{ alpha_text(body: "x") { text } }',
                 "{ " + "a: __typename " * 50 + "}", "{ nope }", "query($b: String!) { alpha_text(body: $b) { text } }"]
    for query in documents:
        try:
            asyncio.run(front.prepare_async(query))
        except RequestError:
            pass
    assert preparer.runs == 3


def test_the_cache_counts_what_a_plan_holds_not_its_text(served: Any) -> None:
    _, gateway, _ = served
    generation = gateway.generation
    assert generation is not None
    front = Front(generation.schema, generation.engine, gateway.dispatcher.on_query_thread)
    query = "{ " + " ".join(f"a{n}: servers {{ name description }}" for n in range(900)) + " }"
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        front.prepare(query)
        gc.collect()  # the parser's tokens link to each other: only a collection frees them
        held = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    counted = front.cache_size()[1]
    assert held / 2 < counted < held * 2, (held, counted, len(query))


# ---- the JSON Schema mapping ------------------------------------------------------------------


@pytest.mark.parametrize(("schema", "required", "expected"), [
    ({"type": "string"}, True, "String!"),
    ({"type": "integer"}, False, "SafeInt"),  # no bounds: a millisecond time must fit
    ({"type": "integer", "minimum": 0, "maximum": 100}, False, "Int"),
    ({"type": "integer", "minimum": 0}, False, "SafeInt"),
    ({"type": "integer", "minimum": -(2**53 - 1), "maximum": 2**53 - 1}, True, "SafeInt!"),  # Zod's .int()
    ({"type": "number"}, True, "Float!"),
    ({"type": "boolean"}, False, "Boolean"),
    ({"type": ["string", "null"]}, True, "String"),
    ({"anyOf": [{"type": "integer"}, {"type": "null"}]}, True, "SafeInt"),
    ({"anyOf": [{"type": "integer"}, {"type": "number"}]}, True, "Float!"),
    ({"anyOf": [{"type": "string"}, {"type": "integer"}]}, True, "JSON!"),  # null is not among them
    ({"enum": ["up", "down"]}, True, "STPEnum!"),
    ({"enum": ["a b", "c"]}, True, "String!"),
    ({"enum": ["true", "x"]}, True, "String!"),
    ({"enum": ["Y", "y", "Yes", "yes"]}, True, "String!"),  # one identifier in a generated client
    ({"enum": ["a_b", "aB"]}, True, "String!"),
    ({"enum": [1, 2]}, False, "JSON"),
    ({"const": "only"}, True, "STPEnum!"),
    ({"type": "array", "items": {"type": "integer"}}, True, "[SafeInt!]!"),
    ({"type": "array", "items": {"type": ["integer", "null"]}}, False, "[SafeInt]"),
    ({"type": "array"}, False, "[JSON]"),
    ({"type": "object", "properties": {"x": {"type": "integer"}}}, False, "JSON"),  # open: any member may come
    ({"type": "object", "properties": {"x": {"type": "integer"}}, "required": ["x"], "additionalProperties": False},
     True, "STPInput!"),
    ({"type": "object", "properties": {"a-b": {}}, "additionalProperties": False}, False, "JSON"),
    ({"$ref": "#/$defs/Dir"}, True, "STPEnum!"),
    ({"$ref": "#/$defs/Loop"}, False, "JSON"),
    ({"$ref": "#/$defs/Tree"}, False, "STPInput"),  # its `kids` are [JSON!]: the type is cut where it repeats
    ({}, True, "JSON"),
])
def test_json_schema_to_graphql_types(schema: dict[str, Any], required: bool, expected: str) -> None:
    input_schema = {"type": "object", "properties": {"p": schema, "bad-name": {"type": "string"},
                                                     "bad_name": {"type": "string"}},
                    "required": ["p"] if required else [],
                    "$defs": {"Dir": {"enum": ["in", "out"]}, "Loop": {"$ref": "#/$defs/Loop"},
                               "Tree": {"type": "object", "additionalProperties": False, "properties": {
                                   "kids": {"type": "array", "items": {"$ref": "#/$defs/Tree"}}}}}}
    catalogue = [{"server": "s", "tools": [{"name": "t", "inputSchema": input_schema}]}]
    field = build(catalogue, FieldIndex.of(_graphql.SchemaEngine(json.dumps(catalogue)))).schema.query_type.fields["s_t"]
    # A property that is no GraphQL name is an argument still, clear of the name another one has.
    assert list(field.args) == ["p", "bad_name_2", "bad_name"]
    assert "`bad-name`" in (field.args["bad_name_2"].description or "")
    assert str(field.args["p"].type) == expected


OWNER = {"type": "object", "properties": {"name": {"type": "string", "description": "Their name"}}}


def test_the_sdl_says_each_text_of_the_tools_once() -> None:
    own = {"annotations": {"readOnlyHint": True}, "_meta": {OWN_FIELD_MARK: True}}
    listing = {"name": "_list_resources", "description": DEFINITIONS["_list_resources"][0], **own}
    output = {"type": "object", "properties": {"owner": OWNER, "n": {"type": "integer"}}}
    catalogue = [{"server": "s", "serverDescription": "Use s well.", "tools": [
        {"name": "get-item", "description": "Gets an item.", "outputSchema": output, "inputSchema": {
            "type": "object", "properties": {
                "utc_offset": {"type": "number", "title": "Utc Offset"},  # a title that only repeats the name
                "note": {"type": "string", "title": "A note to keep"},
                "kind": {"enum": ["a", "b"], "description": "Which kind"}}}},
        {"name": "twin", "description": "Same output.", "outputSchema": output},
        {"name": "other", "outputSchema": {"type": "object", "properties": {"maker": OWNER}}},
        listing]},
        {"server": "t", "serverDescription": "Use t too.", "tools": [listing]}]
    schema = build(catalogue, FieldIndex.of(_graphql.SchemaEngine(json.dumps(catalogue))))
    sdl = schema.sdl()
    for text in ("Gets an item.", "A note to keep", "Which kind", "Their name", "Use s well.", "Use t too.",
                 DEFINITIONS["_list_resources"][0]):
        assert sdl.count(text) == 1, text
    assert "Utc Offset" not in sdl and "`get-item`" not in sdl  # the field's name says which tool it is
    fields = schema.schema.query_type.fields
    assert fields["s_get_item"].type.of_type is fields["s_twin"].type.of_type
    assert fields["s_get_item"].type.of_type.fields["structured"].type.fields["owner"].type is \
        fields["s_other"].type.of_type.fields["structured"].type.fields["maker"].type
    assert schema.own == {"s__list_resources", "t__list_resources"}
    part = _part(schema, {"t"})  # the `schema` tool's part for one server says what its fields need
    assert DEFINITIONS["_list_resources"][0] in part and "Use t too." in part and "Use s well." not in part


def test_hostile_input_schemas_map_in_linear_time() -> None:
    # Each definition uses the next twice, 12 deep: 4,096 paths to one definition, mapped once.
    defs = {f"D{n}": {"type": "object", "additionalProperties": False, "properties": {
        "a": {"$ref": f"#/$defs/D{n + 1}"}, "b": {"$ref": f"#/$defs/D{n + 1}"}}} for n in range(12)}
    defs["D12"] = {"type": "string"}
    wide = {f"p{n}": {"type": "string"} for n in range(20_000)}  # and all of them required
    catalogue = [{"server": "s", "tools": [
        {"name": "deep", "inputSchema": {"type": "object", "properties": {"x": {"$ref": "#/$defs/D0"}},
                                         "$defs": defs}},
        {"name": "wide", "inputSchema": {"type": "object", "properties": wide, "required": list(wide)}}]}]
    fields = build(catalogue, FieldIndex.of(_graphql.SchemaEngine(json.dumps(catalogue)))).schema.query_type.fields
    top = fields["s_deep"].args["x"].type
    assert top.fields["a"].type is top.fields["b"].type  # one type for one definition
    assert str(fields["s_wide"].args["p19999"].type) == "String!"


NPM = {"files": "mcp-server-filesystem", "memory": "mcp-server-memory", "everything": "mcp-server-everything"}


@pytest.mark.slow
@pytest.mark.skipif(not all(shutil.which(b) for b in NPM.values()), reason="the npm servers are not installed")
def test_every_tool_of_the_npm_servers_gets_a_valid_field(tmp_path: Path) -> None:
    configs = [c for c in load_config(BUNDLED) if c.name in NPM]
    configs.append(ServerConfig("everything", command=NPM["everything"], args=("stdio",), cwd=tmp_path))

    async def schema_and_tools() -> tuple[graphql.GraphQLSchema, list[tuple[str, bool]]]:
        async with Gateway(configs, start_timeout=60) as gateway:
            assert all(u.up for u in gateway.upstreams.values()), gateway.health()
            generation = gateway.generation
            assert generation is not None
            hits = json.loads(generation.engine.execute("{ search }"))["data"]["search"]
            return generation.schema.schema, [(h["field"], h["readOnly"]) for h in hits]

    schema, tools = asyncio.run(schema_and_tools())
    assert len(tools) > 20
    for field, read_only in tools:
        root = schema.query_type if read_only else schema.mutation_type
        assert root is not None and field in root.fields, field
    graphql.assert_valid_schema(schema)
    assert graphql.build_schema(graphql.print_schema(schema))  # the SDL reads back


def test_the_command_line_prints_the_schema(tmp_path: Path) -> None:
    config = tmp_path / "servers.json"
    config.write_text(json.dumps({"mcpServers": {"alpha": {
        "command": sys.executable, "args": [str(Path(__file__).resolve().parent / "mcp_test_server.py")]}}}))
    env = {**os.environ, "PYTHONPATH": os.pathsep.join((str(Path(_graphql.__file__).resolve().parent), str(REPO)))}
    done = subprocess.run([sys.executable, "-m", "gateway", "--schema", "--config", str(config)], cwd=REPO, env=env,
                          capture_output=True, text=True, timeout=60, check=False)
    assert done.returncode == 0, done.stderr
    schema = graphql.build_schema(done.stdout)
    assert schema.mutation_type is not None and "alpha_write" in schema.mutation_type.fields
    assert str(schema.query_type.fields["alpha_sleep"].args["seconds"].type) == "Float!"


@pytest.mark.parametrize("query", [
    "{ a }", "{ a(x: 1) }", "{ a(n: 1, n: 2) }", '{ a(n: "one") }', "{ o(i: {v: 1, v: 2}) }",
    "{ a @nope }", "{ a @skip(if: true) @skip(if: true) }", "{ b }", "{ o }", "{ a { x } }",
    "query($v: Int) { a }", "{ a(n: $v) }", "query($v: O) { a(n: $v) }", "query($v: String) { a(n: $v) }",
    "{ ...F }", "{ ... on Nope { a } }", "fragment F on Query { a }", "fragment F on Query { ...F } { ...F }",
    "{ a(n: 1) a(n: 2) }", "type T { a: Nope } { a }", "{ a } { a }", "# $ ... @ (\n{ b }",
])
def test_validation_skips_only_rules_that_find_nothing(query: str) -> None:
    schema = graphql.build_schema("input I { v: Int } type O { v: Int } "
                                  "type Query { a(n: Int): Int o(i: I): O }")
    document = graphql.parse(query)
    assert graphql.validate(schema, document, rules_for(query, document)) == graphql.validate(schema, document, RULES)


PLAIN_SCHEMA = graphql.build_schema("""
    type Query { a: Int e: E o: O l: [O!]! r(n: Int!): Int opt(n: Int): O i: I
                 f(s: String, i: ID, x: Float, b: Boolean!, e: E, l: [[Int!]], in: In, j: J = 1): Int }
    input In { v: Int }
    scalar J
    type Mutation { w: Int }
    type O { v: Int o: O }
    enum E { X }
    interface I { v: Int }
    type P implements I { v: Int }
""")


@pytest.mark.parametrize(("query", "is_plain"), [
    ("{ a }", True), ("query Q { x: a, a o { v } }", True), ("mutation { w }", True), ("query query { a }", True),
    ("{ l { v o { o { v } } } opt { v } }", True), ("{ a: a a e }", True), ("{ o { v } o { o { v } } }", True),
    ("\ufeff{ __typename\to { __typename } }\r\n", True), ("{ " + "o { " * 30 + "v" + " }" * 31, True),
    ("{ b }", False), ("{ r }", False), ("{ a { v } }", False), ("{ o }", False), ("{ i { v } }", False),
    ("{ x: a x: e }", False), ("{ o { x: v } o { x: o { v } } }", False), ("{ __schema { types { name } } }", False),
    ("{ __typename { a } }", False), ("subscription { a }", False), ("{ a } { a }", False), ("{ }", False),
    ("query Q { a } query R { a }", False), ("{ a", False), ("{ 1a }", False), ("{ a } # c", False),
    ("{ a(n: 1) }", False), ("{ ...F } fragment F on Query { a }", False), ("{ x: }", False), ("{ : a }", False),
    ("mutation { a }", False), ("{ query }", False), ("{ " + "o { " * 40 + "v" + " }" * 41, False),
    ('{ f(b: true, s: "x #\t\u00e9", i: 7, x: -1.5e3, e: X, l: [[1], 2, []], j: [{}]) r(n: 0) }', False),
    ('{ f(b: true, s: "x #\t\u00e9", i: 7, x: -1.5e3, e: X, l: [[1], 2, []]) r(n: 0) }', True),
    ('{ f(b: false, s: null, j: [1, "a", null, x]) x: f(b: true) opt(n: -0) { v } }', True),
    ("{ f(b: true, b: true) }", False), ("{ f(b: null) }", False), ("{ f(s: 1, b: true) }", False),
    ("{ f(e: Y, b: true) }", False), ("{ f(l: [[null]], b: true) }", False), ("{ f(b: true, i: 1.5) }", False),
    ("{ f }", False), ("{ f() }", False), ("{ f(b: true, in: {v: 1}) }", False), ("{ f(b: true, z: 1) }", False),
    ("{ f(b: true, x: 01) }", False), ("{ f(b: true, x: 1.) }", False), ("{ f(b: true, x: 1e) }", False),
    ("{ r(n: 2147483648) }", False), ('{ f(b: true, s: """x""") }', False), ('{ f(b: true, s: "\\n") }', False),
    ("{ f(b: true) f(b: true) }", False), ("{ __typename(b: true) }", False), ("{ f(b: $v) }", False),
    ("{ f(b: true) @skip(if: true) }", False), ('{ f(b: true, s: "a" "b") }', False), ("{ f(b: true l: [1) }", False),
    ("{ " + "a" * 5000 + " $", False),  # refused in linear time, not by trying each split of the name
])
def test_plain_documents_are_read_only_when_graphql_core_reads_them_alike(query: str, is_plain: bool) -> None:
    read = plain.read(query, PLAIN_SCHEMA)
    assert (read is not None) is is_plain
    if read is not None:
        assert read == graphql.parse(query, no_location=True)
        assert graphql.validate(PLAIN_SCHEMA, graphql.parse(query)) == []


@pytest.mark.parametrize(("query", "operation"), [
    ("{ a b: c ...F ... on T { x } ... @skip(if: true) { y } d @include(if: $v) on }", None),
    ('query Q($v: In = {a: 1, b: [1, "}"]}) @d(x: 1) { a(o: {x: "{", y: """a}\\"""b"""}) { b c } # }\n e }', "Q"),
    ("query A { a } query B { a b }", "B"), ("query A { a } query B { a b }", None), ('"d" query { a, b }', None),
    ("{ a } fragment F on Q { a b }", None), ("mutation M { a(n: -1.5e3, l: [[1], []]) ...F }", "N"),
    ("{ a }" + " ,\t#\n" * 5000, None), ("query A { a b } # query A { c }", "A"),
])
def test_top_level_selections_are_counted_from_tokens_as_parsed(query: str, operation: str | None) -> None:
    operations = [d for d in graphql.parse(query).definitions if isinstance(d, graphql.OperationDefinitionNode)
                  and operation in (None, d.name and d.name.value)]
    expected = len(operations[0].selection_set.selections) if len(operations) == 1 else 0
    assert top_level_selections(query, operation) == expected


SCALARS_SCHEMA = graphql.build_schema("type Query { f(a: Float, i: Int, s: String, b: Boolean, d: ID, l: [Float!]): Int }")


@pytest.mark.parametrize(("declared", "variables", "plain"), [
    ("$a: Float!, $i: Int!, $s: String!, $b: Boolean!, $d: ID!", {"a": 2, "i": 3, "s": "x", "b": True, "d": "7"}, True),
    ("$a: Float!, $l: [Float!]!", {"a": 1.5, "l": [1, 2.5], "extra": 1}, True),
    ("$a: Float!", {"a": 1 << 60}, False),
    ("$a: Float!", {"a": True}, False),
    ("$i: Int!", {"i": 1 << 31}, False),
    ("$i: Int!", {"i": 3.0}, False),
    ("$b: Boolean!", {"b": 1}, False),
    ("$d: ID!", {"d": 7}, False),
    ("$s: String!", {}, False),
    ("$s: String!", {"s": None}, False),
    ("$l: [Float!]!", {"l": 1}, False),
    ("$l: [Float!]!", {"l": [1, "x"]}, False),
])
def test_plain_variables_are_coerced_as_graphql_core_coerces_them(declared: str, variables: dict[str, Any],
                                                                  plain: bool) -> None:
    from gateway.front import _plain_values, _plain_variables
    definition = graphql.parse(f"query({declared}) {{ __typename }}").definitions[0]
    assert isinstance(definition, graphql.OperationDefinitionNode)
    plan = _plain_variables(definition)
    assert plan is not None
    fast = _plain_values(plan, variables)
    assert (fast is not None) == plain
    expected = graphql.execution.values.get_variable_values(SCALARS_SCHEMA, definition.variable_definitions, variables)
    if fast is not None:
        assert repr(fast) == repr(expected)  # repr: 2.0 is not 2


@pytest.mark.parametrize("declared", ["$a: Float", "$a: Float! = 1", "$l: [Float]!", "$l: [Float!]", "$p: Point!"])
def test_other_variables_go_the_whole_way(declared: str) -> None:
    from gateway.front import _plain_variables
    definition = graphql.parse(f"query({declared}) {{ __typename }}").definitions[0]
    assert isinstance(definition, graphql.OperationDefinitionNode)
    assert _plain_variables(definition) is None
