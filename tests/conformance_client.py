"""The gateway as an MCP client for the conformance suite: `conformance client --command`
runs this with the test server's URL; it starts a gateway on that one server and calls
each of its tools through the engine. Exit status 0 when every field answered."""

import asyncio
import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from gateway import Gateway, ServerConfig  # noqa: E402

ARGUMENTS = {"add_numbers": "(a: 2, b: 3)"}  # what the suite's tools expect


async def main(url: str) -> int:
    async with Gateway([ServerConfig("conformance", transport="http", url=url)], call_timeout=20) as gateway:
        assert gateway.engine is not None
        if not gateway.upstreams["conformance"].up:
            return 1
        hits = json.loads(gateway.engine.execute("{ search { field tool } }"))["data"]["search"]
        fields = " ".join(f"{hit['field']}{ARGUMENTS.get(hit['tool'], '')}" for hit in hits)
        response = json.loads(await gateway.execute(f"{{ servers {{ name }} {fields} }}"))
        print(json.dumps(response), flush=True)
        failed = [value for key, value in response["data"].items() if key != "servers" and value["isError"]]
        return 1 if response["errors"] or failed else 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main(sys.argv[1])))
