"""GraphQL over HTTP in front of the gateway: Starlette routes served by Uvicorn.

POST takes {"query", "variables", "operationName", "extensions"} as
application/json, or an array of such requests (a batch, answered by an array);
GET takes the same as URL parameters, for queries only. A browser's GET gets
GraphiQL instead. Each answer is the engine's response text with only what the
GraphQL-over-HTTP convention asks changed (an empty `errors` dropped; no `data`
on a request error under application/graphql-response+json, which is then 400,
where application/json is 200 once a GraphQL response exists).
"""

import asyncio
import contextlib
import json
import signal
import socket
import sys
import time
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any

import uvicorn
from starlette.applications import Starlette
from starlette.middleware import Middleware
from starlette.middleware.cors import CORSMiddleware
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from .access import Access, Bearer, loopback_host, require_token_off_loopback
from .config import DEFAULT_BATCH_LIMIT, DEFAULT_BODY_LIMIT
from .front import RequestError
from .graphiql import ASSET_PATH, GraphiQL, wants_page
from .host import Gateway
from .persisted import (
    BAD_REQUEST,
    DEFAULT_STORE_BYTES,
    PersistedQueries,
    PersistedQueryError,
)

GRAPHQL_RESPONSE = "application/graphql-response+json"
JSON = "application/json"
SDL = "text/plain; charset=utf-8"  # what a browser shows and every tool reads; GraphQL names no type for it
GRAPHQL_PATH = "/graphql"
SAFE_METHODS = ("GET", "HEAD")  # answered alike: neither may reach a tool that writes
ALLOW_POST = {"Allow": "POST"}
SCHEMA_PATH = "/graphql/schema.graphql"


class BadRequest(Exception):
    def __init__(self, status: int, message: str, headers: dict[str, str] | None = None) -> None:
        super().__init__(message)
        self.status = status
        self.headers = headers or {}


def chosen_media_type(accept: str | None) -> str | None:
    """The response type for an Accept header; None when it allows neither of ours.

    No header, or a wildcard, means application/json, as clients from before
    the graphql-response type expect; on a tie the graphql-response type wins.
    """
    if not accept or not accept.strip():
        return JSON
    best: tuple[float, int, str] | None = None
    for item in accept.split(","):
        kind, *params = (part.strip() for part in item.split(";"))
        quality = 1.0
        for param in params:
            name, _, value = param.partition("=")
            if name.strip().lower() == "q":
                try:
                    quality = float(value)
                except ValueError:
                    quality = 0.0
        kind = kind.lower()
        for rank, (pattern, media) in enumerate((
                (GRAPHQL_RESPONSE, GRAPHQL_RESPONSE), (JSON, JSON),
                ("application/*", JSON), ("*/*", JSON))):
            if kind == pattern and quality > 0:
                candidate = (quality, -rank, media)
                if best is None or candidate > best:
                    best = candidate
    return best[2] if best else None


def error_response(status: int, message: str, media: str, headers: dict[str, str] | None = None) -> Response:
    return JSONResponse({"errors": [{"message": message}]}, status_code=status, media_type=media,
                        headers=headers)


@dataclass(frozen=True)
class Params:
    """One GraphQL-over-HTTP request: its query (None when only a persisted hash names it),
    variables, operation name and extensions, each already checked for its JSON type."""

    query: str | None
    variables: dict[str, Any] | None = None
    operation_name: str | None = None
    extensions: dict[str, Any] | None = None


@dataclass(frozen=True)
class Answer:
    """One request's HTTP status and body (the JSON text of a GraphQL response)."""

    status: int
    text: str
    headers: dict[str, str] = field(default_factory=dict)
    fields: int = 0  # top-level fields the document selects, for the access log


@dataclass(frozen=True)
class WebOptions:
    """What the HTTP side offers beside single requests: batches up to `batch_limit` requests,
    automatic persisted queries in a store of `persisted_bytes`, and GraphiQL when loaded."""

    batch_limit: int = DEFAULT_BATCH_LIMIT
    persisted_bytes: int = DEFAULT_STORE_BYTES
    graphiql: GraphiQL | None = None


def request_error(errors: list[dict[str, Any]], media: str) -> Answer:
    """A GraphQL request error: no `data` entry; 400 under the graphql-response type, and 200
    under application/json, whose clients read errors from the body of any 200 answer."""
    return Answer(400 if media == GRAPHQL_RESPONSE else 200, json.dumps({"errors": errors}))


