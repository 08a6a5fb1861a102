"""The MCP gateway: configuration, replies, a gateway over test servers, and its command line."""

import asyncio
import json
import logging
import re
import shutil
import signal
import subprocess
import sys
import threading
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import pytest

from conftest import LoopThread, require_mcp_sdk

require_mcp_sdk()

import anyio
from mcp.types import CallToolResult, LoggingMessageNotificationParams
from pydantic import ValidationError

from support import (DEADLINE, REPO, TEST_SERVER, TOOLBOX, gateway_env, poll, running, server_entry, started,
                     write_config)

from gateway import json_text  # noqa: E402
from gateway import ConfigError, Gateway, ServerConfig, load_config, reply_of  # noqa: E402
from gateway.cli import DEFAULT_QUERY, DEFAULT_VARIABLES  # noqa: E402
from gateway.output_checks import check_output, output_checks  # noqa: E402
from gateway.transports import WRITE_HIGH, Pipe, _read_lines  # noqa: E402
from gateway.replies import CallFailed, call_result, dump  # noqa: E402
from gateway.upstream import Upstream, _list_tools  # noqa: E402


@pytest.fixture(scope="module")
def gateway(runner: LoopThread, tmp_path_factory: pytest.TempPathFactory):
    """Three test servers, one of them described, and the example toolbox."""
    folder = tmp_path_factory.mktemp("gateway")
    config = write_config(folder, {
        "alpha": server_entry("alpha", DESCRIPTION="the first"), "beta-2": server_entry("beta-2"),
        "gamma": server_entry("gamma"), "toolbox": {"command": sys.executable, "args": [str(TOOLBOX)]},
    })
    with running(runner, load_config(config), call_timeout=DEADLINE) as gateway:
        yield gateway


def execute(gateway: Gateway, query: str, variables: dict[str, Any] | None = None) -> dict[str, Any]:
    assert gateway.generation is not None
    text = gateway.generation.engine.execute(query, None if variables is None else json.dumps(variables))
    response: dict[str, Any] = json.loads(text)
    return response


def data_of(gateway: Gateway, query: str, variables: dict[str, Any] | None = None) -> dict[str, Any]:
    response = execute(gateway, query, variables)
    assert response["errors"] == [], response
    data: dict[str, Any] = response["data"]
    return data


# ---- configuration and replies, no servers -----------------------------------------------


def test_config_paths_resolve_against_its_folder(tmp_path: Path) -> None:
    (tmp_path / "sub").mkdir()
    config = write_config(tmp_path / "sub", {"s": {
        "command": "./run", "args": ["../data", "plain", "-x"], "env": {"F": "./f", "G": "g"},
        "cwd": "..",
    }})
    [server] = load_config(config)
    assert (server.name, server.command) == ("s", str(tmp_path / "sub" / "run"))
    assert server.args == (str(tmp_path / "data"), "plain", "-x")
    assert server.env == {"F": str(tmp_path / "sub" / "f"), "G": "g"}
    assert server.cwd == tmp_path


@pytest.mark.parametrize(("text", "message"), [
    ("{", "not JSON"),
    ('{"other": {}}', "mcpServers"),
    ('{"mcpServers": []}', "mcpServers"),
])
def test_config_errors(tmp_path: Path, text: str, message: str) -> None:
    path = tmp_path / "c.json"
    path.write_text(text, encoding="utf-8")
    with pytest.raises(ConfigError, match=message):
        load_config(path)


def text(value: str) -> dict[str, Any]:
    return {"type": "text", "text": value}


@pytest.mark.parametrize(("content", "structured", "expected"), [
    ([text('{"a": 1}')], {"b": 2}, ({"b": 2}, '{"a": 1}')),
    ([text("[1, 2]")], None, ([1, 2], "[1, 2]")),
    ([text("plain words")], None, (None, "plain words")),
    ([text("NaN")], None, (None, "NaN")),
    ([text("[1, Infinity]")], None, (None, "[1, Infinity]")),
    ([text("[123456789012345678901234567890]")], None, ([123456789012345678901234567890],
                                                         "[123456789012345678901234567890]")),
    ([text('["\\ud800"]')], None, (["\ud800"], '["\\ud800"]')),
    ([text("[" * 100_000 + "]" * 100_000)], None, (None, "[" * 100_000 + "]" * 100_000)),
    ([text("a"), {"type": "image", "data": "", "mimeType": "image/png", "annotations": {"priority": 0.5}},
      text("b")], None, (None, "a\nb")),
    ([], None, (None, "")),
])
def test_reply_shape(content: list[dict[str, Any]], structured: Any, expected: tuple[Any, str]) -> None:
    """Every block comes back as it was on the wire, beside the text and the JSON read from it."""
    reply = reply_of(CallToolResult.model_validate({"content": content, "structuredContent": structured}))
    assert reply == {"isError": False, "json": expected[0], "text": expected[1], "content": content}


