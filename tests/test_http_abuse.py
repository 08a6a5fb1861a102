"""The HTTP gateway under abuse: each hole an outside test found, closed.

The HTTP layer is exercised over a stand-in gateway (its queries recorded,
held or failed on demand), served by the real Uvicorn on a loopback port
where the socket matters and through ASGI where it does not.
"""

import asyncio
import contextlib
import io
import json
import logging
import os
import socket
import sys
import threading
from types import SimpleNamespace
from collections.abc import AsyncIterator, Iterator
from pathlib import Path
from typing import Any

import graphql
import httpx
import pytest
import uvicorn
from uvicorn.protocols.http.flow_control import FlowControl
from conftest import DEADLINE, poll, poll_async, require_mcp_sdk

require_mcp_sdk()

from mcp_test_server import server as test_server
from starlette.applications import Starlette
from starlette.responses import JSONResponse

import _graphql
from gateway import Gateway, in_process
from gateway.access import Access
from gateway.access_log import AccessLog
from gateway.limits import Limits
from gateway.admission import Admission, AdmissionLimits, ClientGone, Refused
from gateway.budget import ReplyBudget
from gateway.checks import BodyCheck, loads_body, loads_bounded, nests_deeper
from gateway.cli import main
from gateway import connections, http
from gateway.connections import AcceptErrorLog, ConnectionLimits, guarded_protocol, parser_names
from gateway.fields import FieldIndex
from gateway.front import Front
from gateway.http import listening_socket, make_app, make_server
from gateway.observe import Observer
from gateway.preparing import Preparer, TooSlow
from gateway.schema import build
from support import serving_program, server_entry, write_config

TOKEN = "t0ken"
TEST_SERVER = str(Path(__file__).resolve().parent / "mcp_test_server.py")


CATALOGUE = [{"server": "alpha", "tools": [{"name": "read", "annotations": {"readOnlyHint": True}},
                                            {"name": "write", "annotations": {"readOnlyHint": False}}]}]
READ = "{ alpha_read { text } }"


class StandIn:
    """What the HTTP layer needs of a gateway: the real front over a detached engine, its trips
    to a query thread recorded, and held (`hold`) or failed (`fail`) on demand."""

    query_threads = 2

    def __init__(self, catalogue: list[dict[str, Any]] = CATALOGUE) -> None:
        self.observer = Observer()
        self.executed: list[str] = []  # the engine's documents, one per trip to a query thread
        self.hold: threading.Event | None = None
        self.fail = False
        engine = _graphql.SchemaEngine(json.dumps(catalogue))
        self.schema = build(catalogue, FieldIndex.of(engine))
        self.front = Front(self.schema, engine, self._on_query_thread)
        self.generation = SimpleNamespace(schema=self.schema, front=self.front, entries={}, catalogue=catalogue)

    def health(self) -> dict[str, Any]:
        return {"up": True, "servers": {"alpha": {"up": True}}}

    @contextlib.asynccontextmanager
    async def taken(self) -> AsyncIterator[SimpleNamespace]:
        yield self.generation

    async def _on_query_thread(self, fields: frozenset[str], function: Any, *args: Any) -> str:
        self.executed.append(args[0])
        if self.fail:
            raise RuntimeError("a fault of the gateway's own")
        if self.hold is not None:
            assert await asyncio.to_thread(self.hold.wait, DEADLINE)
        return str(function(*args))


async def asgi(app: Any, method: str, url: str, **kwargs: Any) -> httpx.Response:
    transport = httpx.ASGITransport(app=app, raise_app_exceptions=False)
    async with httpx.AsyncClient(transport=transport, base_url="http://localhost") as client:
        return await client.request(method, url, **kwargs)


@contextlib.contextmanager
def served(gateway: StandIn, access: Access | None = None, connections: ConnectionLimits | None = None,
           admission: AdmissionLimits | None = None) -> Iterator[tuple[int, Admission]]:
    """The stand-in served by Uvicorn on a loopback port, on a thread of its own; yields the port
    and the app's admission."""
    server = make_server(gateway, grace_seconds=1, body_limit=1 << 16, access=access,  # type: ignore[arg-type]
                         connections=connections, admission=admission)
    sock = listening_socket("127.0.0.1:0")
    thread = threading.Thread(target=asyncio.run, args=(server.serve(sockets=[sock]),), daemon=True)
    thread.start()
    poll(lambda: server.started, "the server started")
    try:
        app = server.config.app
        assert isinstance(app, Starlette)
        yield sock.getsockname()[1], app.state.admission
    finally:
        if gateway.hold is not None:
            gateway.hold.set()
        server.should_exit = True
        thread.join(DEADLINE)
        sock.close()
        assert not thread.is_alive(), "the server did not stop"


def connect(port: int, data: bytes = b"") -> socket.socket:
    sock = socket.create_connection(("127.0.0.1", port), timeout=DEADLINE)
    sock.sendall(data)
    return sock


def closed_by_server(sock: socket.socket) -> bytes:
    """What the server sent before closing; fails the test if it keeps the socket open."""
    received = b""
    while chunk := sock.recv(1 << 16):
        received += chunk
    return received