def make_app(gateway: Gateway, *, body_limit: int = DEFAULT_BODY_LIMIT, access: Access | None = None,
             web: WebOptions | None = None) -> Starlette:
    access = access or Access()
    web = web or WebOptions()
    bearer = Bearer(access.token) if access.token is not None else None
    limits = access.limits
    persisted = PersistedQueries(web.persisted_bytes)
    graphiql = web.graphiql
    sdl: dict[str, Any] = {}

    def admitted(request: Request) -> bool:
        return bearer is None or bearer.admits(request.headers.get("authorization"))

    async def answer(params: Params, method: str, media: str) -> Answer:
        """Runs one request: its document (its text, or the persisted one its hash names) read by
        the front, the GET rule, the run; the answer shaped for `media`."""
        try:
            query, remember = persisted.resolve(params.query, params.extensions)
        except PersistedQueryError as exc:
            if exc.code == BAD_REQUEST:
                return Answer(400, json.dumps({"errors": [exc.error()]}))
            return request_error([exc.error()], media)
        if query is None:
            return Answer(400, json.dumps({"errors": [{"message": "query is missing"}]}))
        assert gateway.front is not None
        try:
            prepared = await gateway.front.prepare_async(query, params.operation_name, limits)
            if remember is not None:
                persisted.remember(remember, query)  # only a document that proved valid takes room
            if method in SAFE_METHODS and (prepared.operation != "query" or prepared.writes):
                # A GET can come from any page's <img> or link: it must not reach a tool that writes.
                return Answer(405, json.dumps({"errors": [{"message": "GET answers queries only: send a "
                                                                      "mutation by POST"}]}),
                              ALLOW_POST, prepared.field_count)
            response = await gateway.front.run(prepared, params.variables, limits)
        except RequestError as exc:
            # A bound's refusal keeps its status whatever the media type: the client must change
            # the request, and a 200 would read as an answer to it.
            status = exc.status if media == GRAPHQL_RESPONSE or exc.bound else 200
            return Answer(status, json.dumps(exc.response()))
        return Answer(200, json.dumps(response), fields=prepared.field_count)

    def foreign_host(request: Request) -> Response | None:
        """403 when the request names a host the gateway does not answer, else None."""
        if bearer is None and not loopback_host(request.headers.get("host")):
            # Without a token the gateway is served on loopback only, but a page whose name was
            # rebound to 127.0.0.1 would still reach it as its own origin; its Host gives it away.
            return error_response(403, "without a token the gateway answers only requests addressed to "
                                       "a loopback host (localhost, 127.0.0.1, [::1])", JSON)
        return None

    def unauthorized(request: Request) -> Response | None:
        """401 when a token is required and not the one sent, else None."""
        if admitted(request):
            return None
        wrong = "authorization" in request.headers
        challenge = 'Bearer error="invalid_token"' if wrong else "Bearer"
        message = "the bearer token is not the right one" if wrong else "send Authorization: Bearer <token>"
        return error_response(401, message, JSON, {"WWW-Authenticate": challenge})

    async def schema(request: Request) -> Response:
        if (refusal := foreign_host(request) or unauthorized(request)) is not None:
            return refusal
        assert gateway.schema is not None
        if sdl.get("of") is not gateway.schema:  # printed once per schema
            sdl.update(of=gateway.schema, text=gateway.schema.sdl() + "\n")
        return Response(sdl["text"], media_type=SDL)

    async def graphql(request: Request) -> Response:
        if (refusal := foreign_host(request)) is not None:
            return refusal
        if graphiql is not None and request.method in SAFE_METHODS and wants_page(request.headers.get("accept")):
            return graphiql.page()  # it holds nothing, and a browser's navigation cannot send a token
        if (refusal := unauthorized(request)) is not None:
            return refusal
        media = chosen_media_type(request.headers.get("accept"))
        if media is None:
            return error_response(406, f"acceptable response types: {GRAPHQL_RESPONSE}, {JSON}", JSON)
        try:
            if request.method == "POST":
                body = await _from_body(request, body_limit)
            else:
                body = _from_url(request)
        except BadRequest as exc:
            return error_response(exc.status, str(exc), media, exc.headers)
        if isinstance(body, Params):
            one = await answer(body, request.method, media)
        elif len(body) > web.batch_limit:
            return error_response(413, f"a batch holds at most {web.batch_limit} requests", media)
        else:
            one = await answer_batch(body, request.method, media)
        request.state.fields = one.fields
        return Response(one.text, status_code=one.status, media_type=media, headers=one.headers)

    async def answer_batch(items: list[Params | BadRequest], method: str, media: str) -> Answer:
        """A batch's answers as one JSON array, in its order; each request answered on its own
        (its status dropped: the batch is 200). One after another, so each request's bounds
        hold for the whole batch at any moment."""
        texts, fields = [], 0
        for item in items:
            if isinstance(item, BadRequest):
                texts.append(json.dumps({"errors": [{"message": str(item)}]}))
                continue
            one = await answer(item, method, media)
            texts.append(one.text)
            fields += one.fields
        return Answer(200, "[" + ",".join(texts) + "]", fields=fields)

    async def health(request: Request) -> Response:
        state = gateway.health()
        status = 200 if state["up"] else 503
        if not admitted(request):  # load balancers ask without a token: up or not, nothing more
            return JSONResponse({"up": state["up"]}, status_code=status)
        return JSONResponse(state, status_code=status)

    async def not_allowed(request: Request, exc: Exception) -> Response:
        allow = "GET, POST" if request.url.path == "/graphql" else "GET"
        return error_response(405, f"method {request.method} is not allowed here", JSON, {"Allow": allow})

    middleware = []
    if access.log is not None:
        middleware.append(Middleware(AccessLogMiddleware, log=access.log))
    if access.cors_origin is not None:
        # Only this origin's pages may read answers (or send JSON, which needs a preflight);
        # without the flag a browser gets no CORS header at all.
        middleware.append(Middleware(CORSMiddleware, allow_origins=[access.cors_origin],
                                     allow_methods=["GET", "POST"],
                                     allow_headers=["Authorization", "Content-Type", "Accept"], max_age=600))
    routes = [Route(GRAPHQL_PATH, graphql, methods=["GET", "POST"]),
              Route(SCHEMA_PATH, schema, methods=["GET"]),
              Route("/health", health, methods=["GET"])]
    if graphiql is not None:
        routes.append(Route(ASSET_PATH, graphiql.asset, methods=["GET"]))
    return Starlette(routes=routes, middleware=middleware, exception_handlers={405: not_allowed})


