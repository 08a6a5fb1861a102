"""Running the HTTP gateway for others: tokens, loopback, what is offered, CORS, bounds, the access log."""

import json
import re
import signal
import subprocess
import sys
import threading
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import httpx
import pytest

from conftest import LoopThread, require_mcp_sdk

require_mcp_sdk()

import _graphql
from mcp_test_server import server as test_server
from support import (DEADLINE, REPO, gateway_env, running, serving, serving_program, server_entry,
                     write_config)

from gateway import in_process  # noqa: E402
from gateway.access import Access, AccessError, load_token, loopback_host, require_token_off_loopback  # noqa: E402
from gateway.limits import Limits  # noqa: E402
from gateway.fields import FieldIndex  # noqa: E402
from gateway.offer import Offer, OfferError  # noqa: E402

TOKEN = "t0ken-that-must-never-be-logged"
ORIGIN = "https://app.example"
SECRET_ARGUMENT = "argument-that-must-never-be-logged"
LIMITS = Limits(query_bytes=2048, fields=5)
FORMS = ["text/plain", "application/x-www-form-urlencoded", "multipart/form-data; boundary=x"]


class Lines:
    """The access log, kept for the tests; written from the loop and the query threads."""

    def __init__(self) -> None:
        self.lines: list[str] = []
        self.lock = threading.Lock()

    def __call__(self, line: str) -> None:
        with self.lock:
            self.lines.append(line)

    def text(self) -> str:
        with self.lock:
            return "\n".join(self.lines)


@pytest.fixture(scope="module")
def servers(runner: LoopThread) -> Iterator[tuple[str, str, Lines]]:
    """One gateway (beta.write denied) served twice: guarded (token, CORS, small bounds, log) and open."""
    log = Lines()
    guarded = Access(token=TOKEN, cors_origin=ORIGIN, limits=LIMITS, log=log)
    with running(runner, [in_process("alpha", test_server), in_process("beta", test_server)],
                 call_timeout=10, offer=Offer.of(deny=["beta.write"]), call_log=log) as gateway, \
            serving(runner, gateway, guarded) as guarded_url, serving(runner, gateway, Access()) as open_url:
        yield guarded_url, open_url, log


def auth(token: str = TOKEN) -> dict[str, str]:
    return {"Authorization": f"Bearer {token}"}


@pytest.mark.parametrize(("headers", "challenge"), [
    ({}, "Bearer"),
    (auth("wrong"), 'Bearer error="invalid_token"'),
    (auth(TOKEN + "x"), 'Bearer error="invalid_token"'),
    ({"Authorization": f"Basic {TOKEN}"}, 'Bearer error="invalid_token"'),
    ({"Authorization": "Bearer"}, 'Bearer error="invalid_token"'),
    (auth(), None),
    ({"Authorization": f"bearer  {TOKEN}"}, None),  # the scheme is case-insensitive
])
def test_graphql_needs_the_right_bearer_token(servers: tuple[str, str, Lines], headers: dict[str, str],
                                              challenge: str | None) -> None:
    guarded, _, _ = servers
    for request in ({"method": "POST", "json": {"query": "{ __typename }"}},
                    {"method": "GET", "params": {"query": "{ __typename }"}}):
        response = httpx.request(url=f"{guarded}/graphql", headers=headers, **request)  # type: ignore[arg-type]
        if challenge is None:
            assert response.status_code == 200 and response.json()["data"] == {"__typename": "Query"}
        else:
            assert (response.status_code, response.headers["www-authenticate"]) == (401, challenge)
            assert response.json()["errors"][0]["message"]


def test_health_answers_without_a_token_but_names_nothing(servers: tuple[str, str, Lines]) -> None:
    guarded, _, _ = servers
    assert httpx.get(f"{guarded}/health").json() == {"up": True}
    assert set(httpx.get(f"{guarded}/health", headers=auth()).json()["servers"]) == {"alpha", "beta"}


