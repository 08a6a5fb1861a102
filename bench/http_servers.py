"""The servers bench/http_load.py loads, each alone in its process on the same HTTP stack.

    python3 bench/http_servers.py constant PORT      # a fixed response: the stack's own limit
    python3 bench/http_servers.py graphql-core PORT  # graphql-core answering the GET query
    python3 bench/http_servers.py gateway PORT       # the gateway, the toolbox server in process
    python3 bench/http_servers.py gateway-observed PORT  # the same with metrics, and traces as OTEL_* say
"""

import asyncio
import json
import socket
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


async def gateway(port: int, observed: bool = False) -> None:
    sys.path[:0] = [str(REPO), str(REPO / "examples")]
    import toolbox
    from gateway import Gateway, in_process
    from gateway.http import listening_socket, serve
    from gateway.observe import Observer

    sock = listening_socket(f"127.0.0.1:{port}")
    observer = Observer.from_environ() if observed else Observer()
    async with Gateway([in_process("toolbox", toolbox.server)], observer=observer) as running:
        await serve(running, sock)


if __name__ == "__main__":
    kind, port = sys.argv[1], int(sys.argv[2])
    if kind in ("gateway", "gateway-observed"):
        asyncio.run(gateway(port, observed=kind == "gateway-observed"))
        sys.exit()
    handler = {"constant": constant, "graphql-core": graphql_core}[kind]
    app = Starlette(routes=[Route("/graphql", handler, methods=["GET", "POST"])])
    # The asyncio loop, as the gateway runs on it, so the stacks are the same.
    uvicorn.run(app, host="127.0.0.1", port=port, log_level="warning", access_log=False, loop="asyncio")
