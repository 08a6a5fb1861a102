"""What real servers need of the gateway, against a probe server with their edges: ordered
writes, cancelled time-outs, read-only where the configuration says so, wide integers,
arguments whose names are not GraphQL names."""

import asyncio
import contextlib
import json
import logging
import os
import shutil
import socket
import subprocess
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

from conftest import LoopThread, require_mcp_sdk

require_mcp_sdk()

from support import DEADLINE, poll, running, started, write_config  # noqa: E402

from gateway import Gateway, ServerConfig, load_config  # noqa: E402
from gateway.config import BUNDLED  # noqa: E402

PROBE = Path(__file__).resolve().parent / "mcp_probe_server.py"


def probe_entry(**options: Any) -> dict[str, Any]:
    return {"command": sys.executable, "args": [str(PROBE)], **options}


@pytest.fixture(scope="module")
def gateway(runner: LoopThread, tmp_path_factory: pytest.TempPathFactory):
    """`probe` as it annotates itself; `plain` said read-only but for `append`, said writing."""
    folder = tmp_path_factory.mktemp("probe")
    config = write_config(folder, {
        "probe": probe_entry(timeout=1.5),
        "plain": probe_entry(timeout=1, readOnly=True, writeTools=["append"]),
    })
    with running(runner, load_config(config)) as gateway:
        yield gateway


def ask(runner: LoopThread, gateway: Gateway, query: str, variables: dict[str, Any] | None = None) -> Any:
    return json.loads(runner.run(gateway.execute(query, variables)))


@pytest.mark.slow
def test_a_mutation_writes_in_document_order_and_goes_on_past_a_failure(runner, gateway, tmp_path: Path) -> None:
    path = tmp_path / "log"
    # The first field waits longest: run at once, the last would write first.
    fields = " ".join(f'w{n}: probe_append(path: "{path}", text: "{n}", delay: {(4 - n) * 0.002}) {{ text }}'
                      for n in range(5))
    for _ in range(100):
        assert "errors" not in ask(runner, gateway, f"mutation {{ {fields} }}")
    assert path.read_text().split() == ["0", "1", "2", "3", "4"] * 100

    broken = (f'a: probe_append(path: "{tmp_path}/no/such/folder", text: "x") {{ isError }} '
              f'b: probe_append(path: "{path}", text: "after") {{ text }}')
    answer = ask(runner, gateway, f"mutation {{ {broken} }}")
    assert answer["data"]["b"] == {"text": "after"} and path.read_text().split()[-1] == "after", answer


def test_a_timed_out_write_is_cancelled_upstream(runner, gateway, tmp_path: Path) -> None:
    path = tmp_path / "late"
    answer = ask(runner, gateway, f'mutation {{ probe_append(path: "{path}", text: "late", delay: 5) {{ text }} }}')
    assert "gave no answer within 1.5 s" in json.dumps(answer), answer
    # The probe notes a cancelled call instead of writing.
    poll(lambda: Path(f"{path}.cancelled").exists(), "the probe to see the cancellation")
    assert not path.exists()


@pytest.mark.slow
def test_progress_keeps_a_call_alive_past_its_time_out(runner, gateway) -> None:
    answer = ask(runner, gateway, "{ probe_slow(steps: 6, pause: 0.5) { text } }")  # 3 s against 1.5 s
    assert answer == {"data": {"probe_slow": {"text": "6 steps"}}}, answer


def test_a_late_reply_is_logged_by_its_size_only(runner, gateway, caplog: pytest.LogCaptureFixture) -> None:
    with caplog.at_level(logging.WARNING, logger="gateway.upstream"):
        answer = ask(runner, gateway, "{ plain_stubborn(seconds: 2, size: 300000) { text } }")
        assert "gave no answer within 1 s" in json.dumps(answer), answer
        # Its own: the write given up in the test before may answer late meanwhile.
        line = poll(lambda: next((m for r in caplog.records if "plain.stubborn answered after it was given up"
                                  in (m := r.getMessage())), None), "the late reply")
    assert len(line) < 300, line
    assert not any("sss" in r.getMessage() for r in caplog.records)


def test_the_configuration_decides_what_reads(runner, gateway) -> None:
    schema = gateway.generation.schema.schema
    assert "plain_now" in schema.query_type.fields and "probe_now" in schema.mutation_type.fields
    assert "plain_append" in schema.mutation_type.fields
    answer = ask(runner, gateway, "{ plain_now { text } probe_echo_int(n: 7) { text } }")
    assert answer["data"]["probe_echo_int"] == {"text": "7"} and float(answer["data"]["plain_now"]["text"]) > 0
    refused = ask(runner, gateway, "{ probe_now { text } }")["errors"][0]["message"]
    assert "is a field of Mutation" in refused and "`mutation { probe_now { text } }`" in refused


BIG = 1796851886840
SAFE = 2**53 - 1