@pytest.mark.parametrize("raw", [
    {"content": [{"type": "text", "text": "a"}, {"type": "text", "text": "b"}]},
    {"content": [], "structuredContent": {"n": 1}, "isError": False},
    {"content": [{"type": "text", "text": "a", "annotations": {"priority": 1}}]},
    {"content": [{"type": "image", "data": "AA==", "mimeType": "image/png"}], "isError": True},
    {"content": [{"type": "text", "text": "a"}], "structuredContent": None, "_meta": {"k": 1}},
    {"content": [], "isError": 1},
])
def test_a_result_taken_as_sent_reads_as_the_sdks_model_gives_it(raw: dict[str, Any]) -> None:
    assert call_result(raw) == dump(CallToolResult.model_validate(raw))


@pytest.mark.parametrize("raw", [{"content": "a"}, {"content": [{"type": "text"}]}, {"isError": False}, []])
def test_a_reply_that_is_no_result_is_refused(raw: Any) -> None:
    with pytest.raises(ValidationError):
        call_result(raw)


def test_listing_follows_the_cursor() -> None:
    pages = {None: (["a", "b"], "p2"), "p2": (["c"], "p3"), "p3": ([], None)}

    class Session:
        async def list_tools(self, cursor: str | None) -> Any:
            names, next_cursor = pages[cursor]
            tools = [SimpleNamespace(model_dump=lambda n=n, **_: {"name": n, "annotations": {}})
                     for n in names]
            return SimpleNamespace(tools=tools, nextCursor=next_cursor)

    listed = asyncio.run(_list_tools(Session()))  # type: ignore[arg-type]
    assert listed == [{"name": n, "annotations": {"readOnlyHint": False}} for n in "abc"]


def test_a_listing_whose_cursor_never_ends_fails() -> None:
    class Session:
        async def list_tools(self, cursor: str | None) -> Any:
            return SimpleNamespace(tools=[], nextCursor=f"{cursor}+")

    with pytest.raises(CallFailed, match="did not end within 1000 pages"):
        asyncio.run(_list_tools(Session()))  # type: ignore[arg-type]


SCHEMA = {"type": "object", "properties": {"n": {"type": "integer"}}, "required": ["n"]}
EVIL = {"type": "object", "properties": {"s": {"type": "string", "pattern": "^(a+)+$"}}}


@pytest.mark.parametrize(("schema", "structured", "message"), [
    (SCHEMA, {"n": 1}, None),
    (None, None, None),
    (SCHEMA, {"n": "one"}, "does not match the tool's output schema: 'one' is not of type 'integer'"),
    (SCHEMA, None, "gave no structured content"),
    ({"type": 12}, {"n": 1}, "output schema is invalid"),
    # A pattern that backtracks exponentially in Python's re, matched by an automaton instead.
    (EVIL, {"s": "a" * 64 + "b"}, "'aaaa"),
    (EVIL, {"s": "a" * 64}, None),
    ({**EVIL, "properties": {"s": {"pattern": r"^\d{2}-x"}}}, {"s": "12-x"}, None),
    ({"type": "object", "patternProperties": {"^(a+)+$": {"type": "integer"}}, "additionalProperties": False},
     {"a" * 64 + "b": 1}, "additional properties are not allowed ('aaaa"),
    ({"type": "object", "patternProperties": {"^(a+)+$": {"type": "integer"}}}, {"a" * 64: "x"},
     "'x' is not of type 'integer'"),
])
def test_structured_results_are_checked_against_the_output_schema(
        schema: Any, structured: Any, message: str | None) -> None:
    tool = {"name": "t"} if schema is None else {"name": "t", "outputSchema": schema}
    check = output_checks([tool]).get("t")
    if message is None:
        check_output(check, "s.t", structured)
    else:
        with pytest.raises(CallFailed, match=re.escape(message)):
            check_output(check, "s.t", structured)


