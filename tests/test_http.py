"""GraphQL over HTTP: a real client, bad requests, many clients at once, shutdown."""

import asyncio
import contextlib
import json
import re
import signal
import subprocess
import sys
import time
from pathlib import Path
from collections.abc import Iterator
from typing import Any

import httpx
import pytest

from conftest import require_mcp_sdk

require_mcp_sdk()

from gql import Client, gql
from gql.transport.exceptions import TransportQueryError
from gql.transport.httpx import HTTPXTransport

from test_gateway import (DEADLINE, REPO, LoopThread, gateway_env, server_entry, started,
                          write_config)

from gateway import Gateway, load_config  # noqa: E402
from gateway.access import Access  # noqa: E402
from gateway.admission import AdmissionLimits  # noqa: E402
from gateway.http import chosen_media_type, listening_socket, make_app, make_server  # noqa: E402

BODY_LIMIT = 4096
GQL_JSON = "application/graphql-response+json"


@contextlib.contextmanager
def serving(runner: LoopThread, gateway: Gateway, access: Access | None = None, *,
            body_limit: int = 1 << 16) -> Iterator[str]:
    """Serves `gateway` on a loopback port of `runner`'s loop; yields its address."""
    # Room for every client these tests start at once: the queue's own bound is tested apart.
    server = make_server(gateway, grace_seconds=5, body_limit=body_limit, access=access,
                         admission=AdmissionLimits(queue=64))
    sock = listening_socket("127.0.0.1:0")
    running = asyncio.run_coroutine_threadsafe(server.serve(sockets=[sock]), runner.loop)
    began = time.monotonic()
    while not server.started:
        assert time.monotonic() - began < DEADLINE and not running.done()
        time.sleep(0.01)
    try:
        yield f"http://127.0.0.1:{sock.getsockname()[1]}"
    finally:
        runner.loop.call_soon_threadsafe(server.stop)
        running.result(DEADLINE)
        sock.close()


@contextlib.contextmanager
def serving_program(config: Path, *args: str, env: dict[str, str] | None = None,
                    ) -> Iterator[tuple[subprocess.Popen[str], str]]:
    """Runs the gateway program serving `config` on a loopback port; yields the
    process (its standard error open) and the address it announced."""
    process = subprocess.Popen(
        [sys.executable, "-m", "gateway", "--config", str(config), "--serve", "127.0.0.1:0", *args],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env or gateway_env(), cwd=REPO)
    try:
        assert process.stderr is not None
        line = process.stderr.readline()
        port = re.search(r"127\.0\.0\.1:(\d+)/graphql", line)
        assert port, line
        yield process, f"http://127.0.0.1:{port.group(1)}"
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


@pytest.fixture(scope="module")
def url(tmp_path_factory: pytest.TempPathFactory):
    """A gateway over two test servers served on a loopback port."""
    runner = LoopThread()
    config = write_config(tmp_path_factory.mktemp("http"),
                          {"alpha": server_entry("alpha"), "beta": server_entry("beta")})
    gateway = started(runner, load_config(config), call_timeout=10, query_threads=8)
    with serving(runner, gateway, body_limit=BODY_LIMIT) as address:
        yield address
    runner.run(gateway.close())
    runner.close()


def test_a_graphql_client_reads_results_and_errors(url: str) -> None:
    with Client(transport=HTTPXTransport(url=f"{url}/graphql")) as session:
        request = gql("query Q($n: Int) { r: alpha_echo_args(number: $n) { json } }")
        request.variable_values, request.operation_name = {"n": 5}, "Q"
        result = session.execute(request)
        assert result["r"]["json"] == {"value": None, "number": 5, "server": "alpha"}
        with pytest.raises(TransportQueryError, match="Cannot query field"):
            session.execute(gql("{ alpha_missing }"))


@pytest.mark.parametrize(("accept", "media", "refused_status"), [
    (None, "application/json", 200),
    ("application/json", "application/json", 200),
    (GQL_JSON, GQL_JSON, 400),
    (f"application/json;q=0.5, {GQL_JSON}", GQL_JSON, 400),
    (f"{GQL_JSON};q=0.2, application/json", "application/json", 200),
    ("*/*", GQL_JSON, 400),
])
def test_media_types_and_their_status_codes(url: str, accept: str | None, media: str,
                                            refused_status: int) -> None:
    with httpx.Client(base_url=url) as client:
        if accept is None:
            del client.headers["Accept"]
        else:
            client.headers["Accept"] = accept
        ok = client.post("/graphql", json={"query": "query Q($t: String!) { beta_text(body: $t) { text } }",
                                           "variables": {"t": "hi"}, "operationName": "Q"})
        assert (ok.status_code, ok.headers["content-type"]) == (200, media)
        assert ok.json()["data"]["beta_text"]["text"] == "hi"
        got = client.get("/graphql", params={"query": "{ __typename }"})
        assert got.json() == {"data": {"__typename": "Query"}}  # no empty "errors"
        for refused in ("", "{ nope }", "{"):
            response = client.post("/graphql", json={"query": refused})
            assert (response.status_code, response.json().get("data")) == (refused_status, None)