# ---- the checks, through ASGI --------------------------------------------------------------


def test_head_is_a_get_and_never_reaches_a_tool_that_writes() -> None:
    gateway = StandIn()
    app = make_app(gateway)
    written = asyncio.run(asgi(app, "HEAD", "/graphql", params={"query": "mutation { alpha_write { text } }"}))
    assert (written.status_code, written.headers["allow"]) == (405, "POST")
    as_query = asyncio.run(asgi(app, "HEAD", "/graphql", params={"query": "{ alpha_write { text } }"},
                                headers={"Accept": "application/graphql-response+json"}))
    assert as_query.status_code == 400 and gateway.executed == []  # not a field of Query
    read = asyncio.run(asgi(app, "HEAD", "/graphql", params={"query": READ}))
    assert read.status_code == 200 and len(gateway.executed) == 1


def test_a_repeated_get_is_answered_anew_for_a_new_generation_and_runs_its_tools_each_time() -> None:
    gateway = StandIn()
    app = make_app(gateway)
    fields = "{ __schema { queryType { fields { name } } } }"

    async def scenario() -> list[list[str]]:
        for _ in range(2):
            assert (await asgi(app, "GET", "/graphql", params={"query": READ})).status_code == 200
        names = []
        for swap in (False, False, True):
            if swap:  # a new listing: another tool, another generation
                gateway.generation = StandIn([{"server": "alpha", "tools": [
                    {"name": "look", "annotations": {"readOnlyHint": True}}]}]).generation
            answer = await asgi(app, "GET", "/graphql", params={"query": fields})
            names.append([f["name"] for f in answer.json()["data"]["__schema"]["queryType"]["fields"]])
        return names

    assert asyncio.run(scenario()) == [["servers", "search", "alpha_read"]] * 2 + [["servers", "search", "alpha_look"]]
    assert len(gateway.executed) == 2  # a tool field is never answered from before


def test_urls_that_never_repeat_do_not_crowd_out_the_kept_answers_of_those_that_do() -> None:
    ready, front, answer = http.ReadyAnswers(), object(), http.Answer(200, "{}")
    ready.keep(front, b"used", b"m", answer)  # type: ignore[arg-type]
    for n in range(http.READY_KEPT):
        assert ready.find(front, b"used", b"m") is answer  # type: ignore[arg-type]
        ready.keep(front, b"junk%d" % n, b"m", answer)  # type: ignore[arg-type]
    assert ready.find(front, b"junk0", b"m") is None  # type: ignore[arg-type]
    assert ready.find(object(), b"used", b"m") is None  # type: ignore[arg-type]  # another generation's


@pytest.mark.parametrize(("writes", "close", "sent"), [
    ([b"head", b"body"], False, [b"headbody"]),  # one send
    ([b"head", b"one", b"two"], True, [b"headone", b"two", "closed"]),
    ([b"head"], False, [b"head"]),  # the body waits: the head leaves at the end of the turn
    ([b"head"], True, [b"head", "closed"]),
    ([b"h" * (connections.HELD_BYTES + 1), b"body"], False, [b"h" * (connections.HELD_BYTES + 1), b"body"]),
])
def test_an_answers_head_leaves_with_its_body_and_never_after_it(writes: list[bytes], close: bool,
                                                                   sent: list[bytes | str]) -> None:
    class Recording:
        def __init__(self) -> None:
            self.sent: list[bytes | str] = []

        def write(self, data: bytes) -> None:
            self.sent.append(data)

        def close(self) -> None:
            self.sent.append("closed")

        def is_closing(self) -> bool:
            return "closed" in self.sent

    async def scenario() -> list[bytes | str]:
        transport = Recording()
        held = connections.HeldHead(transport, asyncio.get_running_loop())  # type: ignore[arg-type]
        for data in writes:
            held.write(data)
        if close:
            held.close()
        await asyncio.sleep(0)  # the end of this turn
        return transport.sent

    assert asyncio.run(scenario()) == sent


DEEP = "[" * 100_000 + "]" * 100_000


