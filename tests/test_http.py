"""GraphQL over HTTP: a real client, bad requests, many clients at once, shutdown."""

import asyncio
import hashlib
import json
import re
import signal
import subprocess
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import graphql
import httpx
import pytest

from conftest import LoopThread, foreign_env, require_mcp_sdk

require_mcp_sdk()

from gql import Client, gql
from gql.transport.exceptions import TransportQueryError
from gql.transport.httpx import HTTPXTransport

from support import (DEADLINE, REPO, gateway_env, poll_async, running, server_entry, serving, serving_program,
                     write_config)

from gateway import load_config  # noqa: E402
from gateway.config import DEFAULT_BATCH_LIMIT  # noqa: E402
from gateway.http import chosen_media_type, make_app  # noqa: E402
from gateway.observe import Observer  # noqa: E402
from gateway.persisted import PersistedQueries, PersistedQueryError  # noqa: E402

BODY_LIMIT = 4096
GQL_JSON = "application/graphql-response+json"


@pytest.fixture(scope="module")
def url(runner: LoopThread, tmp_path_factory: pytest.TempPathFactory):
    """A gateway over two test servers served on a loopback port."""
    config = write_config(tmp_path_factory.mktemp("http"),
                          {"alpha": server_entry("alpha"), "beta": server_entry("beta")})
    with running(runner, load_config(config), call_timeout=10, query_threads=8) as gateway, \
            serving(runner, gateway, body_limit=BODY_LIMIT) as address:
        yield address


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
    ("*/*", "application/json", 200),
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
        assert got.headers["content-type"] == media  # an answer sent before under another type is not reused
        for refused in ("", "{ nope }", "{"):
            response = client.post("/graphql", json={"query": refused})
            body = response.json()
            assert response.status_code == refused_status and body["errors"] and "data" not in body


@pytest.mark.parametrize(("request_args", "status", "message"), [
    ({"method": "POST", "content": b"{not json", "headers": {"Content-Type": "application/json"}},
     400, "not JSON"),
    ({"method": "POST", "json": 5}, 400, "JSON object"),
    ({"method": "POST", "json": []}, 400, "at least one"),
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
    ({"method": "GET", "params": {"query": "{ __typename }"}, "headers": {"Accept": "image/png"}},
     406, "acceptable"),
    ({"method": "POST", "json": {"query": "{ __typename }", "extensions": [1]}}, 400, "extensions"),
    ({"method": "GET", "params": {"query": "{ __typename }", "extensions": "{"}}, 400, "extensions"),
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
    ("", "application/json"), ("application/*", "application/json"), ("*/*", "application/json"), ("text/html, application/json;q=0", None),
    (f"{GQL_JSON};q=0, application/json", "application/json"), ("application/json;q=x", None),
])
def test_chosen_media_type(accept: str, media: str | None) -> None:
    assert chosen_media_type(accept) == media


def test_health_says_when_a_server_is_down() -> None:
    class Down:
        observer = Observer()
        query_threads = 1

        def health(self) -> dict[str, Any]:
            return {"up": False, "servers": {"a": {"up": False, "failure": "exited"}}}

    async def get() -> httpx.Response:
        transport = httpx.ASGITransport(app=make_app(Down()))  # type: ignore[arg-type]  # a gateway that only says it is down
        async with httpx.AsyncClient(transport=transport, base_url="http://localhost") as client:
            return await client.get("/health")

    response = asyncio.run(get())
    assert response.status_code == 503 and response.json()["servers"]["a"]["failure"] == "exited"


@pytest.mark.slow
def test_sigterm_lets_requests_in_flight_finish_then_ends_every_server(tmp_path: Path) -> None:
    pid_file, sleep_file = tmp_path / "a.pid", tmp_path / "a.sleeping"
    config = write_config(tmp_path, {"a": server_entry("a", PID_FILE=str(pid_file),
                                                       SLEEP_FILE=str(sleep_file))})
    with serving_program(config) as (process, base):
        assert httpx.get(f"{base}/health").json()["up"] is True

        async def in_flight() -> httpx.Response:
            async with httpx.AsyncClient(timeout=DEADLINE) as client:
                request = asyncio.ensure_future(client.post(
                    f"{base}/graphql", json={"query": "{ a_sleep(seconds: 1) { json } }"}))
                await poll_async(lambda: sleep_file.exists() or request.done(), "the call at its server")
                assert not request.done(), request.result()
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


