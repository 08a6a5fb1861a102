"""Signing in to remote servers that ask for an OAuth token: the "auth" entries a user can get
wrong, the token files, and `gateway login` then the serving gateway against a local server that
is its own authorization server (tests/mcp_oauth_server.py)."""

import asyncio
import json
import os
import stat
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import httpx
import pytest
from conftest import require_mcp_sdk

require_mcp_sdk()

from support import DEADLINE, REPO, gateway_env, poll, serving_program, write_config  # noqa: E402

from gateway import Gateway, load_config  # noqa: E402
from gateway.access import TOKEN_VARIABLE  # noqa: E402
from gateway.auth import TOKEN_DIR_VARIABLE, TokenFile, TokenFileError  # noqa: E402

OAUTH_SERVER = Path(__file__).resolve().parent / "mcp_oauth_server.py"
SECRET = "client-secret-never-shown"
GATEWAY_TOKEN = "gateway-own-client-token-never-forwarded"
STORED_TOKEN = "stored-access-token-never-shown"
HINT = "login secure` (with the same --config)"
NOWHERE = "http://127.0.0.1:9/mcp"  # never reached: a bad entry does not start
QUERY = '{ secure_hello(name: "you") { isError text } }'


@pytest.fixture
def oauth_server(tmp_path: Path) -> Iterator[str]:
    """The authorization server's base URL; access tokens live 6 s (refreshed 3 s early)."""
    port_file = tmp_path / "oauth.port"
    process = subprocess.Popen([sys.executable, str(OAUTH_SERVER), str(port_file)],
                               env={**os.environ, "ACCESS_SECONDS": "6"})
    try:
        def listening() -> str:
            assert process.poll() is None, f"the server exited with {process.returncode}"
            return port_file.read_text() if port_file.exists() else ""
        yield f"http://127.0.0.1:{poll(listening, 'the server listening')}"
    finally:
        process.terminate()
        process.wait(DEADLINE)


def state(base: str) -> dict[str, Any]:
    answer: dict[str, Any] = httpx.get(f"{base}/state").json()
    return answer


def secure_config(folder: Path, base: str) -> Path:
    return write_config(folder, {"secure": {"url": f"{base}/mcp", "auth": {}}})


def login(config: Path, env: dict[str, str]) -> str:
    """`gateway login secure`, with this test as the browser; its output."""
    process = subprocess.Popen([sys.executable, "-m", "gateway", "login", "secure", "--config", str(config),
                                "--no-browser", "--timeout", str(DEADLINE)],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env, cwd=REPO)
    assert process.stdout is not None
    lines = []
    for line in process.stdout:  # the program ends by itself at --timeout
        lines.append(line)
        if line.strip().startswith("http://"):
            page = httpx.get(line.strip(), follow_redirects=True, timeout=DEADLINE)
            assert page.status_code == 200 and "Signed in" in page.text, page.text
    assert process.wait(DEADLINE) == 0, "".join(lines)
    return "".join(lines)


@pytest.fixture
def signed_in(tmp_path: Path, oauth_server: str) -> tuple[Path, dict[str, str], str]:
    """A configuration, the gateway's environment (its token folder in tmp_path) and the
    login's output, after signing in."""
    env = {**gateway_env(), TOKEN_DIR_VARIABLE: str(tmp_path / "tokens")}
    env.pop(TOKEN_VARIABLE, None)  # the token comes from --token-file
    config = secure_config(tmp_path, oauth_server)
    (tmp_path / "gateway-token").write_text(GATEWAY_TOKEN, encoding="utf-8")
    return config, env, login(config, env)


def ask(base: str) -> dict[str, Any]:
    answer: dict[str, Any] = httpx.post(f"{base}/graphql", json={"query": QUERY}, timeout=DEADLINE,
                                        headers={"Authorization": f"Bearer {GATEWAY_TOKEN}"}).json()
    return answer


def health(base: str) -> httpx.Response:
    return httpx.get(f"{base}/health", headers={"Authorization": f"Bearer {GATEWAY_TOKEN}"})