@pytest.mark.parametrize(("request_args", "message"), [
    ({"content": b'{"query": "{ a(t: \\"\\ud800\\") }"}'}, "query is not valid Unicode"),
    ({"content": b'{"query": "{ a }", "variables": {"v": "\\udfff"}}'}, "variables is not valid Unicode"),
    ({"content": b'{"query": "{ a }", "operationName": "\\ud800"}'}, "operationName is not valid Unicode"),
    ({"content": b'{"query": "{ a }", "variables": {"v": %s}}' % DEEP.encode()}, "more than 64 levels"),
    ({"content": b'{"query": "{ a }", "operationName": %s}' % DEEP.encode()}, "more than 64 levels"),
    ({"content": b'{"query": "{ a }", "ignored": %s}' % DEEP.encode()}, "more than 64 levels"),
    ({"content": b'{"query": "{ a }", "variables": {"v": NaN}}'}, "not JSON"),
    ({"content": b'{"query": "{ a }", "variables": {"v": 1e999}}'}, "too large for JSON"),
    ({"content": b'{"query": "\xff"}'}, "not JSON"),
    ({"method": "GET", "params": {"query": "{ a }", "variables": '{"v": ' + "[" * 99 + "]" * 99 + "}"}}, "too deeply"),
    ({"headers": {"Host": "localhost:1@evil.example"}}, "Host"),
    ({"headers": {"Host": "[::1]evil.example"}}, "Host"),
])
def test_malformed_requests_are_400_never_500(request_args: dict[str, Any], message: str) -> None:
    gateway = StandIn()
    method = request_args.pop("method", "POST")
    headers = {"Content-Type": "application/json", **request_args.pop("headers", {})}
    if "content" not in request_args and method == "POST":
        request_args["content"] = b'{"query": "{ a }"}'
    response = asyncio.run(asgi(make_app(gateway), method, "/graphql",
                                headers=headers, **request_args))
    assert response.status_code == 400, response.text
    assert message in response.json()["errors"][0]["message"]
    assert gateway.executed == []


def test_bodies_held_at_once_are_bounded_and_so_is_the_time_to_send_one() -> None:
    async def scenario() -> list[int]:
        entered, leave = asyncio.Event(), asyncio.Event()

        async def holding(scope: Any, receive: Any, send: Any) -> None:
            entered.set()
            await leave.wait()
            await JSONResponse({})(scope, receive, send)

        async def stalling() -> Any:
            yield b"{"
            await asyncio.Event().wait()  # the rest never comes

        app = BodyCheck(holding, limit=10, room=15, seconds=0.2)
        post = {"headers": {"Content-Type": "application/json"}}
        first = asyncio.ensure_future(asgi(app, "POST", "/", content=b"[1,2,3,4]", **post))
        await entered.wait()
        statuses = [(await asgi(app, "POST", "/", content=b"[1,2,3]", **post)).status_code]
        leave.set()
        statuses += [(await first).status_code, (await asgi(app, "POST", "/", content=stalling(), **post)).status_code]
        return statuses + [app.held]

    assert asyncio.run(scenario()) == [503, 200, 408, 0]


def test_an_internal_fault_is_a_json_500() -> None:
    gateway = StandIn()
    gateway.fail = True
    response = asyncio.run(asgi(make_app(gateway), "POST", "/graphql", json={"query": READ}))
    assert response.status_code == 500 and "the gateway failed" in response.json()["errors"][0]["message"]


@pytest.mark.parametrize(("token", "host", "path", "status"), [
    (None, "evil.example", "/health", 403),  # the Host rule holds for every path
    (None, "evil.example", "/graphql/", 403),  # no redirect built from the Host
    (TOKEN, "evil.example", "/graphql/", 401),
    (None, "localhost", "/graphql/", 404),
])
def test_host_rule_everywhere_and_no_redirect(token: str | None, host: str, path: str, status: int) -> None:
    app = make_app(StandIn(), access=Access(token=token))
    response = asyncio.run(asgi(app, "GET", path, headers={"Host": host}, follow_redirects=False))
    assert response.status_code == status and "location" not in response.headers
    assert "servers" not in response.text


@pytest.mark.parametrize(("authorization", "admitted"), [
    (b"Bearer " + TOKEN.encode(), True),
    (b"Bearer " + TOKEN.encode() + b"\xa0", False),  # no white space of any other kind is trimmed
    (b"Bearer " + TOKEN.encode() + b"\x85", False),
    (b"Bearer\t" + TOKEN.encode(), False),
])
def test_the_bearer_token_is_compared_on_its_exact_bytes(authorization: bytes, admitted: bool) -> None:
    app = make_app(StandIn(), access=Access(token=TOKEN))
    response = asyncio.run(asgi(app, "GET", "/graphql", params={"query": READ},
                                headers={"Authorization": authorization}))
    assert response.status_code == (200 if admitted else 401)


# ---- the socket: timeouts, the connection cap, the log -----------------------------------------


@pytest.fixture(params=parser_names())
def parser(request: pytest.FixtureRequest, monkeypatch: pytest.MonkeyPatch) -> str:
    """Each HTTP parser installed serves the socket tests, as each must hold the same guards."""
    monkeypatch.setattr(connections, "parser_names", lambda: (request.param,))
    return str(request.param)