# ---- the GraphQL-over-HTTP convention: the audit, batches, persisted queries -------------------

NPM_DIR = Path("/opt/dive-ziri-npm")
AUDIT = Path(__file__).resolve().parent / "js" / "audit.js"


@pytest.mark.slow
def test_the_graphql_over_http_audit_finds_nothing(url: str) -> None:
    done = subprocess.run(["node", str(AUDIT), str(NPM_DIR), f"{url}/graphql"], capture_output=True,
                          text=True, timeout=DEADLINE, check=False, env=foreign_env())
    assert done.returncode == 0, done.stderr
    results = json.loads(done.stdout)
    assert len(results) > 50  # the whole audit ran
    assert [r for r in results if r["status"] != "ok"] == []


@pytest.mark.parametrize("media", ["application/json", GQL_JSON])
def test_null_parameters_mean_absent(url: str, media: str) -> None:
    body = {"query": "{ __typename }", "variables": None, "operationName": None, "extensions": None}
    response = httpx.post(f"{url}/graphql", json=body, headers={"Accept": media})
    assert (response.status_code, response.json()) == (200, {"data": {"__typename": "Query"}})


def test_a_batch_is_answered_in_order_each_request_on_its_own(url: str) -> None:
    batch = [{"query": "{ __typename }"}, {"query": "query ($n: Int) { alpha_echo_args(number: $n) { json } }",
                                           "variables": {"n": 4}},
             7, {"variables": {}}, {"query": "{"}]
    response = httpx.post(f"{url}/graphql", json=batch, headers={"Accept": GQL_JSON})
    assert response.status_code == 200
    first, second, not_object, no_query, broken = response.json()
    assert first == {"data": {"__typename": "Query"}}
    assert second["data"]["alpha_echo_args"]["json"]["number"] == 4
    assert "JSON object" in not_object["errors"][0]["message"]
    assert "query is missing" in no_query["errors"][0]["message"]
    assert broken["errors"] and "data" not in broken


def test_a_batch_over_the_limit_is_refused(url: str) -> None:
    batch = [{"query": "mutation { alpha_write { json } }"}] * (DEFAULT_BATCH_LIMIT + 1)
    response = httpx.post(f"{url}/graphql", json=batch)
    assert response.status_code == 413 and str(DEFAULT_BATCH_LIMIT) in response.json()["errors"][0]["message"]


def persisted(query: str, digest: str | None = None) -> dict[str, Any]:
    digest = digest or hashlib.sha256(query.encode()).hexdigest()
    return {"persistedQuery": {"version": 1, "sha256Hash": digest}}


@pytest.mark.parametrize("media", ["application/json", GQL_JSON])
def test_persisted_queries_not_found_until_the_text_is_sent(url: str, media: str) -> None:
    query = f"query Persisted{media.count('+')} {{ beta_text(body: \"kept\") {{ text }} }}"  # a new text per case
    with httpx.Client(base_url=url, headers={"Accept": media}) as client:
        missing = client.post("/graphql", json={"extensions": persisted(query)})
        [error] = missing.json()["errors"]
        assert (error["message"], error["extensions"]["code"]) == ("PersistedQueryNotFound",
                                                                   "PERSISTED_QUERY_NOT_FOUND")
        assert missing.status_code == (400 if media == GQL_JSON else 200) and "data" not in missing.json()
        wrong = client.post("/graphql", json={"query": query, "extensions": persisted(query, "ab" * 32)})
        assert "does not match" in wrong.json()["errors"][0]["message"]
        assert client.post("/graphql", json={"extensions": persisted(query)}).json()["errors"]
        sent = client.post("/graphql", json={"query": query, "extensions": persisted(query)})
        by_hash = client.get("/graphql", params={"extensions": json.dumps(persisted(query))})
        assert by_hash.status_code == sent.status_code == 200
        assert by_hash.json() == sent.json() and sent.json()["data"]["beta_text"]["text"] == "kept"


