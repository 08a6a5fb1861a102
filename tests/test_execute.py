"""Requests through execute: validation, built-in fields, tool fields and the envelope."""

import json

import pytest

from _graphql import SchemaEngine

CATALOGUE = json.dumps(
    [
        {"server": "s", "name": "t", "description": "the t tool"},
        {"server": "s", "name": "w", "readOnly": False},
        {"server": "-", "name": "typename"},
        {"server": "a-b", "name": "c"},
        {"server": "a_b", "name": "c"},
    ]
)

PLACEHOLDER = {
    "isError": True,
    "json": None,
    "text": "SchemaEngine stub resolved s.t but CallBridge is not wired yet",
}


@pytest.fixture
def engine():
    return SchemaEngine(CATALOGUE)


def error_of(response):
    body = json.loads(response)
    assert body["data"] is None and len(body["errors"]) == 1
    return body["errors"][0]["message"]


@pytest.mark.parametrize(
    "query, variables, message",
    [
        ("", None, "GraphQL query must not be blank"),
        (" \t\n\u2003", "not json", "GraphQL query must not be blank"),
        ("{ a", "[1]", "variables_json must decode to a JSON object"),
        ("{ a", "{", "invalid variables JSON: EOF while parsing an object at line 1 column 1"),
        ("{}", None, "GraphQL query must select at least one top-level field"),
        ("{ __typename nosuchfield }", None, "unknown GraphQL field: nosuchfield"),
        ("{ x: nosuchfield }", None, "unknown GraphQL field: nosuchfield"),
        ("fragment F on T { a }", None, "unsupported GraphQL operation: fragment"),
        ("{ s_t(x: $v) }", "  ", "missing GraphQL variable: $v"),
        ("{ s_t(x: [" * 1 + "[" * 1_000_000 + " }", None, "GraphQL argument value nested too deeply"),
    ],
)
def test_request_errors(engine, query, variables, message):
    assert error_of(engine.execute(query, variables)) == message


def test_blank_query_exact_text(engine):
    assert engine.execute("") == '{"data":null,"errors":[{"message":"GraphQL query must not be blank"}]}'


@pytest.mark.parametrize(
    "query, expected",
    [
        ("{ __typename }", '{"data":{"__typename":"Query"},"errors":[]}'),
        ("{ kind: __typename }", '{"data":{"kind":"Query"},"errors":[]}'),
        ("query Q($x: Int = 1) @dir { __typename(a: 1) { nested } }", '{"data":{"__typename":"Query"},"errors":[]}'),
        ("subscription { __typename }", '{"data":{"__typename":"Query"},"errors":[]}'),
        ("{ b: __typename a: __typename }", '{"data":{"a":"Query","b":"Query"},"errors":[]}'),
    ],
)
def test_typename(engine, query, expected):
    assert engine.execute(query) == expected


def test_builtins_ignore_arguments_and_sort_keys(engine):
    plain = json.loads(engine.execute("{ search servers }"))["data"]
    filtered = json.loads(engine.execute('{ search(query: "t", limit: 1) servers(x: 1) }'))["data"]
    assert plain == filtered
    assert [hit["field"] for hit in plain["search"]] == ["s_t", "s_w", "__typename", "a_b_c", "a_b_c"]
    assert [s["name"] for s in plain["servers"]] == ["-", "a-b", "a_b", "s"]
    response = engine.execute("{ b: __typename a: servers }")
    assert response.index('"a":') < response.index('"b":')


def test_tool_named_like_a_builtin_is_shadowed(engine):
    assert engine.execute("{ __typename }") == '{"data":{"__typename":"Query"},"errors":[]}'


def test_detached_tool_fields_take_placeholders(engine):
    body = json.loads(engine.execute("{ s_t x: s_t(a: 1) }"))
    assert body == {"data": {"s_t": PLACEHOLDER, "x": PLACEHOLDER}, "errors": []}