def test_an_offer_shapes_servers_search_and_unknown_fields(servers: tuple[str, str, Lines]) -> None:
    _, open_url, _ = servers
    data = httpx.post(f"{open_url}/graphql", json={"query": "{ search { field } servers { name toolCount } }"}).json()
    fields = {hit["field"] for hit in data["data"]["search"]}
    assert "alpha_write" in fields and "beta_write" not in fields
    assert {s["name"]: s["toolCount"] for s in data["data"]["servers"]} == {"alpha": 6, "beta": 5}
    refused = httpx.post(f"{open_url}/graphql", json={"query": "mutation { beta_write { json } }"}).json()
    assert "data" not in refused and "Cannot query field 'beta_write'" in refused["errors"][0]["message"]


CATALOGUE = [
    {"server": "files", "tools": [{"name": "read", "annotations": {"readOnlyHint": True}},
                                  {"name": "write", "annotations": {"readOnlyHint": False}}]},
    {"server": "mem", "tools": [{"name": "get", "annotations": {"readOnlyHint": True}},
                                {"name": "put", "annotations": {"readOnlyHint": False}}]},
]


def indexed(groups: list[dict[str, Any]]) -> Callable[[], FieldIndex]:
    return lambda: FieldIndex.of(_graphql.SchemaEngine(json.dumps(groups)))


@pytest.mark.parametrize(("offer", "offered"), [
    (Offer(), {"files_read", "files_write", "mem_get", "mem_put"}),
    (Offer.of(read_only=True), {"files_read", "mem_get"}),
    (Offer.of(allow=["files"]), {"files_read", "files_write"}),
    (Offer.of(allow=["files", "mem.get"]), {"files_read", "files_write", "mem_get"}),
    (Offer.of(deny=["files.write", "mem"]), {"files_read"}),
    (Offer.of(allow=["files"], deny=["files.read"]), {"files_write"}),
    (Offer.of(allow=["mem"], read_only=True), {"mem_get"}),
])
def test_the_engine_is_built_from_what_is_offered(offer: Offer, offered: set[str]) -> None:
    engine = _graphql.SchemaEngine(json.dumps(offer.resolved(CATALOGUE, indexed(CATALOGUE)).shape(CATALOGUE)))
    response = json.loads(engine.execute("{ search { field } servers { name } }"))
    assert {hit["field"] for hit in response["data"]["search"]} == offered
    assert {s["name"] for s in response["data"]["servers"]} == {f.split("_")[0] for f in offered}
    for field in {"files_read", "files_write", "mem_get", "mem_put"} - offered:
        [error] = json.loads(engine.execute(f"{{ {field} }}"))["errors"]
        assert "unknown GraphQL field" in error["message"]


def test_allow_and_deny_entries_must_name_what_exists() -> None:
    offer = Offer.of(allow=["files.nope", "a.b.tool"], deny=["typo", "files"])
    assert offer.unknown_servers(["files", "mem"]) == ["a.b.tool"]  # "typo" may be a field: checked later
    with pytest.raises(OfferError, match=r"--allow/--deny a\.b\.tool, files\.nope, files_write_x, typo: "):
        Offer.of(deny=["files.nope", "a.b.tool", "typo", "files_write_x", "mem"]).resolved(
            CATALOGUE, indexed(CATALOGUE))


NOTES = [{"server": "notes", "tools": [{"name": "note-put"}, {"name": "note-get"}]}]


