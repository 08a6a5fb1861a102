"""Hostile inputs: each is answered with a clean error (or a clean result), never a crash,
a hang or a runaway recursion, and the engine stays usable afterwards."""

import json
import time

import pytest

from _graphql import SchemaEngine
from conftest import run_in_thread

CATALOGUE = json.dumps({"server": "s", "tools": [{"name": "t"}]})
MB = 1 << 20
MILLION = 1_000_000
TOO_DEEP = "GraphQL argument value nested too deeply"
DETACHED = {"isError": True, "json": None, "text": "CallBridge is detached"}


@pytest.fixture
def engine():
    return SchemaEngine(CATALOGUE)


def error_of(response):
    body = json.loads(response)
    assert body["data"] is None and len(body["errors"]) == 1, response[:200]
    return body["errors"][0]["message"]


def still_works(engine):
    assert engine.execute("{ __typename }") == '{"data":{"__typename":"Query"},"errors":[]}'


# ---- huge requests -------------------------------------------------------------------------


def test_ten_megabyte_field_name_is_an_unknown_field(engine):
    name = "a" * (10 * MB)
    assert error_of(engine.execute("{ " + name + " }")) == "unknown GraphQL field: " + name
    still_works(engine)


def test_ten_megabytes_of_fields_answer_once_per_key(engine):
    query = "{ " + "__typename " * (10 * MB // 11) + "}"
    assert len(query) >= 10 * MB - 11
    assert engine.execute(query) == '{"data":{"__typename":"Query"},"errors":[]}'


def test_ten_megabyte_argument_string_reaches_the_tool(engine, serve):
    engine.attach_call_bridge()
    text = "x" * (10 * MB)
    serve(engine, lambda request: ("respond", json.dumps(len(request["arguments"]["s"]))))
    assert json.loads(engine.execute('{ s_t(s: "' + text + '") }'))["data"]["s_t"] == len(text)


def test_ten_megabytes_of_comment_and_white_space(engine):
    query = "#" + "c" * (5 * MB) + "\n" + " \t,\r\n" * (MB) + "{ __typename }"
    assert engine.execute(query) == '{"data":{"__typename":"Query"},"errors":[]}'


def test_ten_megabyte_unterminated_string(engine):
    assert error_of(engine.execute('{ s_t(s: "' + "x" * (10 * MB))) == "unterminated GraphQL string literal"


def test_ten_megabyte_variables(engine, serve):
    engine.attach_call_bridge()
    serve(engine, lambda request: ("respond", json.dumps(len(request["arguments"]["v"]))))
    variables = json.dumps({"v": list(range(MB)), "w": "y" * (5 * MB)})
    assert len(variables) > 10 * MB
    assert json.loads(engine.execute("{ s_t(v: $v) }", variables))["data"]["s_t"] == MB


# ---- deep nesting --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "query, expected",
    [
        # Skipped selection sets are stepped over by counting, not by recursion.
        ("{ __typename { " + "{" * MILLION + "}" * MILLION + " } }", None),
        ("{ __typename " + "{" * MILLION + " }", "unterminated GraphQL balanced block: {"),
        ("{ __typename { " + "{" * MILLION, "unterminated GraphQL balanced block: {"),
        ("query (" + "(" * MILLION + ") { __typename }", "unterminated GraphQL balanced block: ("),
        ("{ __typename @d(" + "(" * MILLION + ")" * MILLION + ") }", None),
    ],
    ids=["balanced", "unclosed-inner", "unclosed-outer", "definitions", "directive"],
)
def test_million_nested_brackets_in_skipped_text(engine, query, expected):
    response = engine.execute(query)
    if expected is None:
        assert response == '{"data":{"__typename":"Query"},"errors":[]}'
    else:
        assert error_of(response) == expected
    still_works(engine)