@pytest.mark.parametrize("line", [b"X-Filler: " + b"a" * 1000 + b"\r\n", b"a" * 1000])  # many headers; one without end
def test_heads_are_bounded_in_size(parser: str, line: bytes) -> None:
    # The head's deadline past the test's own: only the size bound can end the oversized head.
    with served(StandIn(), connections=ConnectionLimits(header_seconds=DEADLINE * 2)) as (port, _):
        fits = connect(port, b"GET /health HTTP/1.1\r\nHost: localhost\r\nX-Filler: " + b"a" * 8000 + b"\r\n\r\n")
        assert fits.recv(1 << 16).startswith(b"HTTP/1.1 200")
        # A body larger than the bound, and the next head in the same packet: the body is no head.
        body = json.dumps({"query": "{ __typename }", "pad": "a" * 40000}).encode()
        pipelined = connect(port, b"POST /graphql HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n"
                            b"Content-Length: %d\r\n\r\n%s" % (len(body), body)
                            + b"GET /health HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n")
        assert closed_by_server(pipelined).count(b"HTTP/1.1 200") == 2
        huge = connect(port, b"GET /health HTTP/1.1\r\nHost: localhost\r\nX-Long: ")
        with contextlib.suppress(OSError):  # refused while this still sends
            for _ in range(1000):
                huge.sendall(line)
        try:
            assert closed_by_server(huge).startswith(b"HTTP/1.1 400")
        except ConnectionResetError:
            pass  # closed with some of the head unread: refused all the same


def test_idle_and_slow_heads_are_closed_after_the_header_timeout(parser: str) -> None:
    # Kept alive past the test's deadline: only the head's deadline can close these.
    with served(StandIn(), connections=ConnectionLimits(header_seconds=0.3, idle_seconds=DEADLINE * 2)) as (port, _):
        silent = connect(port)
        trickle = connect(port, b"GET /graph")
        for _ in range(3):  # each byte would reset an idle timer, not the head's deadline
            trickle.sendall(b"q")
        assert closed_by_server(silent) == b"" and closed_by_server(trickle) == b""
        kept = connect(port, b"GET /health HTTP/1.1\r\nHost: localhost\r\n\r\n")
        assert kept.recv(1 << 16).startswith(b"HTTP/1.1 200")
        kept.sendall(b"GET /health HTTP/1.1\r\nHost: localhost\r\n\r\n")
        # Answered again, then no next head: closed by its deadline, counted from the answer.
        assert closed_by_server(kept).startswith(b"HTTP/1.1 200")


def test_the_connection_cap_closes_the_longest_idle_then_refuses(parser: str) -> None:
    gateway = StandIn()
    gateway.hold = threading.Event()
    query = b"GET /graphql?query=%7Balpha_read%7Btext%7D%7D HTTP/1.1\r\nHost: localhost\r\n\r\n"
    with served(gateway, connections=ConnectionLimits(max_connections=2), admission=AdmissionLimits(per_client=2)
                ) as (port, _):
        idle = connect(port)
        busy = connect(port, query)
        poll(lambda: len(gateway.executed) == 1, "the first query runs")
        second = connect(port, query)  # takes the place of the idle one
        assert closed_by_server(idle) == b""
        poll(lambda: len(gateway.executed) == 2, "the second query runs")
        refused = closed_by_server(connect(port, query))  # every connection has a request running
        assert refused.startswith(b"HTTP/1.1 503") and b"retry-after: 1" in refused
        gateway.hold.set()
        assert busy.recv(1 << 16).startswith(b"HTTP/1.1 200") and second.recv(1 << 16).startswith(b"HTTP/1.1 200")


def test_one_address_holding_every_connection_gives_one_up_to_another(parser: str) -> None:
    gateway = StandIn()
    gateway.hold = threading.Event()
    gateway.query_threads = 3
    query = b"GET /graphql?query=%7Balpha_read%7Btext%7D%7D HTTP/1.1\r\nHost: localhost\r\n\r\n"
    with served(gateway, connections=ConnectionLimits(max_connections=3), admission=AdmissionLimits(per_client=3)
                ) as (port, _):
        first, _, newest = [connect(port, query) for _ in range(3)]
        poll(lambda: len(gateway.executed) == 3, "the queries run")
        other = socket.create_connection(("127.0.0.1", port), timeout=DEADLINE, source_address=("127.0.0.2", 0))
        assert closed_by_server(newest) == b""  # the newest of the address that held them all
        # The other's connection, idle until its head comes, is not the first address's to close.
        assert closed_by_server(connect(port, query)).startswith(b"HTTP/1.1 503")
        other.sendall(query)
        gateway.hold.set()
        assert first.recv(1 << 16).startswith(b"HTTP/1.1 200") and other.recv(1 << 16).startswith(b"HTTP/1.1 200")


@pytest.mark.parametrize(("proxies", "logged"), [(None, "127.0.0.1:"), ("127.0.0.1", "203.0.113.9:")])
def test_log_lines_cannot_be_forged_and_proxies_need_naming(proxies: str | None, logged: str, parser: str
                                                            ) -> None:
    stream = io.StringIO()
    with served(StandIn(), Access(log=AccessLog(stream), forwarded_allow_ips=proxies)) as (port, _):
        response = httpx.get(f"http://127.0.0.1:{port}/x%0a2026-01-01T00:00:00Z%20forged%0d%1b[2J%c2%85",
                             headers={"X-Forwarded-For": "203.0.113.9"})
        assert response.status_code == 404
        poll(lambda: stream.getvalue().endswith("\n"), "the request was logged")
    [line] = stream.getvalue().splitlines()
    assert f"Z {logged}" in line and " GET /x\\x0a2026-01-01T00:00:00Z forged\\x0d\\x1b[2J\\x85 404 " in line