QUICK = {"type": "object", "required": ["n"], "additionalProperties": False, "properties": {
    "n": {"type": "integer"}, "tags": {"type": "array", "items": {"enum": ["a", None]}},
    "kind": {"anyOf": [{"type": "string", "format": "date"}, {"type": "null"}]}}}


@pytest.mark.parametrize(("value", "vouched", "valid"), [
    ({"n": 1}, True, True),
    ({"n": 1, "tags": ["a", None], "kind": None}, True, True),
    ({"n": 1, "kind": "not a date"}, True, True),  # format is not asserted
    ({"n": True}, False, False),  # a bool is no integer
    ({"n": 1.0}, False, True),  # left to the validator, which takes it
    ({"n": 1, "x": 2}, False, False),
    ({"tags": []}, False, False),
    ({"n": 1, "tags": ["b"]}, False, False),
    ({"n": 1, "tags": [1]}, False, False),
    ({"n": 1, "kind": 3}, False, False),
])
def test_the_plain_check_vouches_only_for_results_the_validator_takes(value: Any, vouched: bool,
                                                                      valid: bool) -> None:
    check = output_checks([{"name": "t", "outputSchema": QUICK}])["t"]
    assert not isinstance(check, str) and check.quick is not None
    assert check.quick(value) is vouched
    assert not list(check.validator.iter_errors(value)) is valid
    if valid:
        check_output(check, "s.t", value)
    else:
        with pytest.raises(CallFailed, match="does not match"):
            check_output(check, "s.t", value)


@pytest.mark.parametrize("schema", [EVIL, {"$ref": "#/$defs/x", "$defs": {"x": {}}},
                                    {"type": "object", "properties": {"n": {"minimum": 1}}}])
def test_a_keyword_the_plain_check_does_not_know_leaves_the_validator_alone(schema: Any) -> None:
    check = output_checks([{"name": "t", "outputSchema": schema}])["t"]
    assert not isinstance(check, str) and check.quick is None


PIPED = [b'{"jsonrpc":"2.0","id":1,"result":{"content":[]}}',  # a waiting call's reply: taken
         b'{"jsonrpc":"2.0","id":2,"result":{"n":12345678901234567890}}',  # past 64 bits: the SDK reads it
         b'{"jsonrpc":"2.0","id":3,"error":{"code":-1,"message":"no"}}',
         b'{"jsonrpc":"2.0","id":9,"result":{}}',  # no call waits for it (a late reply)
         b"not json",
         # replies that cannot be read: they fail their requests
         b'{"jsonrpc":"2.0","id":4,"result":{"t":"\xff"}}', b'{"jsonrpc":"2.0","id":5,"result":[]}']


@pytest.mark.parametrize("text, value", [
    ('{"n": 123456789012345678901234}', {"n": 123456789012345678901234}),  # past 64 bits: exact
    ('[-9223372036854775809, 18446744073709551615]', [-9223372036854775809, 18446744073709551615]),
    ('["é٣1234567890123456789"]', ["é٣1234567890123456789"]),  # other characters beside the digits
    ('"\\ud800 12345"', "\ud800 12345"),  # a lone surrogate's escape, read by json
    ('"\ud800"', "\ud800"),  # a lone surrogate in the text itself, read by json
    ('{"n": NaN}', None),
])
def test_json_text_reads_long_integers_exactly(text: str, value: Any) -> None:
    if value is None:
        with pytest.raises(ValueError):
            json_text.loads(text)
    else:
        assert json_text.loads(text) == value


def _piped(text: bytes, cut: int, taken: dict[int, Any], max_result: int = 250) -> list[Any]:
    async def run() -> list[Any]:
        stdout = asyncio.StreamReader()
        for start in range(0, len(text), cut):
            stdout.feed_data(text[start:start + cut])
        stdout.feed_eof()
        pipe = Pipe(None)  # type: ignore[arg-type]  # nothing is written here
        pipe.taker = lambda request_id, result: request_id in (1, 2) and not taken.update({request_id: result})
        send, receive = anyio.create_memory_object_stream[Any](len(PIPED))
        await _read_lines(stdout, pipe, send, max_result)  # lines up to 4x max_result
        return [message async for message in receive]
    return asyncio.run(run())