class AccessLogMiddleware:
    """One line per HTTP request: client, method, path (never the URL's query, which may hold the
    GraphQL query and its variables), status, duration and the top-level field count."""

    def __init__(self, app: Any, log: Any) -> None:
        self.app = app
        self.log = log

    async def __call__(self, scope: dict[str, Any], receive: Any, send: Any) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        began = time.perf_counter()
        status = 500  # what the client sees when the app fails before it answers

        async def sending(message: dict[str, Any]) -> None:
            nonlocal status
            if message["type"] == "http.response.start":
                status = message["status"]
            await send(message)

        try:
            await self.app(scope, receive, sending)
        finally:
            client = scope.get("client")
            where = f"{client[0]}:{client[1]}" if client else "-"
            fields = scope.get("state", {}).get("fields", "-")
            elapsed_ms = (time.perf_counter() - began) * 1000
            self.log(f"{where} {scope['method']} {scope['path']} {status} {elapsed_ms:.1f}ms fields={fields}")


async def _from_body(request: Request, limit: int) -> Params | list[Params | BadRequest]:
    content_type = request.headers.get("content-type", "").split(";")[0].strip().lower()
    if content_type != JSON:
        raise BadRequest(415, f"send the request as {JSON}")
    declared = request.headers.get("content-length")
    if declared is not None and declared.isdigit() and int(declared) > limit:
        raise BadRequest(413, f"the body is over the limit of {limit} bytes")
    body = bytearray()
    async for chunk in request.stream():  # a body without a length is counted as it comes
        body += chunk
        if len(body) > limit:
            raise BadRequest(413, f"the body is over the limit of {limit} bytes")
    try:
        document = json.loads(body)
    except ValueError:
        raise BadRequest(400, "the body is not JSON") from None
    if isinstance(document, list):  # a batch: each request is answered (or refused) on its own
        if not document:
            raise BadRequest(400, "a batch holds at least one request")
        return [_request_of(item) for item in document]
    if not isinstance(document, dict):
        raise BadRequest(400, "the body must be a JSON object, or an array of them")
    return _parameters(document.get("query"), document.get("variables"), document.get("operationName"),
                       document.get("extensions"))