@pytest.mark.parametrize(
    "argument",
    ["[" * MILLION, "[" * MILLION + "]" * MILLION, "{a: " * MILLION, "[{a: " * (MILLION // 2)],
    ids=["lists-open", "lists-closed", "objects", "mixed"],
)
def test_million_nested_values_in_an_argument(engine, argument):
    assert error_of(engine.execute("{ s_t(x: " + argument + ") }")) == TOO_DEEP
    still_works(engine)


def test_million_nested_variables(engine):
    message = error_of(engine.execute("{ s_t(x: $v) }", '{"v":' + "[" * MILLION))
    # The 128th bracket, counting the object's brace, is the first one too many.
    assert message == "invalid variables JSON: recursion limit exceeded at line 1 column 132"


def catalogue_nested(depth, inner='{"server":"s","name":"t"}'):
    """A tool inside `depth` levels of arrays and group objects."""
    text = inner
    levels = 1  # the tool object itself
    while levels + 2 <= depth:
        text = '{"tools":[' + text + "]}"
        levels += 2
    if levels < depth:
        text = "[" + text + "]"
    return text


def test_catalogue_nested_128_deep_is_refused():
    with pytest.raises(ValueError, match=r"^invalid catalogue JSON: recursion limit exceeded at line 1 column \d+$"):
        SchemaEngine(catalogue_nested(128))
    with pytest.raises(ValueError, match="recursion limit exceeded"):
        SchemaEngine.build("[" * MILLION)


def test_catalogue_nested_127_deep_loads_its_tool():
    engine = SchemaEngine(catalogue_nested(127))
    assert engine.tool_count() == 1
    assert json.loads(engine.execute("{ search }"))["data"]["search"][0]["field"] == "s_t"


@pytest.mark.parametrize(
    "reply",
    ["[" * 200 + "]" * 200, '{"a":' * 200 + "1" + "}" * 200, "[" * MILLION],
    ids=["lists", "objects", "million"],
)
def test_reply_nested_too_deep_becomes_a_tool_error(engine, serve, reply):
    engine.attach_call_bridge()
    host = serve(engine, lambda request: ("respond", reply))
    value = json.loads(engine.execute("{ s_t }"))["data"]["s_t"]
    assert value["isError"] is True and value["json"] is None
    assert value["text"].startswith("CallBridge returned invalid JSON: recursion limit exceeded at line 1 column ")
    assert host.results == [True]


# ---- text that Python cannot encode or that holds NUL -----------------------------------


LONE = "\ud800"

SURROGATE_CALLS = [
    ("SchemaEngine", lambda e: SchemaEngine('{"server":"' + LONE + '","name":"t"}'), "catalogue_json"),
    ("build", lambda e: SchemaEngine.build(LONE), "catalogue_json"),
    ("from_tool_metadata", lambda e: SchemaEngine.from_tool_metadata("[" + LONE), "catalogue_json"),
    ("query", lambda e: e.execute("{ s_t(x: \"" + LONE + "\") }"), "query"),
    ("variables", lambda e: e.execute("{ s_t(x: $v) }", '{"v":"\udfff"}'), "variables_json"),
    ("request_id", lambda e: e.respond_tool_call("tool-call-1" + LONE, "1"), "request_id"),
    ("result_json", lambda e: e.respond_tool_call("tool-call-1", '"' + LONE + '"'), "result_json"),
    ("fail_message", lambda e: e.fail_tool_call("tool-call-1", LONE), "message"),
]


@pytest.mark.parametrize("call, parameter", [c[1:] for c in SURROGATE_CALLS], ids=[c[0] for c in SURROGATE_CALLS])
def test_lone_surrogates_raise_unicode_encode_error(call, parameter):
    engine = SchemaEngine(CATALOGUE)
    engine.attach_call_bridge()
    with pytest.raises(UnicodeEncodeError) as info:
        call(engine)
    assert getattr(info.value, "__notes__", []) == [f"while processing '{parameter}'"]
    # Nothing was queued or answered on the way.
    assert engine.receive_tool_call(0) is None


def test_surrogate_answer_leaves_the_call_waiting_for_a_real_one(engine):
    engine.attach_call_bridge()
    result = run_in_thread(engine.execute, "{ s_t }")
    request = json.loads(engine.receive_tool_call(30_000))
    with pytest.raises(UnicodeEncodeError):
        engine.respond_tool_call(request["request_id"], '"' + LONE + '"')
    assert engine.respond_tool_call(request["request_id"], '"fine"') is True
    assert json.loads(result())["data"]["s_t"] == "fine"


@pytest.mark.parametrize(
    "query, message",
    [
        ("{ __typename \0 }", "expected GraphQL name, found \0"),
        ("\0{ __typename }", "expected GraphQL name, found \0"),
        ("{ s_t(x: \"a\0b\") }", "invalid GraphQL string literal: control character (\\u0000-\\u001F) "
                                 "found while parsing a string at line 1 column 3"),
        ("{ s_\0t }", "expected GraphQL name, found \0"),
        ("{ s_t(x: \0) }", "unexpected character in GraphQL argument value: \0"),
        ("{ s_t }", None),
        ("# \0 comment\n{ __typename { \"\0\" } }", None),
    ],
)
def test_nul_bytes_in_queries(engine, query, message):
    response = engine.execute(query)
    if message is None:
        assert json.loads(response)["errors"] == []
    else:
        assert error_of(response) == message


def test_nul_in_variables_and_replies(engine, serve):
    assert error_of(engine.execute("{ s_t(x: $v) }", '{"v":"\0"}')).startswith(
        "invalid variables JSON: control character")
    engine.attach_call_bridge()
    replies = iter(['"\\u0000"', "\0", '"a\0"'])
    serve(engine, lambda request: ("respond", next(replies)))
    data = json.loads(engine.execute("{ a: s_t b: s_t c: s_t }"))["data"]
    values = sorted(json.dumps(v) for v in data.values())
    assert json.dumps("\0") in values
    assert sum(isinstance(v, dict) and v["text"].startswith("CallBridge returned invalid JSON: ")
               for v in data.values()) == 2


def test_nul_in_a_fail_message_comes_back_as_is(engine, serve):
    engine.attach_call_bridge()
    serve(engine, lambda request: ("fail", "bad\0byte"))
    assert json.loads(engine.execute("{ s_t }"))["data"]["s_t"]["text"] == "bad\0byte"


def test_unknown_ids_with_nul_are_not_pending(engine):
    engine.attach_call_bridge()
    result = run_in_thread(engine.execute, "{ s_t }")
    request = json.loads(engine.receive_tool_call(30_000))
    assert engine.respond_tool_call(request["request_id"] + "\0", "1") is False
    assert engine.respond_tool_call(request["request_id"][:-1] + "\0", "1") is False
    assert engine.respond_tool_call(request["request_id"], "1") is True
    assert json.loads(result())["data"]["s_t"] == 1


@pytest.mark.parametrize(
    "catalogue, tools",
    [
        ('{"server":"s","name":"t"}\0', None),
        ('{"server":"s\0","name":"t"}', None),
        ('\0{"server":"s","name":"t"}', None),
        ('{"server":"s\\u0000","name":"t\\u0000u"}', ["s__t_u"]),
        ('[{"server":"\\u0000","name":"\\u0000"},{"server":"s","name":"t"}]', ["___", "s_t"]),
    ],
)
def test_nul_in_catalogues(catalogue, tools):
    if tools is None:
        with pytest.raises(ValueError, match=r"^invalid catalogue JSON: .* at line 1 column \d+$"):
            SchemaEngine(catalogue)
        return
    engine = SchemaEngine(catalogue)
    hits = json.loads(engine.execute("{ search }"))["data"]["search"]
    assert [hit["field"] for hit in hits] == tools
    assert error_of(engine.execute("{ " + tools[0] + "x }")).startswith("unknown GraphQL field: ")


# ---- more tool fields than the request queue holds ---------------------------------------


def test_detach_ends_a_query_whose_requests_overflow_the_queue():
    # Nobody receives: once the queue is full the remaining requests cannot be
    # queued, and the detach must still end every call of the query.
    engine = SchemaEngine(CATALOGUE)
    engine.attach_call_bridge()
    fields = " ".join(f"f{i}: s_t" for i in range(1100))
    result = run_in_thread(engine.execute, "{ " + fields + " }")
    # The reply slot of the last field is registered before its request waits for room.
    deadline = time.monotonic() + 30
    while not engine.respond_tool_call("tool-call-1100", '"answered before queued"'):
        assert time.monotonic() < deadline, "the query did not make its calls"
        time.sleep(0.01)
    engine.detach_call_bridge()
    data = json.loads(result())["data"]
    assert data.pop("f1099") == "answered before queued"
    assert len(data) == 1099 and all(value == DETACHED for value in data.values())