@pytest.mark.parametrize("cut", [1, 7, 10_000])
def test_a_stdio_pipe_takes_the_replies_it_waits_for_and_hands_on_the_rest(cut: int) -> None:
    """However the output is cut into reads. A line past the bound is dropped: the request it
    answers (its id first or last) fails with the bound, and one that answers none ends the reading."""
    taken: dict[int, Any] = {}
    handed_on = _piped(b"\n".join(PIPED) + b"\n", cut, taken)
    assert taken == {1: {"content": []}}
    error = PIPED[2] + b"\n"
    long = b"x" * 400
    for line, failed in [(b'{"jsonrpc":"2.0","id":7,"result":{"t":"' + long + b'"}}', 7),
                         (b'{"result":{"t":"' + long + b'"},"jsonrpc":"2.0","id":8}', 8),
                         (b'{"jsonrpc":"2.0","method":"x","params":{"t":"' + long + b'"}}', None),
                         # the server's own requests, whose ids name none of the gateway's
                         (b'{"jsonrpc":"2.0","id":7,"method":"x","params":{"t":"' + long + b'"}}', None),
                         (b'{"method":"x","params":{"t":"' + long + b'"},"jsonrpc":"2.0","id":7}', None)]:
        read = _piped(error + line + b"\n" + error, cut, taken, max_result=25)
        assert read[0] == handed_on[1]
        if failed is None:  # the last message: why the session ends
            assert [str(m) for m in read[1:]] == ["it sent a line over 100 bytes (four times --max-result) that "
                                                  "answers no request"]
        else:
            assert read[1].message.root.id == failed and "bound of 25 " in read[1].message.root.error.message
            assert read[2:] == handed_on[1:2]
    assert [m.message.root.id for m in handed_on[:3]] == [2, 3, 9]
    assert handed_on[0].message.root.result == {"n": 12345678901234567890}
    assert isinstance(handed_on[3], ValidationError)
    assert [(m.message.root.id, m.message.root.error.message) for m in handed_on[4:]] == [
        (4, "the server's reply could not be read: its bytes are not UTF-8"),
        (5, "the server's reply could not be read: it is not a JSON-RPC reply")]