def _request_of(item: Any) -> Params | BadRequest:
    if not isinstance(item, dict):
        return BadRequest(400, "each request of a batch must be a JSON object")
    try:
        return _parameters(item.get("query"), item.get("variables"), item.get("operationName"),
                           item.get("extensions"))
    except BadRequest as exc:
        return exc


def _from_url(request: Request) -> Params:
    params = request.query_params
    variables: Any = _json_parameter(params.get("variables"), "variables")
    extensions: Any = _json_parameter(params.get("extensions"), "extensions")
    return _parameters(params.get("query"), variables, params.get("operationName"), extensions)


def _json_parameter(text: str | None, name: str) -> Any:
    if text is None:
        return None
    try:
        return json.loads(text)
    except ValueError:
        raise BadRequest(400, f"{name} is not JSON") from None


def _parameters(query: Any, variables: Any, operation_name: Any, extensions: Any) -> Params:
    """The request's parameters, checked for their JSON types; null stands for absent."""
    if extensions is not None and not isinstance(extensions, dict):
        raise BadRequest(400, "extensions must be a JSON object")
    if query is None and (extensions is None or extensions.get("persistedQuery") is None):
        raise BadRequest(400, "query is missing")
    if query is not None and not isinstance(query, str):
        raise BadRequest(400, "query must be a string")
    if variables is not None and not isinstance(variables, dict):
        raise BadRequest(400, "variables must be a JSON object")
    if operation_name is not None and not isinstance(operation_name, str):
        raise BadRequest(400, "operationName must be a string")
    return Params(query, variables, operation_name, extensions)


class Server(uvicorn.Server):
    """Uvicorn without its own signal handlers: the gateway owns SIGINT and SIGTERM."""

    @contextlib.contextmanager
    def capture_signals(self) -> Iterator[None]:
        yield

    def stop(self) -> None:
        """First call: stop accepting, let requests finish; a second: stop waiting for them."""
        if self.should_exit:
            self.force_exit = True
        self.should_exit = True


def make_server(gateway: Gateway, *, grace_seconds: int, body_limit: int, access: Access | None = None,
                web: WebOptions | None = None) -> Server:
    config = uvicorn.Config(make_app(gateway, body_limit=body_limit, access=access, web=web), lifespan="off",
                            log_level="warning",
                            access_log=False, timeout_graceful_shutdown=grace_seconds)
    return Server(config)


def split_address(address: str) -> tuple[str, str]:
    """"[HOST:]PORT" as host and port; no host means 127.0.0.1."""
    host, _, port = address.rpartition(":")
    return host.strip("[]") or "127.0.0.1", port


def listening_socket(address: str) -> socket.socket:
    """A listening socket for "[HOST:]PORT" (port 0 picks a free one)."""
    host, port = split_address(address)
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    # IPPROTO_TCP named outright: asyncio turns Nagle's algorithm off only on
    # sockets that say so, and with it on every answer waits for a delayed ACK.
    sock = socket.socket(family, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind((host, int(port)))
        sock.listen(2048)  # clients queue from here on, even before Uvicorn starts accepting
    except BaseException:
        sock.close()
        raise
    sock.set_inheritable(True)
    return sock



async def serve(gateway: Gateway, sock: socket.socket, *, grace_seconds: int = 10,
                body_limit: int = DEFAULT_BODY_LIMIT, access: Access | None = None,
                web: WebOptions | None = None) -> None:
    """Serves the gateway on a listening socket until SIGINT or SIGTERM.

    A signal stops accepting and lets running requests finish first; the
    caller closes the gateway (bridge detached, servers ended) afterwards.
    Without a token in `access` only a loopback socket is served (AccessError).
    """
    access = access or Access()
    require_token_off_loopback(sock.getsockname()[0], access.token)
    server = make_server(gateway, grace_seconds=grace_seconds, body_limit=body_limit, access=access, web=web)
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signum, server.stop)
    host, port = sock.getsockname()[:2]
    print(f"gateway: serving GraphQL at http://{host}:{port}/graphql", file=sys.stderr, flush=True)
    await server.serve(sockets=[sock])