@pytest.mark.parametrize(("allow", "deny", "offered"), [
    ([], ["notes_note_put"], {"note-get"}),  # the field name `search` shows
    ([], ["notes.note-put"], {"note-get"}),  # the tool's own spelling
    (["notes_note_get", "notes.note-put"], ["notes_note_get"], {"note-put"}),
    ([], ["down.tool", "down"], {"note-get", "note-put"}),  # a server that did not start: kept, unchecked
])
def test_allow_and_deny_take_field_names(allow: list[str], deny: list[str], offered: set[str]) -> None:
    offer = Offer.of(allow=allow, deny=deny).resolved(NOTES, indexed(NOTES), down=["down"])
    assert {tool["name"] for group in offer.shape(NOTES) for tool in group["tools"]} == offered
    with pytest.raises(OfferError, match="notes.note_put"):  # neither a tool's spelling nor a field
        Offer.of(deny=[*deny, "notes.note_put"]).resolved(NOTES, indexed(NOTES))


@pytest.mark.parametrize("content_type", FORMS)
def test_a_cross_site_form_post_is_refused(servers: tuple[str, str, Lines], content_type: str) -> None:
    guarded, open_url, _ = servers
    body = b'{"query": "mutation { alpha_write { json } }"}'
    for url, headers in ((guarded, {**auth(), "Origin": ORIGIN}), (open_url, {"Origin": "https://evil.example"})):
        response = httpx.post(f"{url}/graphql", content=body, headers={**headers, "Content-Type": content_type})
        assert response.status_code == 415, response.text


def test_cors_headers_only_for_the_one_origin(servers: tuple[str, str, Lines]) -> None:
    guarded, open_url, _ = servers
    query = {"query": "{ __typename }"}
    for origin, allowed in ((ORIGIN, ORIGIN), ("https://evil.example", None)):
        got = httpx.post(f"{guarded}/graphql", json=query, headers={**auth(), "Origin": origin})
        assert got.headers.get("access-control-allow-origin") == allowed
        preflight = httpx.options(f"{guarded}/graphql", headers={
            "Origin": origin, "Access-Control-Request-Method": "POST",
            "Access-Control-Request-Headers": "authorization, content-type"})
        assert preflight.headers.get("access-control-allow-origin") == allowed
        assert (preflight.status_code == 200) == (allowed is not None)
    off = httpx.post(f"{open_url}/graphql", json=query, headers={"Origin": ORIGIN})
    assert off.status_code == 200 and not [h for h in off.headers if h.startswith("access-control-")]
    off_preflight = httpx.options(f"{open_url}/graphql", headers={
        "Origin": ORIGIN, "Access-Control-Request-Method": "POST"})
    assert off_preflight.status_code == 405 and "access-control-allow-origin" not in off_preflight.headers


FIVE = '{ a: alpha_text(body: "} { b c") { text } b: alpha_text(body: "#") { text } __typename # d e f\n c: __typename d: __typename }'


@pytest.mark.parametrize(("query", "status", "message"), [
    (FIVE, 200, None),
    ("{ " + "__typename " * 6 + "}", 400, "more than 5 top-level fields"),
    ("{ __typename " + " " * 2048 + "}", 400, "longer than the limit of 2048 bytes"),
    ('{ a: alpha_text(body: "' + "é" * 1020 + '") { text } }', 400, "longer than the limit"),  # bytes, not characters
])
def test_bounds_are_checked_before_the_engine(servers: tuple[str, str, Lines], query: str, status: int,
                                              message: str | None) -> None:
    guarded, _, _ = servers
    for response in (httpx.post(f"{guarded}/graphql", json={"query": query}, headers=auth()),
                     httpx.get(f"{guarded}/graphql", params={"query": query}, headers=auth())):
        assert response.status_code == status, response.text
        if message is None:
            assert "errors" not in response.json()
        else:
            assert message in response.json()["errors"][0]["message"]