def test_a_persisted_mutation_is_not_run_by_get(url: str) -> None:
    query = "mutation { alpha_write { json } }"
    assert httpx.post(f"{url}/graphql", json={"query": query, "extensions": persisted(query)}).status_code == 200
    by_hash = httpx.get(f"{url}/graphql", params={"extensions": json.dumps(persisted(query))})
    assert by_hash.status_code == 405 and by_hash.headers["allow"] == "POST"


def test_the_persisted_store_keeps_the_recent_within_its_bound() -> None:
    store = PersistedQueries(max_bytes=20_000)
    texts = [f"{{ a{n}: __typename }}" + " " * 500 for n in range(200)]
    for text in texts:
        query, digest = store.resolve(text, persisted(text))
        assert digest is not None
        store.remember(digest, query)
        store.resolve(None, persisted(texts[0]))  # the first stays in use, so it stays
    assert store.bytes <= store.max_bytes and 10 < len(store) < 200
    assert store.resolve(None, persisted(texts[-1]))[0] == texts[-1]
    assert store.resolve(None, persisted(texts[0]))[0] == texts[0]
    with pytest.raises(PersistedQueryError, match="PersistedQueryNotFound"):
        store.resolve(None, persisted(texts[1]))


# ---- GraphiQL: the page, its files, and a real browser ------------------------------------------

TOKEN = "browser-test-token"
BROWSER_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync"]


@pytest.fixture(scope="module")
def guarded(tmp_path_factory: pytest.TempPathFactory) -> Iterator[str]:
    """The gateway program over two test servers, a token required, GraphiQL from the pinned packages."""
    config = write_config(tmp_path_factory.mktemp("graphiql"),
                          {"alpha": server_entry("alpha", DESCRIPTION="the first server"),
                           "beta": server_entry("beta")})
    with serving_program(config, "--npm-dir", str(NPM_DIR), env={**gateway_env(), "GATEWAY_TOKEN": TOKEN}) \
            as (_, base):
        yield base


@pytest.mark.slow
def test_graphiql_page_and_files_need_no_token_but_queries_and_the_schema_do(guarded: str) -> None:
    browser = {"Accept": "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"}
    page = httpx.get(f"{guarded}/graphql", headers=browser)
    assert page.status_code == 200 and page.headers["content-type"].startswith("text/html")
    policy = page.headers["content-security-policy"]
    assert "script-src 'self';" in policy and "connect-src 'self';" in policy and "unsafe-eval" not in policy
    sources = [s for s in re.findall(r'(?:src|href)="([^"]+)"', page.text) if not s.startswith("data:")]
    assert sources and all(not s.startswith(("http:", "https:", "//")) for s in sources)
    for source in sources:  # what the page loads is served here, from the pinned packages
        asset = httpx.get(f"{guarded}/{source}")
        assert asset.status_code == 200 and len(asset.content) > 50, source
    assert httpx.get(f"{guarded}/graphql/graphiql/nothing.js").status_code == 404
    for path in ("/graphql?query={__typename}", "/graphql/schema.graphql"):
        assert httpx.get(f"{guarded}{path}").status_code == 401
    posted = httpx.post(f"{guarded}/graphql", json={"query": "{ __typename }"},
                        headers={**browser, "Authorization": f"Bearer {TOKEN}"})
    assert posted.json() == {"data": {"__typename": "Query"}}  # a POST is a query, whatever it accepts
    sdl = httpx.get(f"{guarded}/graphql/schema.graphql", headers={"Authorization": f"Bearer {TOKEN}"})
    schema = graphql.build_schema(sdl.text)  # the SDL is valid GraphQL
    assert {"alpha_echo_args", "beta_text"} <= set(schema.query_type.fields)
    assert "alpha_write" in schema.mutation_type.fields