def test_a_stdio_server_that_stops_reading_holds_a_bounded_buffer_of_calls() -> None:
    """Every call given up leaves its request in the pipe until the server reads it: once a
    bound of them waits, a call is refused at once rather than added."""
    config = ServerConfig("frozen", command=sys.executable, args=[str(TEST_SERVER)],
                          env={"NAME": "frozen", "FREEZE": "1"})
    big = "x" * (WRITE_HIGH // 4)

    async def run() -> tuple[str, int]:
        upstream = Upstream(config)
        upstream.start()
        try:
            assert await upstream.started(DEADLINE)
            for tool, arguments in [("freeze", {"seconds": DEADLINE})] + [("echo-args", {"value": big})] * 12:
                with pytest.raises(CallFailed) as failed:
                    await upstream.call(tool, arguments, 0.2)
            assert upstream._session is not None and upstream._session._pipe is not None
            return str(failed.value), upstream._session._pipe._stdin.transport.get_write_buffer_size()
        finally:
            await upstream.close(1)

    last, held = asyncio.run(run())
    assert held <= WRITE_HIGH + 2 * len(big) and "is not reading its input" in last


def test_a_servers_log_message_is_logged_within_a_bound(caplog: pytest.LogCaptureFixture) -> None:
    upstream = Upstream(ServerConfig("loud", command=sys.executable))
    params = LoggingMessageNotificationParams(level="warning", data={"text": "x" * 100_000})
    with caplog.at_level(logging.WARNING, logger="gateway.upstream"):
        asyncio.run(upstream._log(params))
    [record] = caplog.records
    assert 4096 < len(record.getMessage()) < 4300 and "characters more" in record.getMessage()


# ---- a gateway over real stdio servers --------------------------------------------------


def test_building_starts_nothing_until_start() -> None:
    """Made outside any event loop: no task, thread or pipe before start(), and a close without
    a start ends cleanly."""
    threads = set(threading.enumerate())
    config = ServerConfig("idle", command=sys.executable)
    gateway, upstream = Gateway([config]), Upstream(config)
    assert set(threading.enumerate()) == threads
    asyncio.run(upstream.close(1))
    asyncio.run(gateway.close())


def test_catalogue_comes_from_the_servers(gateway: Gateway) -> None:
    data = data_of(gateway, "{ servers { name } search { field } }")
    servers = {s["name"]: s for s in data["servers"]}
    assert set(servers) == {"alpha", "beta-2", "gamma", "toolbox"}
    assert servers["alpha"]["description"] == "the first"
    assert (servers["alpha"]["toolCount"], servers["alpha"]["readOnlyCount"]) == (6, 5)
    hits = {(h["server"], h["tool"]): h for h in data["search"]}
    assert hits[("beta-2", "echo-args")]["field"] == "beta_2_echo_args"
    assert hits[("alpha", "text")]["description"] == ""
    assert hits[("alpha", "write")]["readOnly"] is False
    assert gateway.health()["up"] is True


def test_arguments_and_results(gateway: Gateway) -> None:
    data = data_of(gateway, """query ($v: [String]) {
      e: beta_2_echo_args(value: {list: $v, n: null}, number: 7)
      j: alpha_text(body: "{\\"k\\": [true]}")
      t: alpha_text(body: "not json")
      m: toolbox_stats(values: [3, 1, 2])
    }""", {"v": ["x", "ü"]})
    assert data["e"]["json"] == {"value": {"list": ["x", "ü"], "n": None}, "number": 7, "server": "beta-2"}
    assert data["j"] == {"isError": False, "json": {"k": [True]}, "text": '{"k": [true]}',
                         "content": [{"type": "text", "text": '{"k": [true]}'}]}
    assert data["t"] == {"isError": False, "json": None, "text": "not json",
                         "content": [{"type": "text", "text": "not json"}]}
    assert (data["m"]["json"]["median"], data["m"]["json"]["max"]) == (2, 3)


@pytest.mark.parametrize(("field", "message"), [
    ('alpha_fail(reason: "no luck")', "no luck"),
    ("alpha_echo_args(number: \"seven\")", "number"),  # refused by the server's argument check
    ("toolbox_divide(a: 1, b: 0)", "division by zero"),
    ('toolbox_note_get(title: "missing")', "no note titled 'missing'"),
    ('toolbox_days_between(start: "2024-02-30", end: "2024-03-01")', "ISO date"),
    ("toolbox_add(numbers: [true, 2])", "numbers"),
])
def test_a_failed_call_becomes_the_error_value_of_its_field(gateway: Gateway, field: str,
                                                            message: str) -> None:
    data = data_of(gateway, f'{{ r: {field} ok: gamma_text(body: "fine") }}')
    assert data["r"]["isError"] is True and data["r"]["json"] is None, data
    assert message in data["r"]["text"]
    assert data["ok"]["text"] == "fine"  # one failure leaves the other fields alone


def test_a_call_past_the_time_limit_fails_its_field_alone(runner: LoopThread, tmp_path: Path) -> None:
    # A gateway of its own: a limit short enough to wait out here would fail the other tests'
    # calls whenever the machine is busy.
    gateway = started(runner, load_config(write_config(tmp_path, {"alpha": server_entry("alpha")})),
                      call_timeout=1.5)
    try:
        data = data_of(gateway, '{ r: alpha_sleep(seconds: 30) ok: alpha_text(body: "fine") }')
    finally:
        runner.run(gateway.close())
    assert data["r"]["isError"] is True and "no answer within 1.5 s" in data["r"]["text"], data
    assert data["ok"]["text"] == "fine"


def test_mutation_and_state_across_queries(gateway: Gateway) -> None:
    assert data_of(gateway, "mutation { w: alpha_write }")["w"]["json"] == {"written": True}
    put = data_of(gateway, 'mutation { p: toolbox_note_put(title: "todo", body: "milk") }')
    assert put["p"]["json"]["created"] is True
    assert data_of(gateway, '{ g: toolbox_note_get(title: "todo") }')["g"]["json"]["body"] == "milk"


@pytest.mark.slow
def test_fields_over_several_servers_run_at_once(runner: LoopThread, tmp_path: Path) -> None:
    # Each call waits until all 20 have begun, so they meet only if they run at
    # once; run one after the other, the first would wait out its limit unmet.
    # How much time running at once saves is measured by bench/mcp_gateway.py.
    meeting = tmp_path / "meeting"
    meeting.mkdir()
    servers = ["a", "b", "c"]
    config = write_config(tmp_path, {s: server_entry(s, GATHER_DIR=str(meeting)) for s in servers})
    gateway = started(runner, load_config(config), call_timeout=DEADLINE)
    try:
        data = data_of(gateway, "{ " + " ".join(f"f{n}: {servers[n % 3]}_gather(count: 20)"
                                                 for n in range(20)) + " }")
    finally:
        runner.run(gateway.close())
    assert [data[f"f{n}"]["json"] for n in range(20)] == [{"met": True}] * 20, data


def test_a_server_that_exits_fails_its_fields_and_spares_the_others(
        runner: LoopThread, tmp_path: Path, caplog: pytest.LogCaptureFixture) -> None:
    config = write_config(tmp_path, {"doomed": server_entry("doomed"), "alpha": server_entry("alpha")})
    gateway = started(runner, load_config(config), call_timeout=20)
    try:
        data = data_of(gateway, '{ x: doomed_exit  s: doomed_sleep(seconds: 10)  a: alpha_text(body: "up") }')
        assert data["x"]["isError"] and data["s"]["isError"], data
        assert "doomed" in data["s"]["text"]
        assert data["a"]["text"] == "up"
        later = data_of(gateway, '{ d: doomed_text(body: "?")  a: alpha_text(body: "still") }')
        assert "is down" in later["d"]["text"] and later["a"]["text"] == "still"
        assert gateway.health()["servers"]["doomed"]["up"] is False
    finally:
        runner.run(gateway.close())
    report = caplog.text
    assert "server 'doomed' failed" in report and "exiting on request" in report


@pytest.mark.slow
@pytest.mark.parametrize(("entry", "start_timeout", "message"), [
    ({"command": "./no-such-server"}, 30, "No such file"),
    # Never answers initialize, and outlives the test: a close that waited for it
    # would run past the loop's deadline and fail the test.
    ({"command": "sleep", "args": ["3600"]}, 1, "did not start within 1 s"),
])
def test_a_server_that_cannot_start_is_left_out(runner: LoopThread, tmp_path: Path, entry: dict[str, Any],
                                              start_timeout: float, message: str,
                                              caplog: pytest.LogCaptureFixture) -> None:
    # Only a short limit makes the hang quick to see, so alpha, which may need
    # longer to start on a loaded machine, comes only where the limit is long.
    servers = {"broken": entry} if start_timeout < 30 else {"broken": entry, "alpha": server_entry("alpha")}
    gateway = started(runner, load_config(write_config(tmp_path, servers)), start_timeout=start_timeout)
    try:
        names = [s["name"] for s in data_of(gateway, "{ servers { name } }")["servers"]]
        assert names == sorted(set(servers) - {"broken"})
    finally:
        runner.run(gateway.close())
    assert f"server 'broken' failed: {message}" in caplog.text


# ---- the program ---------------------------------------------------------------------------


def run_gateway(*args: str, stdin: str | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "gateway", *args], input=stdin, capture_output=True,
                          text=True, env=gateway_env(), timeout=DEADLINE, cwd=REPO)