@pytest.mark.parametrize(("request_args", "status", "message"), [
    ({"method": "POST", "content": b"{not json", "headers": {"Content-Type": "application/json"}},
     400, "not JSON"),
    ({"method": "POST", "json": [1]}, 400, "JSON object"),
    ({"method": "POST", "json": {"variables": {}}}, 400, "query is missing"),
    ({"method": "POST", "json": {"query": 7}}, 400, "query must be a string"),
    ({"method": "POST", "json": {"query": "{ __typename }", "variables": [1]}}, 400, "variables"),
    ({"method": "POST", "json": {"query": "{ __typename }", "operationName": 1}}, 400, "operationName"),
    ({"method": "GET", "params": {"query": "{ __typename }", "variables": "{"}}, 400, "variables"),
    ({"method": "GET", "params": {}}, 400, "query is missing"),
    ({"method": "POST", "content": b"query", "headers": {"Content-Type": "application/graphql"}},
     415, "application/json"),
    ({"method": "POST", "content": b"{}", "headers": {}}, 415, "application/json"),
    ({"method": "PUT", "json": {}}, 405, "PUT"),
    ({"method": "DELETE"}, 405, "DELETE"),
    ({"method": "GET", "params": {"query": "# note\n mutation { alpha_write { json } }"}}, 405, "POST"),
    ({"method": "GET", "params": {"query": "mutation { alpha_write { json } }"}}, 405, "POST"),
    ({"method": "POST", "json": {"query": "{ __typename }", "pad": "x" * BODY_LIMIT}}, 413, "limit"),
    ({"method": "POST", "content": iter([b'{"query": "', b"x" * BODY_LIMIT, b'"}']),
      "headers": {"Content-Type": "application/json"}}, 413, "limit"),  # no length: chunked
    ({"method": "GET", "params": {"query": "{ __typename }"}, "headers": {"Accept": "text/html"}},
     406, "acceptable"),
])
def test_bad_requests_get_clear_errors(url: str, request_args: dict[str, Any], status: int,
                                       message: str) -> None:
    with httpx.Client(base_url=url) as client:
        response = client.request(url="/graphql", **request_args)
        assert response.status_code == status, response.text
        [error] = response.json()["errors"]
        assert message in error["message"]
        if status == 405:
            assert response.headers["allow"] in ("GET, POST", "POST")
        # the server is still whole and answers the next request
        assert client.post("/graphql", json={"query": "{ __typename }"}).status_code == 200


def test_mutation_by_post(url: str) -> None:
    response = httpx.post(f"{url}/graphql", json={"query": "mutation { alpha_write { json } }"})
    assert response.json()["data"]["alpha_write"]["json"] == {"written": True}


def test_fifty_clients_at_once_get_their_own_answers(url: str) -> None:
    query = "query ($n: Int, $tag: JSON) { a: alpha_echo_args(number: $n, value: $tag) { json } " \
            "b: beta_echo_args(number: $n) { json } s: alpha_sleep(seconds: 0.05) { isError } }"

    async def one(n: int) -> dict[str, Any]:
        # Each client from its own loopback address: one address may only have a few queries at once.
        transport = httpx.AsyncHTTPTransport(local_address=f"127.0.1.{n + 1}")
        async with httpx.AsyncClient(base_url=url, transport=transport, timeout=DEADLINE) as client:
            response = await client.post("/graphql", json={"query": query, "variables": {"n": n, "tag": f"c{n}"}})
        assert response.status_code == 200
        data: dict[str, Any] = response.json()["data"]
        return data

    async def all_clients() -> list[dict[str, Any]]:
        return await asyncio.gather(*(one(n) for n in range(50)))

    for n, data in enumerate(asyncio.run(all_clients())):
        assert data["a"]["json"] == {"value": f"c{n}", "number": n, "server": "alpha"}
        assert data["b"]["json"]["number"] == n and data["s"]["isError"] is False


@pytest.mark.parametrize(("accept", "media"), [
    ("", "application/json"), ("application/*", GQL_JSON), ("text/html, application/json;q=0", None),
    (f"{GQL_JSON};q=0, application/json", "application/json"), ("application/json;q=x", None),
])
def test_chosen_media_type(accept: str, media: str | None) -> None:
    assert chosen_media_type(accept) == media


def test_health_says_when_a_server_is_down() -> None:
    class Down:
        def health(self) -> dict[str, Any]:
            return {"up": False, "servers": {"a": {"up": False, "failure": "exited"}}}

    async def get() -> httpx.Response:
        transport = httpx.ASGITransport(app=make_app(Down()))  # type: ignore[arg-type]
        async with httpx.AsyncClient(transport=transport, base_url="http://localhost") as client:
            return await client.get("/health")

    response = asyncio.run(get())
    assert response.status_code == 503 and response.json()["servers"]["a"]["failure"] == "exited"


def test_sigterm_lets_requests_in_flight_finish_then_ends_every_server(tmp_path: Path) -> None:
    pid_file = tmp_path / "a.pid"
    config = write_config(tmp_path, {"a": server_entry("a", PID_FILE=str(pid_file))})
    with serving_program(config) as (process, base):
        assert httpx.get(f"{base}/health").json()["up"] is True

        async def in_flight() -> httpx.Response:
            async with httpx.AsyncClient(timeout=DEADLINE) as client:
                request = asyncio.ensure_future(client.post(
                    f"{base}/graphql", json={"query": "{ a_sleep(seconds: 1) { json } }"}))
                await asyncio.sleep(0.4)
                process.send_signal(signal.SIGTERM)
                return await request

        response = asyncio.run(in_flight())
        assert response.json()["data"]["a_sleep"]["json"] == {"slept": 1.0}
        process.wait(DEADLINE)
        stderr = process.stderr.read()  # type: ignore[union-attr]
    assert process.returncode == 0, stderr
    assert "Traceback" not in stderr
    with pytest.raises(httpx.ConnectError):
        httpx.get(f"{base}/health")
    assert not Path(f"/proc/{pid_file.read_text()}").exists()
