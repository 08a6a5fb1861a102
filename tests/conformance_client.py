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
        hits = json.loads(gateway.engine.execute("{ search { field tool readOnly } }"))["data"]["search"]
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