def responses(stdout: str) -> list[dict[str, Any]]:
    decoder, found, position = json.JSONDecoder(), [], 0
    while stdout[position:].strip():
        while stdout[position].isspace():
            position += 1
        response, position = decoder.raw_decode(stdout, position)
        found.append(response)
    return found


@pytest.mark.slow
@pytest.mark.skipif(not (shutil.which("mcp-server-filesystem") and shutil.which("mcp-server-memory")),
                    reason="the npm servers are not installed (tools/mcp-servers)")
def test_the_default_query_answers_from_all_three_bundled_servers() -> None:
    outside = '{ f: files_read_text_file(path: "../toolbox.py") { isError text } }'
    completed = run_gateway("-", "--variables", json.dumps(DEFAULT_VARIABLES),
                            stdin=f"{DEFAULT_QUERY}\n\n{outside}\n")
    assert completed.returncode == 0, completed.stderr
    default, confined = responses(completed.stdout)
    assert "errors" not in default
    data = default["data"]
    assert {s["name"] for s in data["servers"]} == {"toolbox", "files", "memory"}
    tools = {k: v for k, v in data.items() if k not in ("__typename", "servers", "search")}
    assert not [k for k, v in tools.items() if v["isError"]], tools
    assert data["sum"]["json"] == {"sum": 6.5}
    assert "hello.txt" in data["here"]["text"]
    assert "gateway" in [e["name"] for e in data["graph"]["json"]["entities"]]
    assert confined["data"]["f"]["isError"] is True
    assert "outside allowed directories" in confined["data"]["f"]["text"]


