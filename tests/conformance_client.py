"""The gateway as an MCP client for the conformance suite: `conformance client --command`
runs this with the test server's URL; it starts a gateway on that one server and calls
each of its tools through the engine. Exit status 0 when every field answered.

For the suite's auth/* scenarios the entry gets an "auth" (the scenario's context
names a client registered beforehand or a machine's credentials), and the
browser's part of the sign-in is played here: the authorization page is
fetched and its redirect followed back to the gateway's loopback listener."""

import asyncio
import json
import os
import sys
import tempfile
from pathlib import Path
from typing import Any

import httpx

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from gateway import Gateway  # noqa: E402
from gateway.auth import TOKEN_DIR_VARIABLE, SignIn  # noqa: E402
from gateway.config import load_config  # noqa: E402

ARGUMENTS = {"add_numbers": "(a: 2, b: 3)"}  # what the suite's tools expect
CLIENT_DOCUMENT = "https://conformance-test.local/client-metadata.json"  # the client ID the suite accepts


def entry(url: str, scenario: str, context: dict[str, Any]) -> dict[str, Any]:
    """The server's configuration entry; secrets go through the environment, as a user's would."""
    if not scenario.startswith("auth/"):
        return {"url": url}
    auth: dict[str, Any] = {"clientMetadataUrl": CLIENT_DOCUMENT}
    if "client_id" in context:
        auth = {"clientId": context["client_id"]}
        if scenario.startswith("auth/client-credentials"):
            auth["flow"] = "client_credentials"
        if "client_secret" in context:
            os.environ["CONFORMANCE_CLIENT_SECRET"] = context["client_secret"]
            auth["clientSecret"] = "${env:CONFORMANCE_CLIENT_SECRET}"
        if "private_key_pem" in context:
            os.environ["CONFORMANCE_PRIVATE_KEY"] = context["private_key_pem"]
            auth |= {"privateKey": "${env:CONFORMANCE_PRIVATE_KEY}", "signingAlgorithm": context["signing_algorithm"]}
    return {"url": url, "auth": auth}


async def browse(url: str) -> None:
    """The person's browser: the authorization server redirects at once, back to the gateway."""
    async with httpx.AsyncClient(follow_redirects=True, timeout=20) as client:
        (await client.get(url)).raise_for_status()


async def main(url: str) -> int:
    scenario = os.environ.get("MCP_CONFORMANCE_SCENARIO", "")
    context = json.loads(os.environ.get("MCP_CONFORMANCE_CONTEXT") or "{}")
    with tempfile.TemporaryDirectory() as folder, SignIn(browse) as sign_in:
        os.environ[TOKEN_DIR_VARIABLE] = folder
        config = Path(folder) / "servers.json"
        config.write_text(json.dumps({"mcpServers": {"conformance": entry(url, scenario, context)}}))
        async with Gateway(load_config(config), call_timeout=20, sign_in=sign_in) as gateway:
            return await call_every_tool(gateway)


async def call_every_tool(gateway: Gateway) -> int:
    assert gateway.generation is not None
    if not gateway.upstreams["conformance"].up:
        return 1
    hits = json.loads(gateway.generation.engine.execute("{ search { field tool readOnly } }"))["data"]["search"]
    failed = 0
    # A tool without a read-only hint may write, so the schema puts it under `mutation`.
    for operation, read_only in (("query", True), ("mutation", False)):
        fields = " ".join(f"{hit['field']}{ARGUMENTS.get(hit['tool'], '')} {{ isError text }}"
                          for hit in hits if hit["readOnly"] is read_only)
        if not fields and operation == "mutation":
            continue
        response = json.loads(await gateway.execute(f"{operation} {{ __typename {fields} }}"))
        print(json.dumps(response), flush=True)
        data = response.get("data") or {}
        failed += bool(response.get("errors")) + sum(
            1 for key, value in data.items() if key != "__typename" and value["isError"])
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main(sys.argv[1])))