@pytest.mark.parametrize("entry, problems", [
    ({"url": NOWHERE, "auth": {"flow": "client_credentials", "clientId": "me",
                                                "clientSecret": SECRET}},
     ['"auth"."clientSecret" must name its secret as "${env:NAME}" or "${file:PATH}", not hold it']),
    ({"url": NOWHERE, "auth": {"token": SECRET, "flow": "device"}},
     ['"auth" has unknown members: token', '"auth"."flow" must be one of authorization_code, client_credentials']),
    ({"url": NOWHERE, "auth": {"flow": "client_credentials", "clientSecret": "${env:GW_SECRET}"}},
     ['the client_credentials flow needs "clientId"', '"clientSecret" needs the "clientId" it belongs to']),
    ({"url": NOWHERE, "auth": {"flow": "client_credentials", "clientId": "me"}},
     ['the client_credentials flow needs one of "clientSecret" and "privateKey"']),
    ({"url": NOWHERE, "auth": {"privateKey": "${env:GW_SECRET}"}},
     ['"privateKey" is for the client_credentials flow']),
    ({"command": "true", "auth": {"clientSecret": "${env:GW_SECRET}"}},
     ['"auth" is for a server reached at a "url"']),
])
def test_auth_entry_problems_are_named_without_the_secret(entry: dict[str, Any], problems: list[str],
                                                          tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("GW_SECRET", SECRET)
    [config] = load_config(write_config(tmp_path, {"remote": entry}))
    assert config.problem is not None and config.auth is None
    for problem in problems:
        assert problem in config.problem
    assert SECRET not in config.problem


@pytest.mark.slow
@pytest.mark.parametrize("stored, failure", [
    (None, ("not signed in", HINT)),
    (0o644, ("may be read by others",)),
    (0o600, (HINT,)),  # tokens the server never issued: a 401, and no person to ask
])
def test_a_server_without_a_usable_sign_in_is_down_at_once(
        stored: int | None, failure: tuple[str, ...], tmp_path: Path, oauth_server: str,
        monkeypatch: pytest.MonkeyPatch, caplog: pytest.LogCaptureFixture) -> None:
    monkeypatch.setenv(TOKEN_DIR_VARIABLE, str(tmp_path / "tokens"))
    configs = load_config(secure_config(tmp_path, oauth_server))
    store = TokenFile.of(configs[0])
    if stored is not None:
        store.write(tokens={"access_token": STORED_TOKEN, "token_type": "Bearer", "refresh_token": STORED_TOKEN},
                    client={"client_id": "unknown", "redirect_uris": ["http://127.0.0.1/callback"]})
        store.path.chmod(stored)

    async def started() -> dict[str, Any]:
        async with Gateway(configs, start_timeout=DEADLINE) as gateway:
            return gateway.health()
    answer = asyncio.run(asyncio.wait_for(started(), DEADLINE))
    reason = answer["servers"]["secure"]["failure"]
    assert answer["up"] is False and all(part in reason for part in failure), reason
    if stored == 0o644:
        assert str(store.path) in reason
    assert STORED_TOKEN not in caplog.text + json.dumps(answer)
    assert state(oauth_server)["registrations"] == 0  # nothing was asked of a person, nor registered


@pytest.mark.slow
def test_login_then_serve_refreshes_ahead_and_never_forwards_the_clients_token(
        signed_in: tuple[Path, dict[str, str], str], oauth_server: str, tmp_path: Path) -> None:
    config, env, said = signed_in
    assert "Signed in to 'secure' (2 tools)" in said, said
    assert not any(token in said for token in state(oauth_server)["issued"])
    [stored] = list((tmp_path / "tokens").iterdir())
    assert stat.S_IMODE(stored.stat().st_mode) == 0o600
    assert stat.S_IMODE(stored.parent.stat().st_mode) == 0o700
    with serving_program(config, "--token-file", str(tmp_path / "gateway-token"), env=env) as (process, base):
        def refreshed_twice() -> bool:
            assert ask(base) == {"data": {"secure_hello": {"isError": False, "text": "hello you"}}}
            return bool(state(oauth_server)["refreshes"] >= 2)  # the rotated refresh token was kept too
        poll(refreshed_twice, "two refreshes")
    # A gateway started after the stored token ran out refreshes it before its first request.
    poll(lambda: json.loads(stored.read_text())["expiresAt"] < time.time(), "the stored token expired")
    with serving_program(config, "--token-file", str(tmp_path / "gateway-token"), env=env) as (process, base):
        assert ask(base) == {"data": {"secure_hello": {"isError": False, "text": "hello you"}}}
    seen = state(oauth_server)
    # Refreshed 3 s ahead: a token a call carries has more than a second left on arrival.
    assert seen["expiredUses"] == 0 and seen["leastLeft"] > 1, seen
    assert seen["authorization"] and {f"Bearer {token}" for token in seen["issued"]} >= set(seen["authorization"])
    assert not any(GATEWAY_TOKEN in value for value in seen["authorization"])
    # A sign-in left unfinished keeps the tokens it would have replaced.
    kept = stored.read_text()
    unfinished = subprocess.run([sys.executable, "-m", "gateway", "login", "secure", "--config", str(config),
                                 "--no-browser", "--timeout", "1"], env=env, cwd=REPO, capture_output=True,
                                timeout=DEADLINE, check=False)
    assert unfinished.returncode == 1 and stored.read_text() == kept


@pytest.mark.slow
def test_a_refused_refresh_marks_the_server_down_with_the_login_hint(
        signed_in: tuple[Path, dict[str, str], str], oauth_server: str, tmp_path: Path) -> None:
    config, env, _ = signed_in
    with serving_program(config, "--token-file", str(tmp_path / "gateway-token"), "--restart-most", "1",
                         env=env) as (process, base):
        assert ask(base)["data"] is not None
        httpx.post(f"{oauth_server}/forget-refresh-tokens").raise_for_status()

        def down() -> httpx.Response | None:
            ask(base)  # a call is what needs the next token
            answer = health(base)
            return answer if answer.json()["servers"]["secure"].get("failure") else None
        answer = poll(down, "the server marked down")
        assert answer.status_code == 503 and HINT in answer.json()["servers"]["secure"]["failure"], answer.text
        failed = ask(base)["data"]["secure_hello"]
        assert failed["isError"] and HINT in failed["text"], failed
        # Signing in again, as the hint says, brings it back: the same client, no restart of the gateway.
        login(config, env)
        poll(lambda: health(base).json()["up"], "the server up again")
        assert ask(base)["data"]["secure_hello"]["text"] == "hello you"
        assert state(oauth_server)["registrations"] == 1
        process.terminate()
        log = process.communicate(timeout=DEADLINE)[1]
    assert "refused the refresh" in log or "not signed in" in log, log
    assert not any(token in log or token in answer.text for token in state(oauth_server)["issued"])


@pytest.mark.slow
def test_a_token_refused_before_its_time_is_mended_by_a_refresh_each_time(
        signed_in: tuple[Path, dict[str, str], str], oauth_server: str, tmp_path: Path) -> None:
    config, env, _ = signed_in
    with serving_program(config, "--token-file", str(tmp_path / "gateway-token"), env=env) as (process, base):
        assert ask(base)["data"]["secure_hello"]["text"] == "hello you"
        for time_ in (1, 2):  # the second in the same session too
            httpx.post(f"{oauth_server}/forget-access-tokens").raise_for_status()
            assert ask(base)["data"]["secure_hello"] == {"isError": False, "text": "hello you"}, time_
        assert health(base).json()["up"] is True
    assert state(oauth_server)["registrations"] == 1


@pytest.mark.slow
def test_calls_to_a_signed_in_server_run_side_by_side(
        signed_in: tuple[Path, dict[str, str], str], tmp_path: Path) -> None:
    # The server answers each call when it is done: calls the client sent one at a time would never meet.
    config, env, _ = signed_in
    with serving_program(config, "--token-file", str(tmp_path / "gateway-token"), env=env) as (process, base):
        query = "{ " + " ".join(f"{key}: secure_meet(n: 3) {{ text }}" for key in "abc") + " }"
        answer = httpx.post(f"{base}/graphql", json={"query": query}, timeout=DEADLINE,
                            headers={"Authorization": f"Bearer {GATEWAY_TOKEN}"}).json()
    assert answer == {"data": {key: {"text": "met"} for key in "abc"}}, answer


@pytest.mark.parametrize("mode", [0o777, 0o720])
def test_a_token_folder_others_can_write_is_refused(tmp_path: Path, mode: int) -> None:
    store = TokenFile(tmp_path / "tokens" / "server.json")
    store.write(tokens={"access_token": "a"})
    store.path.parent.chmod(mode)
    for use in (store.read, lambda: store.write(client={})):
        with pytest.raises(TokenFileError, match="may be written by others"):
            use()