@pytest.mark.slow
def test_standard_input_runs_each_block_in_order(tmp_path: Path) -> None:
    config = write_config(tmp_path, {"toolbox": {"command": sys.executable, "args": [str(TOOLBOX)]}})
    blocks = ['mutation { p: toolbox_note_put(title: "todo", body: "buy milk") { json } }',
              '{\n  g: toolbox_note_get(title: "todo") { json }\n}']
    completed = run_gateway("--config", str(config), "-", "--timing", stdin="\n\n  \n".join(blocks))
    assert completed.returncode == 0, completed.stderr
    first, second = responses(completed.stdout)
    assert first["data"]["p"]["json"]["created"] is True
    assert second["data"]["g"]["json"]["body"] == "buy milk"
    assert len([line for line in completed.stderr.splitlines() if line.startswith("query ")]) == 2


@pytest.mark.slow
@pytest.mark.parametrize(("args", "status", "stderr_text"), [
    (["--config", "{ok}", "{ nope"], 1, ""),
    (["--config", "{broken}"], 2, "not JSON"),
    (["--config", "{missing}"], 2, "cannot read"),
    (["--variables", "[1, 2]"], 2, "JSON object"),
    (["--timeout", "0"], 2, "greater than 0"),
    (["--config", "{dead}"], 2, "no MCP server started"),
])
def test_exit_status(tmp_path: Path, args: list[str], status: int, stderr_text: str) -> None:
    (tmp_path / "broken.json").write_text("{ this is not json", encoding="utf-8")
    (tmp_path / "ok").mkdir()
    places = {"{broken}": tmp_path / "broken.json", "{missing}": tmp_path / "missing.json",
              "{dead}": write_config(tmp_path, {"dead": {"command": "./nothing-here"}}),
              "{ok}": write_config(tmp_path / "ok", {"a": server_entry("a")})}
    completed = run_gateway(*[str(places.get(a, a)) for a in args])
    assert completed.returncode == status, completed.stderr
    assert stderr_text in completed.stderr
    assert "Traceback" not in completed.stderr


@pytest.mark.slow
@pytest.mark.parametrize(("signum", "status"), [(signal.SIGTERM, 143), (signal.SIGINT, 130)])
def test_a_signal_ends_the_query_and_every_server(tmp_path: Path, signum: int, status: int) -> None:
    pid_files = [tmp_path / f"{name}.pid" for name in ("a", "b")]
    sleep_files = [tmp_path / f"{name}.sleeping" for name in ("a", "b")]
    config = write_config(tmp_path, {p.stem: server_entry(p.stem, PID_FILE=str(p), SLEEP_FILE=str(f))
                                     for p, f in zip(pid_files, sleep_files)})
    process = subprocess.Popen(
        [sys.executable, "-m", "gateway", "--config", str(config), "--timeout", "120",
         "{ s: a_sleep(seconds: 60) { text } t: b_sleep(seconds: 60) { text } }"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=gateway_env(), cwd=REPO)
    try:
        poll(lambda: process.poll() is not None or all(f.exists() for f in sleep_files),
             "both calls at their servers")
        assert process.poll() is None, process.stderr.read()  # type: ignore[union-attr]
        process.send_signal(signum)
        stdout, stderr = process.communicate(timeout=DEADLINE)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert process.returncode == status, stderr
    assert "Traceback" not in stderr
    [response] = responses(stdout)  # the query in flight still gets its answer
    assert response["data"]["s"]["text"] == "CallBridge is detached"
    for pid in (int(p.read_text()) for p in pid_files):
        assert not Path(f"/proc/{pid}").exists(), f"server process {pid} outlived the gateway"