class Writes(io.StringIO):
    def __init__(self) -> None:
        super().__init__()
        self.writes = 0

    def write(self, text: str) -> int:
        self.writes += 1
        return super().write(text)


def test_access_lines_on_a_loop_are_written_together_and_none_is_lost() -> None:
    stream = Writes()
    log = AccessLog(stream)

    async def lines(*texts: str) -> None:
        for text in texts:
            log(text)

    asyncio.run(lines("one", "two"))  # the loop ends before their write is due: still held

    async def later() -> None:
        log("three")
        await poll_async(lambda: stream.getvalue().endswith("three\n"), "the line is written")

    asyncio.run(later())
    assert [line.split(" ", 1)[1] for line in stream.getvalue().splitlines()] == ["one", "two", "three"]
    assert stream.writes == 2


def test_the_mcp_servers_do_not_hold_the_listening_socket(tmp_path: Path) -> None:
    # One that did would keep accepting connections (and holding them unanswered) for a
    # gateway that died.
    with serving_program(write_config(tmp_path, {"alpha": server_entry("alpha")})) as (process, base):
        port = int(base.rsplit(":", 1)[1])
        rows = [line.split() for line in Path("/proc/net/tcp").read_text().splitlines()[1:]]
        [listening] = [f"socket:[{row[9]}]" for row in rows if row[1].endswith(f":{port:04X}") and row[3] == "0A"]
        [child] = Path(f"/proc/{process.pid}/task/{process.pid}/children").read_text().split()
        assert listening not in {os.readlink(fd) for fd in Path(f"/proc/{child}/fd").iterdir()}


def test_accept_errors_are_logged_once_a_second() -> None:
    reported: list[dict[str, Any]] = []

    class Clock:
        now = 100.0

        def time(self) -> float:
            return self.now

        def get_exception_handler(self) -> Any:
            return lambda loop, context: reported.append(context)

    clock = Clock()
    handler = AcceptErrorLog(clock)  # type: ignore[arg-type]
    error = {"message": "socket.accept() out of system resource", "exception": OSError(24, "Too many open files")}
    for _ in range(1000):
        handler(clock, error)  # type: ignore[arg-type]
    clock.now += 1.0
    handler(clock, error)  # type: ignore[arg-type]
    handler(clock, {"message": "something else"})  # type: ignore[arg-type]
    assert [c["message"] for c in reported] == [
        "socket.accept() out of system resource: [Errno 24] Too many open files",
        "socket.accept() out of system resource (999 more since the last report): [Errno 24] Too many open files",
        "something else"]


# ---- query threads shared fairly ---------------------------------------------------------------


class Client:
    """A request's receive: its body was read; it returns the disconnect once `leave()` is called."""

    def __init__(self) -> None:
        self.gone = asyncio.Event()

    async def receive(self) -> dict[str, Any]:
        await self.gone.wait()
        return {"type": "http.disconnect"}

    def leave(self) -> None:
        self.gone.set()


def test_admission_bounds_the_queue_and_each_client() -> None:
    async def scenario() -> list[Any]:
        admission = Admission(1, AdmissionLimits(queue=1, per_client=1))
        ran: list[str] = []
        release = asyncio.Event()

        async def query(name: str, address: str, client: Client | None = None) -> str:
            try:
                async with admission.turn(address, (client or Client()).receive):
                    ran.append(name)
                    await release.wait()
                return "ok"
            except Refused as exc:
                return f"{exc.status} {exc.headers['Retry-After']}"
            except ClientGone:
                return "dropped"

        leaving = Client()
        first = asyncio.ensure_future(query("first", "a"))
        await poll_async(lambda: admission.running == 1, "the first query running")
        waiting = asyncio.ensure_future(query("waiting", "b", leaving))
        await poll_async(lambda: admission.waiting == 1, "a query waiting")
        outcomes: list[Any] = [await query("second of a", "a"), await query("queue full", "c")]
        leaving.leave()  # gone before its turn came: dropped, the queue has room again
        outcomes.append(await waiting)
        later = asyncio.ensure_future(query("later", "c"))
        await poll_async(lambda: admission.waiting == 1, "the later query waiting")
        release.set()
        outcomes += [await first, await later, ran]
        return outcomes

    assert asyncio.run(scenario()) == ["429 1", "503 1", "dropped", "ok", "ok", ["first", "later"]]


def test_a_query_whose_client_left_while_it_ran_runs_to_its_end(caplog: pytest.LogCaptureFixture) -> None:
    async def scenario() -> bool:
        admission = Admission(1)
        client = Client()
        async with admission.turn("a", client.receive):
            client.leave()
            await asyncio.sleep(0.01)
            finished = True
        return finished and admission.running == 0

    with caplog.at_level(logging.WARNING, logger="gateway.admission"):
        assert asyncio.run(scenario())
    assert "the client a left while its query ran; the query ran to its end" in caplog.text


