"""The servers bench/http_load.py loads, each alone in its process on the same HTTP stack.

    python3 bench/http_servers.py constant PORT      # a fixed response: the stack's own limit
    python3 bench/http_servers.py graphql-core PORT  # graphql-core answering the GET query
    python3 bench/http_servers.py gateway PORT [DIR] # the gateway, the toolbox server in process
    python3 bench/http_servers.py gateway-served PORT [DIR]  # as --serve runs it: metrics and access log
    python3 bench/http_servers.py gateway-observed PORT  # metrics, and traces as OTEL_* say; no access log

DIR holds the `gateway` package to serve (default: this checkout's), so that
another version of it (bench/http_load.py --before) runs on the same stack.
"""

import asyncio
import inspect
import json
import sys
from pathlib import Path

import uvicorn
from graphql import GraphQLField, GraphQLObjectType, GraphQLSchema, GraphQLString, graphql_sync
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import Response
from starlette.routing import Route

REPO = Path(__file__).resolve().parent.parent
MEDIA = "application/graphql-response+json"
CONSTANT = '{"data":{"__typename":"Query"},"errors":[]}'
SCHEMA = GraphQLSchema(GraphQLObjectType("Query", {"unused": GraphQLField(GraphQLString)}))


async def constant(request: Request) -> Response:
    return Response(CONSTANT, media_type=MEDIA)


async def graphql_core(request: Request) -> Response:
    result = graphql_sync(SCHEMA, request.query_params["query"])
    body = {"data": result.data, "errors": [e.formatted for e in result.errors or []]}
    return Response(json.dumps(body), media_type=MEDIA)


async def gateway(port: int, source: Path, kind: str) -> None:
    sys.path[:0] = [str(source), str(REPO / "examples")]
    import toolbox
    from gateway import Gateway, in_process
    from gateway.http import listening_socket, serve
    from gateway.observe import Observer

    sock = listening_socket(f"127.0.0.1:{port}")
    options = {}
    if "admission" in inspect.signature(serve).parameters:
        # wrk's connections share one address: let them all have a turn, as distinct clients would.
        from gateway.admission import AdmissionLimits
        options["admission"] = AdmissionLimits(queue=1024, per_client=1024)
    if kind == "gateway-served":  # as --serve runs it: every request counted and logged (to standard error)
        from gateway.access import Access
        from gateway.access_log import AccessLog
        options["access"] = Access(log=AccessLog())
    observer = Observer() if kind == "gateway" else Observer.from_environ()
    async with Gateway([in_process("toolbox", toolbox.server)], observer=observer) as running:
        await serve(running, sock, **options)


if __name__ == "__main__":
    kind, port = sys.argv[1], int(sys.argv[2])
    if kind in ("gateway", "gateway-served", "gateway-observed"):
        source = Path(sys.argv[3]) if len(sys.argv) > 3 else REPO
        sys.path.insert(0, str(source))
        # The loop the program runs on (a gateway from before it chose one: asyncio's).
        try:
            from gateway.connections import loop_factory
            factory = loop_factory()
        except ImportError:
            factory = None
        asyncio.run(gateway(port, source, kind), loop_factory=factory)
        sys.exit()
    handler = {"constant": constant, "graphql-core": graphql_core}[kind]
    app = Starlette(routes=[Route("/graphql", handler, methods=["GET", "POST"])])
    # Uvicorn's fastest loop and parser (uvloop and httptools when installed), as the gateway picks them.
    uvicorn.run(app, host="127.0.0.1", port=port, log_level="warning", access_log=False)