def test_the_access_log_has_requests_and_calls_but_no_secrets(servers: tuple[str, str, Lines]) -> None:
    guarded, _, log = servers
    query = 'query ($v: JSON) { r: alpha_echo_args(value: $v) { json } f: beta_fail { text } }'
    response = httpx.post(f"{guarded}/graphql", headers=auth(),
                          json={"query": query, "variables": {"v": SECRET_ARGUMENT}})
    assert response.json()["data"]["r"]["json"]["value"] == SECRET_ARGUMENT
    httpx.get(f"{guarded}/graphql", params={"query": f'{{ alpha_text(body: "{SECRET_ARGUMENT}") {{ text }} }}'})
    text = log.text()
    assert re.search(r"^127\.0\.0\.1:\d+ POST /graphql 200 [\d.]+ms fields=2$", text, re.M), text
    assert re.search(r"^127\.0\.0\.1:\d+ GET /graphql 401 [\d.]+ms fields=-$", text, re.M), text
    assert re.search(r"^call alpha\.echo-args [\d.]+ms ok$", text, re.M), text
    assert re.search(r"^call beta\.fail [\d.]+ms error$", text, re.M), text
    assert TOKEN not in text and SECRET_ARGUMENT not in text and "it went wrong" not in text


def test_a_get_never_reaches_a_tool_that_writes(servers: tuple[str, str, Lines]) -> None:
    _, open_url, _ = servers
    # A writing tool is a field of Mutation only, and a mutation is refused by GET.
    for query, status in (("{ alpha_write { json } }", 400), ("mutation { w: alpha_write { json } }", 405)):
        response = httpx.get(f"{open_url}/graphql", params={"query": query},
                             headers={"Accept": "application/graphql-response+json"})
        assert response.status_code == status, response.text
        assert "alpha_write" in response.text or "POST" in response.json()["errors"][0]["message"]
    read = httpx.get(f"{open_url}/graphql", params={"query": '{ alpha_text(body: "x") { text } }'})
    assert read.json()["data"]["alpha_text"]["text"] == "x"


def test_without_a_token_only_loopback_host_names_are_answered(servers: tuple[str, str, Lines]) -> None:
    guarded, open_url, _ = servers
    query = {"query": "{ __typename }"}
    rebound = httpx.post(f"{open_url}/graphql", json=query, headers={"Host": "evil.example:8000"})
    assert rebound.status_code == 403 and "loopback host" in rebound.json()["errors"][0]["message"]
    assert httpx.post(f"{open_url}/graphql", json=query, headers={"Host": "localhost"}).status_code == 200
    # With a token the token is the guard, whatever name a proxy in front gives the gateway.
    named = httpx.post(f"{guarded}/graphql", json=query, headers={**auth(), "Host": "gateway.example"})
    assert named.status_code == 200


@pytest.mark.parametrize(("host", "loopback"), [
    (None, True), ("localhost", True), ("LOCALHOST:8000", True), ("127.0.0.1:80", True), ("[::1]:8000", True),
    ("a.localhost", True), ("127.0.0.1.evil.example", False), ("evil.example", False), ("[::2]:80", False),
    ("10.0.0.1", False), ("", False), ("localhost:1@evil.example", False), ("[::1]evil.example", False),
    ("localhost:99999", False), ("[::1", False), ("localhost:80:80", False),
])
def test_loopback_host(host: str | None, loopback: bool) -> None:
    assert loopback_host(host) is loopback


# ---- the pieces, without a server ------------------------------------------------------------


def test_token_from_a_file_or_the_environment(tmp_path: Path) -> None:
    good, empty = tmp_path / "token", tmp_path / "empty"
    good.write_text(f"  {TOKEN}\n", encoding="utf-8")
    empty.write_text("\n", encoding="utf-8")
    assert load_token(good, {}) == TOKEN
    assert load_token(None, {"GATEWAY_TOKEN": TOKEN}) == TOKEN
    assert load_token(None, {}) is None
    for path, env, message in ((good, {"GATEWAY_TOKEN": "x"}, "give one"), (empty, {}, "one token"),
                               (tmp_path / "missing", {}, "cannot read"),
                               (None, {"GATEWAY_TOKEN": "a b"}, "one token")):
        with pytest.raises(AccessError, match=message):
            load_token(path, env)