def test_a_query_whose_client_left_before_its_turn_is_dropped_with_a_thread_free() -> None:
    async def scenario() -> tuple[bool, int]:
        admission = Admission(2)
        client = Client()
        client.leave()
        ran = False
        with pytest.raises(ClientGone):
            async with admission.turn("a", client.receive):
                ran = True
        return ran, admission.running

    assert asyncio.run(scenario()) == (False, 0)


def test_the_route_answers_a_query_refused_its_turn_or_dropped_itself() -> None:
    async def scenario() -> list[Any]:
        gateway, admission = StandIn(), Admission(2, AdmissionLimits(per_client=1))
        app = make_app(gateway, admission=admission)  # type: ignore[arg-type]
        body = json.dumps({"query": READ}).encode()
        async with admission.turn("127.0.0.1", Client().receive):  # this client's one query, running
            refused = await asgi(app, "POST", "/graphql", content=body, headers={
                "Content-Type": "application/json", "Accept": "application/graphql-response+json"})
        messages = [{"type": "http.request", "body": body}, {"type": "http.disconnect"}]
        sent: list[dict[str, Any]] = []

        async def receive() -> dict[str, Any]:
            return messages.pop(0)

        async def send(message: dict[str, Any]) -> None:
            sent.append(message)

        scope = {"type": "http", "method": "POST", "path": "/graphql", "root_path": "", "query_string": b"",
                 "client": ("127.0.0.1", 1),
                 "headers": [(b"host", b"localhost"), (b"content-type", b"application/json")]}
        await app(scope, receive, send)  # gone once its body came: its query is dropped
        return [refused.status_code, refused.headers["content-type"], refused.headers["retry-after"],
                "1 queries running" in refused.json()["errors"][0]["message"], sent[0]["status"], gateway.executed]

    assert asyncio.run(scenario()) == [429, "application/json", "1", True, 499, []]


def test_a_client_that_disconnects_while_waiting_never_runs_its_query() -> None:
    gateway = StandIn()
    gateway.hold = threading.Event()
    query = b"GET /graphql?query=%7Bfirst%3Aalpha_read%7Btext%7D%7D HTTP/1.1\r\nHost: localhost\r\n\r\n"
    with served(gateway, admission=AdmissionLimits(per_client=4)) as (port, admission):
        holding = [connect(port, query) for _ in range(2)]  # both threads of the stand-in
        poll(lambda: len(gateway.executed) == 2, "the threads are busy")
        gone = connect(port, query.replace(b"first", b"gone"))
        poll(lambda: admission.waiting == 1, "the query waits")
        gone.close()
        poll(lambda: admission.waiting == 0, "the query is dropped")
        waiting = connect(port, query.replace(b"first", b"waits"))
        poll(lambda: admission.waiting == 1, "the next query waits")
        gateway.hold.set()
        assert waiting.recv(1 << 16).startswith(b"HTTP/1.1 200")
        for sock in holding:
            sock.close()
    assert [next(k for k in ("first", "gone", "waits") if k in text) for text in gateway.executed] == \
        ["first", "first", "waits"]


# ---- what one request may make the gateway hold ----------------------------------------------


def test_the_reply_budget_holds_replies_until_their_queries_end() -> None:
    budget = ReplyBudget(100)
    assert budget.take(1000)  # no query running through the gateway: nobody to hold it for
    long, short = budget.started(), budget.started()
    assert budget.take(60) and not budget.take(50) and budget.held == 60
    budget.ended(short)  # the long query may still hold the reply
    assert budget.held == 60 and not budget.take(50)
    budget.ended(long)
    assert budget.held == 0 and budget.started() and budget.take(100)


def test_a_reply_over_the_budget_fails_its_field() -> None:
    async def scenario() -> dict[str, Any]:
        async with Gateway([in_process("alpha", test_server)], reply_bytes=50_000) as gateway:
            text = await gateway.execute('{ small: alpha_text(body: "x") { text } big: alpha_text(body: "'
                                         + "y" * 100_000 + '") { isError text } }')
            return json.loads(text)["data"]

    data = asyncio.run(scenario())
    assert data["small"]["text"] == "x" and data["big"]["isError"]
    assert "over 50000 bytes" in data["big"]["text"]


# ---- starting: what cannot be applied stops the start ---------------------------------------


@pytest.mark.parametrize(("args", "status", "message"), [
    (["--serve", "127.0.0.1:0", "--cors-origin", "*"], 2, "--cors-origin '*' is not one origin"),
    (["--deny", "alpha.echo_args", "{ __typename }"], 2, "--allow/--deny alpha.echo_args: no listed"),
    (["--deny", "alpha_echo_arg", "{ __typename }"], 2, "--allow/--deny alpha_echo_arg: no listed"),
    (["--deny", "alpha_echo_args", "{ alpha_echo_args { text } }"], 1, "Cannot query field 'alpha_echo_args'"),
])
def test_rules_that_cannot_be_applied_stop_the_start(tmp_path: Path, capsys: pytest.CaptureFixture[str],
                                                     args: list[str], status: int, message: str) -> None:
    config = tmp_path / "servers.json"
    config.write_text(json.dumps({"mcpServers": {"alpha": {
        "command": sys.executable, "args": [TEST_SERVER], "env": {"NAME": "alpha"}}}}))
    root = logging.getLogger()
    handlers, level = root.handlers[:], root.level
    try:
        assert main(["--config", str(config), *args]) == status
    finally:  # the program's log set-up writes to this test's captured stderr, closed after it
        root.handlers[:] = handlers
        root.setLevel(level)
    printed = capsys.readouterr()
    assert message in printed.out + printed.err