@pytest.mark.parametrize(("query", "variables", "expected"), [
    (f"{{ probe_echo_int(n: {BIG}) {{ text }} }}", None, str(BIG)),
    ("query ($n: SafeInt!) { probe_echo_int(n: $n) { text } }", {"n": BIG}, str(BIG)),
    ("query ($n: SafeInt!) { probe_echo_int(n: $n) { text } }", {"n": -SAFE}, str(-SAFE)),
    ("query ($n: Int!) { probe_echo_int(n: $n) { text } }", {"n": 5}, "5"),  # written before the widening
    (f"{{ probe_echo_int(n: {SAFE + 1}) {{ text }} }}", None, "SafeInt cannot represent"),
    ("{ probe_echo_int(n: 1.5) { text } }", None, "SafeInt cannot represent a non-integer"),
    ("query ($n: SafeInt!) { probe_echo_int(n: $n) { text } }", {"n": 1.5}, "non-integer"),
    ("query ($n: SafeInt!) { probe_echo_int(n: $n) { text } }", {"n": "12"}, "non-integer"),
    ('{ probe_status(repo_path: "/r") { text } }', None, "status of /r"),  # sent as `repo-path`
    ('{ probe_confirm(answer: "yes") { text } }', None, "yes"),
    ('{ probe_confirm(answer: "maybe") { isError } }', None, "true"),  # the server's own check
])
def test_every_integer_and_every_argument_reaches_the_tool(runner, gateway, query: str, variables: Any,
                                                           expected: str) -> None:
    assert expected in json.dumps(ask(runner, gateway, query, variables))


def test_colliding_enum_values_are_a_described_string(gateway) -> None:
    answer = gateway.generation.schema.schema.query_type.fields["probe_confirm"].args["answer"]
    assert str(answer.type) == "String!" and '"Y", "y", "Yes", "yes"' in (answer.description or "")


@pytest.mark.parametrize(("entry", "problem"), [
    ({"timeout": 0}, '"timeout" must be a number'),
    ({"timeout": "5"}, '"timeout" must be a number'),
    ({"readOnly": "yes"}, '"readOnly" must be true or false'),
    ({"readOnlyTools": "now"}, '"readOnlyTools" must be a list'),
    ({"readOnlyTools": ["a"], "writeTools": ["a"]}, "both name a"),
    ({"url": "http://127.0.0.1:1/mcp", "timeout": True}, '"timeout" must be a number'),
])
def test_bad_call_settings_are_named(tmp_path: Path, entry: dict[str, Any], problem: str) -> None:
    [config] = load_config(write_config(tmp_path, {"s": {"command": "x", **entry}}))
    assert problem in (config.problem or ""), config


def test_a_write_tools_typo_stops_the_start(tmp_path: Path) -> None:
    runner = LoopThread()
    try:
        with pytest.raises(Exception, match="names no listed tool: apend"):
            started(runner, load_config(write_config(tmp_path, {"p": probe_entry(writeTools=["apend"])})))
    finally:
        runner.close()


CODEGEN, TSC = shutil.which("graphql-codegen"), shutil.which("tsc")


@pytest.mark.slow
@pytest.mark.skipif(not (CODEGEN and TSC and shutil.which("mcp-server-memory")),
                    reason="the npm tools are not installed")
def test_generated_typescript_compiles(tmp_path: Path) -> None:
    """graphql-codegen's TypeScript, default settings, over the bundled servers and the probe."""
    assert CODEGEN and TSC

    async def sdl() -> str:
        async with Gateway([*load_config(BUNDLED), ServerConfig("probe", command=sys.executable,
                                                                 args=(str(PROBE),))], start_timeout=60) as gateway:
            assert all(u.up for u in gateway.upstreams.values()), gateway.health()
            assert gateway.generation is not None
            return gateway.generation.schema.sdl()

    (tmp_path / "schema.graphql").write_text(asyncio.run(sdl()), encoding="utf-8")
    (tmp_path / "codegen.json").write_text(json.dumps(
        {"schema": "schema.graphql", "generates": {"types.ts": {"plugins": ["typescript"]}}}), encoding="utf-8")
    env = {**os.environ, "NODE_PATH": str(Path(CODEGEN).parent.parent)}  # node_modules, beside .bin
    for command in ([CODEGEN, "--config", "codegen.json"], [TSC, "--noEmit", "--strict", "types.ts"]):
        done = subprocess.run(command, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]


@contextlib.contextmanager
def probe_over_http(port: int, *mode: str) -> Iterator[None]:
    process = subprocess.Popen([sys.executable, str(PROBE), str(port), *mode], stderr=subprocess.DEVNULL)
    try:
        poll(lambda: _listening(port), "the probe to listen")
        yield
    finally:
        process.kill()
        process.wait(DEADLINE)


def _listening(port: int) -> bool:
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return int(sock.getsockname()[1])


def test_a_url_alone_falls_back_to_sse(tmp_path: Path) -> None:
    port = free_port()
    with probe_over_http(port, "sse"):
        [config] = load_config(write_config(tmp_path, {"r": {"url": f"http://127.0.0.1:{port}/sse"}}))

        async def body() -> Any:
            async with Gateway([config], start_timeout=DEADLINE) as gateway:
                return json.loads(await gateway.execute("{ r_echo_int(n: 3) { text } }"))

        assert asyncio.run(body()) == {"data": {"r_echo_int": {"text": "3"}}}


@pytest.mark.slow
def test_a_restarted_remote_server_gets_the_call_on_a_new_session(tmp_path: Path) -> None:
    port = free_port()
    [config] = load_config(write_config(tmp_path, {"r": {"url": f"http://127.0.0.1:{port}/mcp", "type": "http"}}))

    async def body() -> Any:
        with contextlib.ExitStack() as first:
            first.enter_context(probe_over_http(port))
            async with Gateway([config], start_timeout=DEADLINE, call_timeout=DEADLINE) as gateway:
                assert "errors" not in json.loads(await gateway.execute("{ r_echo_int(n: 0) { text } }"))
                first.close()  # the server goes; one on the same port knows nothing of the session
                with probe_over_http(port):
                    return json.loads(await gateway.execute("{ r_echo_int(n: 1) { text } }"))

    assert asyncio.run(body()) == {"data": {"r_echo_int": {"text": "1"}}}