@pytest.mark.parametrize(("address", "served"), [
    ("127.0.0.1", True), ("127.8.9.10", True), ("::1", True),
    ("localhost", True),
    ("0.0.0.0", False), ("::", False), ("192.168.1.20", False), ("fe80::1%eth0", False),
    ("no-such-host.invalid", False),
])
def test_without_a_token_only_loopback_is_served(address: str, served: bool) -> None:
    require_token_off_loopback(address, "token")
    if served:
        require_token_off_loopback(address, None)
    else:
        with pytest.raises(AccessError, match="without a token"):
            require_token_off_loopback(address, None)


@pytest.mark.slow
def test_the_program_refuses_an_open_bind_and_logs_to_standard_error(tmp_path: Path) -> None:
    config = write_config(tmp_path, {"a": server_entry("a")})
    command = [sys.executable, "-m", "gateway", "--config", str(config)]
    refused = subprocess.run([*command, "--serve", "0.0.0.0:0"], capture_output=True, text=True,
                             env=gateway_env(), timeout=DEADLINE, cwd=REPO)
    assert refused.returncode == 2 and "refusing to serve 0.0.0.0 without a token" in refused.stderr
    unknown = subprocess.run([*command, "--deny", "b.write", "{ __typename }"], capture_output=True, text=True,
                             env=gateway_env(), timeout=DEADLINE, cwd=REPO)
    assert unknown.returncode == 2 and "name no configured server: b.write" in unknown.stderr

    env = {**gateway_env(), "GATEWAY_TOKEN": TOKEN}
    with serving_program(config, "--read-only", env=env) as (process, base):
        url = f"{base}/graphql"
        written = httpx.post(url, json={"query": "mutation { a_write { json } }"}, headers=auth()).json()
        assert "the schema has no mutation operations" in written["errors"][0]["message"]  # --read-only
        echoed = httpx.post(url, json={"query": f'{{ a_text(body: "{SECRET_ARGUMENT}") {{ text }} }}'}, headers=auth())
        assert echoed.json()["data"]["a_text"]["text"] == SECRET_ARGUMENT
        process.send_signal(signal.SIGTERM)
        stderr = process.stderr.read()  # type: ignore[union-attr]
        process.wait(DEADLINE)
    assert process.returncode == 0, stderr
    assert re.search(r"Z 127\.0\.0\.1:\d+ POST /graphql 200 [\d.]+ms fields=1$", stderr, re.M), stderr
    assert re.search(r"Z call a\.text [\d.]+ms ok$", stderr, re.M), stderr
    assert TOKEN not in stderr and SECRET_ARGUMENT not in stderr


# `a-b` writes, and its field repeats `a_b`'s: it is served as h_a_b_2, the field `a-b_2` would have had.
COLLIDING = [{"server": "h", "tools": [{"name": "a_b"}, {"name": "a-b", "annotations": {"readOnlyHint": False}},
                                       {"name": "a-b_2"}]}]


@pytest.mark.parametrize(("deny", "offered"), [
    (["h_a_b_2"], None),  # `a-b_2`'s own field name, and the renamed writer's: refused, not guessed
    (["h_a_b"], None),  # both `a_b` and `a-b` spell it
    (["h.a-b"], {"a_b", "a-b_2"}),
    (["h_a_b_2_2"], {"a_b", "a-b"}),  # served only to `a-b_2`, once renamed
])
def test_field_names_that_collide_resolve_to_the_tool_served_or_are_refused(deny: list[str],
                                                                            offered: set[str] | None) -> None:
    engine = _graphql.SchemaEngine(json.dumps(COLLIDING))
    if offered is None:
        with pytest.raises(OfferError, match="shared by several tools"):
            Offer.of(deny=deny).resolved(COLLIDING, lambda: FieldIndex.of(engine))
        return
    offer = Offer.of(deny=deny).resolved(COLLIDING, lambda: FieldIndex.of(engine))
    assert {tool["name"] for group in offer.shape(COLLIDING) for tool in group["tools"]} == offered