# ---- what a document may cost, and how long it may take to read -------------------------------


def aliases(template: str, count: int) -> str:
    return " ".join(template.format(n) for n in range(count))


INTROSPECTION_BOMB = ("{ __schema { " + aliases("t{}: types {{ ...F }}", 60) + " } } fragment F on __Type { name "
                      + aliases("f{}: fields {{ ...G }}", 60) + " } fragment G on __Field { name args { name } }")
SEARCH_BOMB = "{ " + aliases("x{}: search {{ ...S }}", 900) + " } fragment S on SearchHit { " + \
    aliases("d{}: description", 75) + " }"
CONFLICTS = "{ " + aliases('a: alpha_read(text: "{}") {{ text }}', 450) + " }"


@pytest.mark.parametrize(("method", "query", "limits", "status", "message"), [
    pytest.param("GET", INTROSPECTION_BOMB, None, 400, "the answer would hold more than 200000 fields",
                 id="introspection"),
    # 900 x 76 fields, each search listing both tools: over the limit only when the list is counted.
    pytest.param("POST", SEARCH_BOMB, Limits(cost=100_000), 400, "the answer would hold more than 100000 fields",
                 id="search"),
    pytest.param("POST", "{ " + aliases("x{}: search {{ ...S }}", 40) + " } fragment S on SearchHit { "
                 + aliases("d{}: field", 75) + " }", Limits(response_bytes=20_000), 413,
                 "the answer would be over the limit of 20000 bytes", id="response"),
    pytest.param("POST", "{ __schema { types { name } } }", Limits(response_bytes=200), 413,
                 "the answer would be over the limit of 200 bytes", id="introspection-response"),
])
def test_costly_documents_are_refused_before_they_are_run(method: str, query: str, limits: Limits | None,
                                                          status: int, message: str) -> None:
    app = make_app(StandIn(), access=Access(limits=limits or Limits()))
    headers = {"Accept": "application/graphql-response+json"}
    if method == "GET":
        response = asyncio.run(asgi(app, "GET", "/graphql", params={"query": query}, headers=headers))
    else:
        response = asyncio.run(asgi(app, "POST", "/graphql", json={"query": query}, headers=headers))
    assert response.status_code == status
    assert response.json()["errors"][0]["message"].startswith(message)


def test_graphiql_introspection_is_within_the_default_cost() -> None:
    app = make_app(StandIn())
    response = asyncio.run(asgi(app, "POST", "/graphql", json={"query": graphql.get_introspection_query()}))
    assert response.status_code == 200 and response.json()["data"]["__schema"]["queryType"]["name"] == "Query"


def test_a_preparation_past_its_time_is_stopped_and_a_client_holds_one_thread() -> None:
    def spin() -> None:
        while True:
            pass

    async def scenario() -> list[Any]:
        preparer = Preparer(threads=2)
        slow = asyncio.ensure_future(preparer.run(1, "a", spin))
        again = asyncio.ensure_future(preparer.run(DEADLINE, "a", lambda: "a again"))  # waits for a's turn
        other = await preparer.run(DEADLINE, "b", lambda: "b")  # the other thread, at once
        outcomes: list[Any] = [other, again.done()]
        with pytest.raises(TooSlow, match="took more than 1 seconds"):
            await slow
        outcomes.append(await again)  # once the stopped job freed a's turn
        return outcomes

    assert asyncio.run(scenario()) == ["b", False, "a again"]