def test_first_catalogue_tool_answers_a_shared_field_name(engine):
    body = json.loads(engine.execute("{ a_b_c }"))
    assert body["data"]["a_b_c"]["text"] == "SchemaEngine stub resolved a-b.c but CallBridge is not wired yet"


@pytest.mark.parametrize(
    "query, value",
    [
        # Two built-ins under one key: the later one stays.
        ("{ k: __typename k: search }", "search"),
        # A tool field wins over a built-in under one key, whatever the order.
        ("{ k: s_t k: __typename }", "tool"),
        ("{ k: __typename k: s_t }", "tool"),
    ],
)
def test_duplicate_response_keys(engine, query, value):
    data = json.loads(engine.execute(query))["data"]
    assert list(data) == ["k"]
    if value == "search":
        assert isinstance(data["k"], list)
    else:
        assert data["k"] == PLACEHOLDER


def test_attached_request_text_and_reply(engine, serve):
    engine.attach_call_bridge()
    host = serve(engine)
    response = engine.execute("{ s_t(b: 2, a: 1) }")
    assert response == '{"data":{"s_t":{"ok":true}},"errors":[]}'
    assert host.requests[0][0] == (
        '{"request_id":"tool-call-1","server":"s","tool":"t","arguments":{"a":1,"b":2},"operation":"query"}'
    )


def test_variables_reach_the_tool(engine, serve):
    engine.attach_call_bridge()
    host = serve(engine)
    variables = json.dumps({"v": {"list": [1, "x", None]}, "n": None})
    engine.execute("query($v: In) { s_t(v: $v, n: $n, e: ACTIVE, f: 1.5) }", variables)
    assert host.requests[0][1]["arguments"] == {"e": "ACTIVE", "f": 1.5, "n": None, "v": {"list": [1, "x", None]}}


def test_operation_follows_read_only_and_ids_follow_selection_order(engine, serve):
    engine.attach_call_bridge()
    host = serve(engine)
    engine.execute("mutation { w1: s_w r: s_t w2: s_w }")
    assert [(r["request_id"], r["operation"]) for _, r in host.requests] == [
        ("tool-call-1", "mutation"),
        ("tool-call-2", "query"),
        ("tool-call-3", "mutation"),
    ]


def test_unknown_field_queues_nothing(engine):
    engine.attach_call_bridge()
    assert error_of(engine.execute("{ s_t nosuch }")) == "unknown GraphQL field: nosuch"
    assert engine.receive_tool_call(0) is None


@pytest.mark.parametrize(
    "reply, value",
    [
        ("42", 42),
        ('"text"', "text"),
        ("null", None),
        (" [1, {\"b\": 2, \"a\": 1}] ", [1, {"a": 1, "b": 2}]),
        ("18446744073709551615", 18446744073709551615),
        ("-1.5e3", -1500.0),
    ],
)
def test_replies_of_every_kind(engine, serve, reply, value):
    engine.attach_call_bridge()
    serve(engine, lambda request: ("respond", reply))
    assert json.loads(engine.execute("{ s_t }"))["data"]["s_t"] == value


@pytest.mark.parametrize("reply", ["", "{", "[1,", "nope", '{"a":1} x', "[" * 200 + "]" * 200])
def test_invalid_replies_become_tool_errors(engine, serve, reply):
    engine.attach_call_bridge()
    serve(engine, lambda request: ("respond", reply))
    body = json.loads(engine.execute("{ s_t other: s_t }"))
    assert body["errors"] == []
    for value in body["data"].values():
        assert value["isError"] is True and value["json"] is None
        assert value["text"].startswith("CallBridge returned invalid JSON: ")
        assert " at line " in value["text"]


def test_fail_tool_call_message(engine, serve):
    engine.attach_call_bridge()
    host = serve(engine, lambda request: ("fail", 'bad "thing"\n'))
    body = json.loads(engine.execute("{ s_t }"))
    assert body["data"]["s_t"] == {"isError": True, "json": None, "text": 'bad "thing"\n'}
    assert host.results == [True]