def test_the_program_stops_when_the_named_npm_folder_lacks_graphiql(tmp_path: Path) -> None:
    config = write_config(tmp_path, {"alpha": server_entry("alpha")})
    done = subprocess.run([sys.executable, "-m", "gateway", "--config", str(config), "--serve", "127.0.0.1:0",
                           "--npm-dir", str(tmp_path)], capture_output=True, text=True, env=gateway_env(),
                          cwd=REPO, timeout=DEADLINE, check=False)
    assert done.returncode == 2 and "tools/mcp-servers" in done.stderr and str(tmp_path) in done.stderr


@pytest.fixture
def browser(tmp_path: Path) -> Iterator[Any]:
    """Debian's Chromium, headless, with a fresh profile and nothing fetched from the network."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in [*BROWSER_FLAGS, f"--user-data-dir={tmp_path / 'profile'}", "--window-size=1280,720"]:
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver", env=foreign_env()), options=options)
    try:
        yield driver
    finally:
        driver.quit()


@pytest.mark.slow
def test_graphiql_in_a_browser_lists_the_tools_and_runs_one_with_a_token(guarded: str, browser: Any) -> None:
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions as shown
    from selenium.webdriver.support.ui import WebDriverWait

    wait = WebDriverWait(browser, DEADLINE)

    def click(css: str) -> None:
        wait.until(shown.element_to_be_clickable((By.CSS_SELECTOR, css))).click()

    def editor(css: str) -> str:  # a CodeMirror editor of the page, for scripts to use
        return f"document.querySelector({json.dumps(css)}).CodeMirror"

    browser.get(f"{guarded}/graphql")
    notice = (By.ID, "token-notice")  # the schema was refused: the page says why and where a token goes
    assert "needs a token" in wait.until(shown.visibility_of_element_located(notice)).text
    click('button[data-name="headers"]')  # the header editor: the schema is fetched with the token
    browser.execute_script(f"{editor('.graphiql-editor-tool .graphiql-editor:not(.hidden) .CodeMirror')}"
                           ".setValue(arguments[0])", json.dumps({"Authorization": f"Bearer {TOKEN}"}))
    click('button[aria-label="Re-fetch GraphQL schema"]')  # at once, as a script would: the edit must count
    wait.until(shown.invisibility_of_element_located(notice))  # the token was taken
    click('button[aria-label="Show Documentation Explorer"]')
    schema = graphql.build_schema(httpx.get(f"{guarded}/graphql/schema.graphql",
                                            headers={"Authorization": f"Bearer {TOKEN}"}).text)
    for root in (schema.query_type, schema.mutation_type):
        wait.until(shown.element_to_be_clickable((By.LINK_TEXT, root.name))).click()
        wait.until(shown.text_to_be_present_in_element((By.CSS_SELECTOR, ".graphiql-doc-explorer-title"),
                                                       root.name))
        docs = browser.find_element(By.CSS_SELECTOR, ".graphiql-doc-explorer").text
        for name, definition in root.fields.items():  # every tool with its description (Markdown shown)
            assert name in docs and (definition.description or "").split("\n")[0].replace("`", "") in docs, name
        click(".graphiql-doc-explorer-back")
    browser.execute_script(f"{editor('.graphiql-query-editor .CodeMirror')}.setValue(arguments[0])",
                           "{ alpha_echo_args(number: 7) { json } }")
    click(".graphiql-execute-button")
    result = editor(".result-window .CodeMirror")
    wait.until(lambda _: "alpha_echo_args" in browser.execute_script(f"return {result}.getValue()"))
    shown_result = json.loads(browser.execute_script(f"return {result}.getValue()"))
    assert shown_result == {"data": {"alpha_echo_args": {"json": {"number": 7, "server": "alpha", "value": None}}}}
    loaded = browser.execute_script("return performance.getEntriesByType('resource').map(r => r.name)")
    assert loaded and all(name.startswith(f"{guarded}/") for name in loaded)  # nothing from elsewhere
    refused = [entry for entry in browser.get_log("browser") if entry["source"] == "security"]
    assert refused == []  # the page runs within its Content-Security-Policy