def test_a_clients_waiting_documents_are_all_answered_and_leave_no_count() -> None:
    async def scenario() -> tuple[list[Any], int, list[Any]]:
        preparer = Preparer(threads=1)
        answers = await asyncio.gather(*(preparer.run(DEADLINE, f"c{n % 3}", lambda n=n: n) for n in range(60)),
                                       preparer.run(DEADLINE, "c0", lambda: 1 // 0), return_exceptions=True)
        return answers[:60], preparer._jobs, [type(answers[60]), dict(preparer._by_client), preparer._queues]

    answers, jobs, rest = asyncio.run(scenario())
    assert answers == list(range(60)) and jobs == 0 and rest == [ZeroDivisionError, {}, {}]


def test_a_batch_of_slow_documents_is_bounded_as_a_whole(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr("gateway.http.BATCH_PREPARE_SECONDS", 0.3)
    app = make_app(StandIn())
    response = asyncio.run(asgi(app, "POST", "/graphql", json=[{"query": CONFLICTS}] * 16))
    messages = [answer["errors"][0]["message"] for answer in response.json()]
    assert all(m.startswith(("preparing the document took more", "Fields 'a' conflict")) for m in messages[:1])
    assert all(m.startswith("this batch's documents took more than 0.3 seconds") for m in messages[2:])


def test_a_client_that_stops_reading_loses_its_connection() -> None:
    class Transport(asyncio.Transport):
        aborted = False

        def abort(self) -> None:
            self.aborted = True

    async def scenario() -> bool:
        protocol = guarded_protocol(ConnectionLimits(write_seconds=0.05))(
            config=uvicorn.Config(app=None), server_state=uvicorn.server.ServerState(), app_state={})
        transport = Transport()
        protocol.transport = transport
        protocol.flow = FlowControl(transport)
        protocol.pause_writing()  # the client's socket stopped taking bytes
        await poll_async(lambda: transport.aborted, "the connection aborted")

    asyncio.run(scenario())


def test_slow_bodies_hold_only_their_own_connections() -> None:
    async def scenario() -> list[int]:
        async def echo(scope: Any, receive: Any, send: Any) -> None:
            await JSONResponse({})(scope, receive, send)

        async def dribbling() -> Any:
            yield b"["
            await asyncio.Event().wait()  # one byte, then nothing

        app = BodyCheck(echo, limit=10, room=64, seconds=DEADLINE, rate=100, grace=0.2)
        post = {"headers": {"Content-Type": "application/json", "Content-Length": "10"}}
        slow = [asyncio.ensure_future(asgi(app, "POST", "/", content=dribbling(), **post)) for _ in range(8)]
        await asyncio.sleep(0)
        transport = httpx.ASGITransport(app=app, client=("127.0.0.2", 1))  # another address
        async with httpx.AsyncClient(transport=transport, base_url="http://localhost") as client:
            other = await client.post("/", content=b"[1,2,3,4]", headers={"Content-Type": "application/json"})
        return [other.status_code] + [(await s).status_code for s in slow] + [app.held]

    assert asyncio.run(scenario()) == [200] + [408] * 8 + [0]


def test_mcp_calls_take_their_turn_as_graphql_requests_do() -> None:
    gateway = StandIn()
    gateway.hold = threading.Event()
    call = {"jsonrpc": "2.0", "id": 2, "method": "tools/call",
            "params": {"name": "graphql", "arguments": {"query": READ}}}
    headers = {"Accept": "application/json, text/event-stream", "Mcp-Protocol-Version": "2025-06-18"}
    with served(gateway, admission=AdmissionLimits(per_client=1)) as (port, admission):
        url = f"http://127.0.0.1:{port}/mcp"
        with httpx.Client(timeout=DEADLINE) as client:
            first = threading.Thread(target=client.post, args=(url,), kwargs={"json": call, "headers": headers})
            first.start()
            poll(lambda: admission.running == 1, "the first call holds its query thread")
            second = client.post(url, json=call, headers=headers)
            gateway.hold.set()
            first.join(DEADLINE)
    assert second.headers["content-type"] == "application/json"  # nothing was sent before the result
    result = second.json()["result"]
    assert result["isError"] and result["structuredContent"]["errors"][0]["extensions"]["status"] == 429



@pytest.mark.parametrize("text", [
    b'{"q": "\xc3\xa9"}', '{"q": 1.5e3}', '{"q": "é"}'.encode("utf-16"), b'\xef\xbb\xbf{"q": 2}', "\ufeff{}", b"[1,",
    '{"q": NaN}', b'{"q": -Infinity}', '"\\ud800"', b'"\\udfff"', b'[18446744073709551617, -9223372036854775809]',
    b'[1e999]', b'{"q": "\\u00e9", "q": 2}',
])
def test_a_clients_json_reads_as_json_loads_reads_it_without_nan_or_infinity(text: str | bytes) -> None:
    def outcome(read: Any) -> Any:
        try:
            return read(text)
        except ValueError:
            return ValueError

    spelled = text if isinstance(text, str) else text.decode("latin-1")
    no_constants = "NaN" in spelled or "Infinity" in spelled  # JSON has neither
    assert outcome(loads_bounded) == (ValueError if no_constants else outcome(json.loads))
    if isinstance(text, bytes):  # a body: its faster reading gives the same value, and "plain" only when it is
        assert outcome(lambda body: loads_body(body)[0]) == outcome(loads_bounded)
        if outcome(loads_body) is not ValueError and loads_body(text)[1]:
            assert "\\ud" not in spelled and "1e999" not in spelled


@pytest.mark.parametrize(("text", "deeper"), [
    ("[" * 64 + "]" * 64, False), (b"[" * 65 + b"]" * 65, True), ('{"a": [' * 32 + "1" + "]}" * 32, False),
    ('{"a": [' * 33 + "1" + "]}" * 33, True), (b'["' + b"[{" * 100 + b'"]', False), ("[" + "[]," * 100 + "[]]", False),
])
def test_nesting_is_judged_by_levels_not_brackets(text: str | bytes, deeper: bool) -> None:
    assert nests_deeper(text, 64) is deeper
