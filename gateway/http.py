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
import functools
import json
import logging
import signal
import socket
import time
import urllib.parse
from collections import OrderedDict
from collections.abc import Iterator
from contextlib import AbstractAsyncContextManager
from dataclasses import dataclass
from typing import Any, Protocol

import uvicorn
from starlette.applications import Starlette
from starlette.middleware import Middleware
from starlette.middleware.cors import CORSMiddleware
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from .access import Access, Bearer, check_cors_origin, loopback_address, require_token_off_loopback
from .access_log import AccessLog, request_line
from .admission import Admission, AdmissionLimits, ClientGone, Refused
from .checks import (
    BearerCheck,
    BodyCheck,
    Check,
    Guard,
    HostCheck,
    Receive,
    Scope,
    Send,
    header,
    loads_body,
    read_body,
    loads_bounded,
)
from .config import DEFAULT_BATCH_LIMIT, DEFAULT_BODY_LIMIT
from .connections import AcceptErrorLog, ConnectionLimits, guarded_protocol
from .errors import error_body
from .front import Front, Prepared, RequestError
from .graphiql import ASSET_PATH, ASSET_PREFIX, GraphiQL, wants_page
from .json_text import dumps_compact
from .lifecycle import Gateway
from .limits import Limits
from .logs import say
from .mcp_server import McpHttp
from .observe import CLIENT_GONE, ObserveMiddleware, Observer
from .persisted import (
    BAD_REQUEST,
    DEFAULT_STORE_BYTES,
    PersistedQueries,
    PersistedQueryError,
)
from .preparing import BATCH_PREPARE_SECONDS, PREPARE_SECONDS
from .schema import GatewaySchema

logger = logging.getLogger(__name__)

GRAPHQL_RESPONSE = "application/graphql-response+json"
JSON = "application/json"
GRAPHQL_RESPONSE_TYPE, JSON_TYPE = GRAPHQL_RESPONSE.encode(), JSON.encode()  # as a header carries them
SDL = "text/plain; charset=utf-8"  # what a browser shows and every tool reads; GraphQL names no type for it
GRAPHQL_PATH = "/graphql"
SCHEMA_PATH = "/graphql/schema.graphql"
SAFE_METHODS = ("GET", "HEAD")  # answered alike: neither may reach a tool that writes
ALLOW_POST = {"Allow": "POST"}
OPEN_PATHS = frozenset({"/health"})  # answered without the token (saying less)
ANSWER_SECONDS = 5  # after the grace: time for the queries it cut short to send their answers
URLS_KEPT = 256  # GET URLs whose parameters are kept read (each at most a head's 16 KiB)
READY_KEPT = 256  # GET URLs whose answer is kept ready to send (ReadyAnswers)
READY_BYTES = 16 << 10  # the largest answer kept so: at most 4 MiB in all, beside the URLs
MEDIA_KEPT = 64  # Accept header values whose verdict is kept


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
    return JSONResponse(error_body(message), status_code=status, media_type=media, headers=headers)


def error_answer(status: int, message: str, headers: dict[str, str] | None = None) -> Answer:
    """error_response()'s status and body, for a route that sends its answers' bytes itself."""
    return Answer(status, dumps_compact(error_body(message)), headers or {}, fields=None)


@dataclass(frozen=True)
class Params:
    """One GraphQL-over-HTTP request: its query (None when only a persisted hash names it),
    variables, operation name and extensions, each already checked for its JSON type."""

    query: str | None
    variables: dict[str, Any] | None = None
    operation_name: str | None = None
    extensions: dict[str, Any] | None = None


class Answer:
    """One request's HTTP status and body (the JSON text of a GraphQL response), and the bytes
    sent for them. A plain class with slots: every request makes one."""

    __slots__ = ("status", "text", "headers", "fields", "repeatable", "body", "raw_headers")

    def __init__(self, status: int, text: str, headers: dict[str, str] | None = None, fields: int | None = 0,
                 repeatable: bool = False) -> None:
        self.status = status
        self.text = text
        self.headers = headers or {}
        self.fields = fields  # top-level fields the document selects, for the access log; None: not read
        self.repeatable = repeatable  # the same request gets the same answer while its generation serves
        self.body = text.encode()
        self.raw_headers = [(name.lower().encode("latin-1"), value.encode("latin-1"))
                            for name, value in self.headers.items()]


@dataclass(frozen=True)
class WebOptions:
    """What the HTTP side offers beside single requests: batches up to `batch_limit` requests,
    automatic persisted queries in a store of `persisted_bytes`, and GraphiQL when loaded."""

    batch_limit: int = DEFAULT_BATCH_LIMIT
    persisted_bytes: int = DEFAULT_STORE_BYTES
    graphiql: GraphiQL | None = None
    mcp_tools: bool = False  # /mcp relays every offered tool beside `graphql` and `schema`
    mcp_sessions: bool = False  # /mcp keeps a session per client, and tells it of a changed tool list


@dataclass
class PrepareTime:
    """Seconds a request, or a whole batch, may still spend preparing its documents."""

    left: float

    def bound(self) -> float:
        if self.left <= 0:
            raise RequestError.of(f"this batch's documents took more than {BATCH_PREPARE_SECONDS:g} seconds "
                                  f"to prepare: send fewer or simpler ones", bound=True)
        return min(PREPARE_SECONDS, self.left)


def request_error(body: dict[str, Any], media: bytes) -> Answer:
    """A GraphQL request error: no `data` entry; 400 under the graphql-response type, and 200
    under application/json, whose clients read errors from the body of any 200 answer."""
    return Answer(400 if media == GRAPHQL_RESPONSE_TYPE else 200, json.dumps(body))


class Served(Protocol):
    """What a request reads of the generation it took."""

    @property
    def front(self) -> Front: ...

    @property
    def schema(self) -> GatewaySchema: ...


class HttpGateway(Protocol):
    """What the HTTP app needs of a gateway: a generation per request, its health, what it
    counts and traces, and how many query threads admission shares out."""

    observer: Observer
    query_threads: int

    @property
    def generation(self) -> Served | None: ...

    def taken(self) -> AbstractAsyncContextManager[Served]: ...

    def health(self) -> dict[str, Any]: ...


class GraphQLRoute:
    """GET and POST /graphql, as named steps: parse the request, answer each request of it
    (its document prepared, admitted to a query thread when it calls tools, run) and respond,
    where every answer takes its HTTP shape; what is refused before parsing (no acceptable
    media type, a body that is not a request) is an error_response.

    An ASGI app rather than a Starlette endpoint: every answer's bytes are known whole, so it
    sends them without a Request or Response object around them."""

    def __init__(self, gateway: HttpGateway, admission: Admission, limits: Limits, web: WebOptions) -> None:
        self.gateway = gateway
        self.admission = admission
        self.limits = limits
        self.batch_limit = web.batch_limit
        self.graphiql = web.graphiql
        self.persisted = PersistedQueries(web.persisted_bytes)
        self.ready = ReadyAnswers()
        self._media: dict[bytes | None, tuple[bytes | None, bool]] = {}  # Accept value -> its verdicts

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        """A browser's page, or: the media type → (an answer ready from before) → parse → answer
        (each of a batch) → respond."""
        get = scope["method"] == "GET"  # HEAD reaches here as GET too (checks.Guard)
        media, page = self._negotiated(header(scope, b"accept"))
        if page and get and self.graphiql is not None:
            await self.graphiql.page()(scope, receive, send)  # without the token: see page_request
            return
        if media is None:
            await respond(scope, send, error_answer(406, f"acceptable response types: {GRAPHQL_RESPONSE}, {JSON}"),
                          JSON_TYPE)
            return
        front = self._front() if get else None
        if get:
            ready = self.ready.find(front, scope["query_string"], media)
            if ready is not None:
                await respond(scope, send, ready, media)
                return
        try:
            body = await self.parse(scope, receive)
            if isinstance(body, Params):
                one = await self.answer(body, scope, receive, media)
                if get and one.repeatable:
                    self.ready.keep(front, scope["query_string"], media, one)
            elif len(body) > self.batch_limit:
                one = error_answer(413, f"a batch holds at most {self.batch_limit} requests")
            else:
                one = await self.answer_batch(body, scope, receive, media)
        except BadRequest as exc:
            one = error_answer(exc.status, str(exc), exc.headers)
        except Refused as exc:  # in application/json whatever was asked, as a refusal before any route
            one, media = error_answer(exc.status, str(exc), exc.headers), JSON_TYPE
        except ClientGone:  # nobody to read an answer: an empty one, for the log
            await send({"type": "http.response.start", "status": CLIENT_GONE, "headers": [(b"content-length", b"0")]})
            await send({"type": "http.response.body", "body": b""})
            return
        await respond(scope, send, one, media)

    def _negotiated(self, accept: bytes | None) -> tuple[bytes | None, bool]:
        """The response type an Accept value chooses (None: neither of ours), and whether it asks
        for GraphiQL's page; each value's kept (the first MEDIA_KEPT: clients send a handful)."""
        try:
            return self._media[accept]
        except KeyError:
            pass
        text = None if accept is None else accept.decode("latin-1")
        media = chosen_media_type(text)
        verdict = (None if media is None else media.encode(), self.graphiql is not None and wants_page(text))
        if len(self._media) < MEDIA_KEPT:
            self._media[accept] = verdict
        return verdict

    def _front(self) -> Front | None:
        generation = self.gateway.generation
        return None if generation is None else generation.front

    @staticmethod
    async def parse(scope: Scope, receive: Receive) -> Params | list[Params | BadRequest]:
        """The request's parameters as GraphQL over HTTP carries them: a POST's JSON body (one
        request, or an array of them: a batch), a GET's URL parameters."""
        if scope["method"] == "POST":
            return _from_body(await _body(receive))
        return _from_url(scope["query_string"])

    async def answer(self, params: Params, scope: Scope, receive: Receive, media: bytes,
                     time_left: PrepareTime | None = None) -> Answer:
        """Runs one request: its document (its text, or the persisted one its hash names) read by
        the front, the GET rule, the run; the answer shaped for `media`. `time_left` is the batch's
        time to prepare documents, when the request is one of a batch."""
        time_left = time_left or PrepareTime(PREPARE_SECONDS)
        try:
            query, remember = self.persisted.resolve(params.query, params.extensions)
        except PersistedQueryError as exc:
            if exc.code == BAD_REQUEST:
                return Answer(400, json.dumps(exc.body()))
            return request_error(exc.body(), media)
        if query is None:
            return Answer(400, json.dumps(error_body("query is missing")))
        client = _client(scope)
        # One generation for the whole request: a catalogue swapped in meanwhile serves the next one.
        async with self.gateway.taken() as generation:
            front = generation.front
            try:
                began = time.monotonic()
                try:
                    prepared = await front.prepare_async(query, params.operation_name, self.limits,
                                                         time_left.bound(), client)
                finally:
                    time_left.left -= time.monotonic() - began
                if remember is not None:
                    self.persisted.remember(remember, query)  # only a document that proved valid takes room
                if scope["method"] in SAFE_METHODS and (prepared.operation != "query" or prepared.writes):
                    # A GET can come from any page's <img> or link: it must not reach a tool that writes.
                    return Answer(405, json.dumps(error_body("GET answers queries only: send a mutation by POST")),
                                  ALLOW_POST, prepared.field_count)
                response = await self.admit(front, prepared, params.variables, client, receive)
            except RequestError as exc:
                # A bound's refusal keeps its status whatever the media type: the client must change
                # the request, and a 200 would read as an answer to it.
                status = exc.status if media == GRAPHQL_RESPONSE_TYPE or exc.bound else 200
                return Answer(status, json.dumps(exc.response()))
        # A document that calls no tool is answered from the generation alone (its schema, its
        # built-in fields): the same text of it gets the same answer while that generation serves.
        repeatable = not prepared.tool_fields and params.extensions is None
        return Answer(200, json.dumps(response), fields=prepared.field_count, repeatable=repeatable)

    async def admit(self, front: Front, prepared: Prepared, variables: dict[str, Any] | None,
                    client: str, receive: Receive) -> dict[str, Any]:
        """The front's run; a document with tool fields takes its turn for a query thread first.
        One without them is answered on the loop and waits for nobody."""
        if not prepared.tool_fields:
            return await front.run(prepared, variables, self.limits, client)
        async with self.admission.turn(client, receive):
            return await front.run(prepared, variables, self.limits, client)

    async def answer_batch(self, items: list[Params | BadRequest], scope: Scope, receive: Receive,
                           media: bytes) -> Answer:
        """A batch's answers as one JSON array, in its order; each request answered on its own
        (its status dropped: the batch is 200). One after another, so each request's bounds
        hold for the whole batch at any moment."""
        texts, fields = [], 0
        time_left = PrepareTime(BATCH_PREPARE_SECONDS)
        for item in items:
            if isinstance(item, BadRequest):
                texts.append(json.dumps(error_body(str(item))))
                continue
            try:
                one = await self.answer(item, scope, receive, media, time_left)
            except Refused as exc:  # those before it ran: this one says why it did not
                texts.append(json.dumps(error_body(str(exc), status=exc.status)))
                continue
            texts.append(one.text)
            fields += one.fields or 0
        return Answer(200, "[" + ",".join(texts) + "]", fields=fields)


class Direct:
    """GET and POST /graphql straight to their route from beneath the checks, past Starlette's
    exception layer and router, which cost a request object, a send wrapper and a path match
    apiece; the route answers its own refusals. Everything else goes on to the router."""

    def __init__(self, app: Any, *, route: Route) -> None:
        self.app = app
        self.route = route
        self.endpoint = route.app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http" and scope["path"] == GRAPHQL_PATH and scope["method"] in ("GET", "POST") \
                and not scope.get("root_path"):
            scope["route"] = self.route  # as the router sets it: the label metrics count the request under
            await self.endpoint(scope, receive, send)
            return
        await self.app(scope, receive, send)


class ReadyAnswers:
    """The answers of repeated GETs that call no tool, by the URL's query and the media type, as
    the bytes sent: such a GET is answered without reading its parameters or its document again.
    Kept for one front (a new generation starts afresh), the READY_KEPT last used URLs (so a
    client sending URLs that never repeat cannot crowd out those that do for good), each answer
    of at most READY_BYTES; every check before the route still runs for each request."""

    def __init__(self) -> None:
        self._front: Front | None = None
        self._answers: OrderedDict[tuple[bytes, bytes], Answer] = OrderedDict()

    def find(self, front: Front | None, query_string: bytes, media: bytes) -> Answer | None:
        if front is not self._front:
            return None
        key = (query_string, media)
        answer = self._answers.get(key)
        if answer is not None:
            self._answers.move_to_end(key)
        return answer

    def keep(self, front: Front | None, query_string: bytes, media: bytes, answer: Answer) -> None:
        if front is None or len(answer.body) > READY_BYTES:
            return
        if front is not self._front:
            self._front, self._answers = front, OrderedDict()
        self._answers[query_string, media] = answer
        if len(self._answers) > READY_KEPT:
            self._answers.popitem(last=False)


async def respond(scope: Scope, send: Send, one: Answer, media: bytes) -> None:
    """The answer as HTTP, in two messages built from bytes; its field count kept for the access log."""
    if one.fields is not None:
        scope.setdefault("state", {})["fields"] = one.fields
    await send({"type": "http.response.start", "status": one.status,
                "headers": [(b"content-type", media), (b"content-length", b"%d" % len(one.body)), *one.raw_headers]})
    await send({"type": "http.response.body", "body": one.body})


class SchemaRoute:
    """GET /graphql/schema.graphql: the current schema's SDL, printed once per schema."""

    def __init__(self, gateway: HttpGateway) -> None:
        self.gateway = gateway
        self._printed: tuple[GatewaySchema, str] | None = None

    async def handle(self, request: Request) -> Response:
        generation = self.gateway.generation  # read once: a swap between two reads would mix schemas
        assert generation is not None
        schema = generation.schema
        if self._printed is None or self._printed[0] is not schema:
            self._printed = (schema, schema.sdl() + "\n")
        return Response(self._printed[1], media_type=SDL)


class HealthRoute:
    """GET /health: 200 while every server is up, 503 otherwise; only `up` without the token."""

    def __init__(self, gateway: HttpGateway) -> None:
        self.gateway = gateway

    async def handle(self, request: Request) -> Response:
        state = self.gateway.health()
        status = 200 if state["up"] else 503
        if not getattr(request.state, "admitted", True):  # load balancers ask without a token: up or not
            return JSONResponse({"up": state["up"]}, status_code=status)
        return JSONResponse(state, status_code=status)


class MetricsRoute:
    """GET /metrics, under the token: it names servers and tools."""

    def __init__(self, observer: Observer) -> None:
        self.observer = observer

    async def handle(self, request: Request) -> Response:
        return metrics_response(self.observer)


async def _not_allowed(request: Request, exc: Exception) -> Response:
    allow = "GET, POST" if request.url.path == GRAPHQL_PATH else "GET"
    return error_response(405, f"method {request.method} is not allowed here", JSON, {"Allow": allow})


async def _refused(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, Refused)
    return error_response(exc.status, str(exc), JSON, exc.headers)


async def _client_gone(request: Request, exc: Exception) -> Response:
    return Response(status_code=CLIENT_GONE)


async def _internal(request: Request, exc: Exception) -> Response:
    # Starlette raises the exception again after this answer, and Uvicorn logs it once
    # with its traceback; the client learns only that the fault is the gateway's.
    return error_response(500, "the gateway failed on this request; its log has the details", JSON)


EXCEPTION_HANDLERS = {405: _not_allowed, Refused: _refused, ClientGone: _client_gone, Exception: _internal}


def build_middleware(observer: Observer, access: Access, body_limit: int,
                     graphiql: GraphiQL | None) -> list[Middleware]:
    """The checks in the order they run: those of the head as calls in a Guard, the body's as a
    middleware that holds it. Connection limits come first, before any of these: they act on
    the socket (connections.py)."""
    middleware = []
    if observer.metrics is not None or observer.tracing is not None or access.log is not None:
        # Outermost: its span covers all, and its access line sees every refusal beneath it.
        log = request_line(access.log) if access.log is not None else None
        middleware.append(Middleware(ObserveMiddleware, observer=observer, log=log))
    checks: list[Check] = [HostCheck(loopback_only=access.token is None)]
    if access.cors_origin is not None:
        # Only this origin's pages may read answers (or send JSON, which needs a preflight);
        # without the flag a browser gets no CORS header at all. Before the token: a
        # preflight carries none.
        middleware += [
            Middleware(Guard, checks=checks),
            Middleware(CORSMiddleware, allow_origins=[check_cors_origin(access.cors_origin)],
                       allow_methods=["GET", "POST"],
                       allow_headers=["Authorization", "Content-Type", "Accept", "Mcp-Protocol-Version"],
                       max_age=600)]
        checks = []
    if access.token is not None:
        checks.append(BearerCheck(Bearer(access.token),
                                  is_open=lambda scope: scope["path"] in OPEN_PATHS or page_request(scope, graphiql)))
    middleware += [
        Middleware(Guard, checks=checks),
        Middleware(BodyCheck, limit=body_limit),  # media type, size, time to send it, JSON depth
    ]
    return middleware


def make_app(gateway: HttpGateway, *, body_limit: int = DEFAULT_BODY_LIMIT, access: Access | None = None,
             admission: Admission | None = None, web: WebOptions | None = None,
             metrics_route: bool = True, mcp: McpHttp | None = None) -> Starlette:
    """The gateway's app: a router under the checks. `metrics_route=False` when /metrics is
    served on an address of its own; /mcp is served when `mcp` (the MCP face) is given."""
    access = access or Access()
    web = web or WebOptions()
    admission = admission or Admission(gateway.query_threads)
    observer = gateway.observer
    graphql = Route(GRAPHQL_PATH, GraphQLRoute(gateway, admission, access.limits, web), methods=["GET", "POST"])
    routes = [graphql,
              Route(SCHEMA_PATH, SchemaRoute(gateway).handle, methods=["GET"]),
              Route("/health", HealthRoute(gateway).handle, methods=["GET"])]
    if web.graphiql is not None:
        routes.append(Route(ASSET_PATH, web.graphiql.asset, methods=["GET"]))
    if metrics_route and observer.metrics is not None:
        routes.append(Route("/metrics", MetricsRoute(observer).handle, methods=["GET"]))
    if mcp is not None:
        routes.append(Route("/mcp", mcp))  # the gateway as an MCP server (mcp_server.py)
    middleware = [*build_middleware(observer, access, body_limit, web.graphiql), Middleware(Direct, route=graphql)]
    app = Starlette(routes=routes, middleware=middleware,
                    # the MCP transport's session manager lives as long as the server
                    lifespan=(lambda app: mcp.lifespan()) if mcp is not None else None,
                    exception_handlers=EXCEPTION_HANDLERS)
    # A redirect to the same path with a slash more or less would be built from the Host header.
    app.router.redirect_slashes = False
    app.state.admission = admission  # for whoever reports the queue
    return app


def page_request(scope: Scope, graphiql: GraphiQL | None) -> bool:
    """Whether a request is for GraphiQL (its page, a browser's GET of /graphql, or one of its
    files): answered without the token, as they hold nothing and a browser's navigation cannot
    send one; the page's own queries need it like any other."""
    if graphiql is None or scope["method"] != "GET":  # HEAD reaches this as GET
        return False
    if scope["path"].startswith(ASSET_PREFIX):
        return True
    accept = header(scope, b"accept")
    return scope["path"] == GRAPHQL_PATH and wants_page(None if accept is None else accept.decode("latin-1"))


def metrics_response(observer: Observer) -> Response:
    assert observer.metrics is not None
    return Response(observer.metrics.text(), media_type=observer.metrics.media_type)


def make_metrics_app(observer: Observer, bearer: Bearer | None = None) -> Starlette:
    """Only GET /metrics, on an address of its own (--metrics); under `bearer` when given."""
    async def metrics(request: Request) -> Response:
        return metrics_response(observer)

    checks = [] if bearer is None else [BearerCheck(bearer, is_open=lambda scope: False)]
    return Starlette(routes=[Route("/metrics", metrics, methods=["GET"])],
                     middleware=[Middleware(Guard, checks=checks)])


def metrics_bearer(sock: socket.socket, token: str | None) -> Bearer | None:
    """The token a metrics address asks for: none on loopback, where only this machine's scraper
    reaches it, and the gateway's own elsewhere; without one, elsewhere is refused (AccessError)."""
    host = sock.getsockname()[0]
    require_token_off_loopback(host, token)
    return None if token is None or loopback_address(host) else Bearer(token)


def _client(scope: Scope) -> str:
    """Whom a query counts against: the client's address (the proxy's, unless it is trusted)."""
    client = scope.get("client")
    return client[0] if client else "-"


async def _body(receive: Receive) -> bytes:
    body = await read_body(receive)
    if body is None:  # nobody to answer
        raise ClientGone("the client disconnected before its request arrived")
    return body


def _from_body(body: bytes) -> Params | list[Params | BadRequest]:
    # BodyCheck has seen the media type, the length and the nesting already.
    try:
        document, plain = loads_body(body)
    except ValueError:
        raise BadRequest(400, "the body is not JSON") from None
    if isinstance(document, list):  # a batch: each request is answered (or refused) on its own
        if not document:
            raise BadRequest(400, "a batch holds at least one request")
        return [_request_of(item, plain) for item in document]
    if not isinstance(document, dict):
        raise BadRequest(400, "the body must be a JSON object, or an array of them")
    return _parameters(document.get("query"), document.get("variables"), document.get("operationName"),
                       document.get("extensions"), plain)


def _request_of(item: Any, plain: bool) -> Params | BadRequest:
    if not isinstance(item, dict):
        return BadRequest(400, "each request of a batch must be a JSON object")
    try:
        return _parameters(item.get("query"), item.get("variables"), item.get("operationName"),
                           item.get("extensions"), plain)
    except BadRequest as exc:
        return exc


def _from_url(query_string: bytes) -> Params:
    params = _url_parameters(query_string)
    variables: Any = _json_parameter(params.get("variables"), "variables")
    extensions: Any = _json_parameter(params.get("extensions"), "extensions")
    return _parameters(params.get("query"), variables, params.get("operationName"), extensions)


@functools.lru_cache(maxsize=URLS_KEPT)
def _url_parameters(query_string: bytes) -> dict[str, str]:
    """A URL's parameters as Starlette reads them (the last of a repeated name), each URL's
    read once: a client repeating a GET sends the same bytes again."""
    return dict(urllib.parse.parse_qsl(query_string.decode("latin-1"), keep_blank_values=True))


def _json_parameter(text: str | None, name: str) -> Any:
    if text is None:
        return None
    try:
        return loads_bounded(text)
    except ValueError:
        raise BadRequest(400, f"{name} is not JSON, or nests it too deeply") from None


def _parameters(query: Any, variables: Any, operation_name: Any, extensions: Any, plain: bool = False) -> Params:
    """The request's parameters, checked for their JSON types; null stands for absent. A `plain`
    text (loads_body) holds no infinity and no lone surrogate: nothing is left to look for."""
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
    if plain:
        return Params(query, variables, operation_name, extensions)
    try:
        variables_json = None if variables is None else json.dumps(variables, ensure_ascii=False, allow_nan=False)
    except ValueError:  # 1e999 reads as infinity, which JSON cannot write back
        raise BadRequest(400, "variables hold a number too large for JSON") from None
    # JSON's \u escapes can spell half of a surrogate pair, which no UTF-8 text can hold.
    for name, text in (("query", query), ("variables", variables_json), ("operationName", operation_name)):
        if text is not None and not _valid_unicode(text):
            raise BadRequest(400, f"{name} is not valid Unicode: it holds a lone surrogate (\\ud800-\\udfff)")
    return Params(query, variables, operation_name, extensions)


def _valid_unicode(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


class HttpServer(uvicorn.Server):
    """Uvicorn without its own signal handlers: the gateway owns SIGINT and SIGTERM.

    At the end of the grace the gateway's bridges are detached, so every query
    still waiting on a tool returns with those fields failed and its answer is
    sent; Uvicorn's own limit, which cancels what still runs (a 500), lies
    ANSWER_SECONDS later and is not reached by a query."""

    def __init__(self, config: uvicorn.Config, gateway: Gateway | None = None, grace_seconds: float = 0) -> None:
        super().__init__(config)
        self.gateway = gateway
        self.grace_seconds = grace_seconds
        self._grace_end: asyncio.TimerHandle | None = None

    @contextlib.contextmanager
    def capture_signals(self) -> Iterator[None]:
        yield

    def stop(self) -> None:
        """First call: stop accepting, let requests finish for the grace; a second: end them now."""
        if self.should_exit:
            self.force_exit = True
            if self.gateway is not None:  # a server of no queries (the metrics one) has nothing to detach
                self.gateway.detach()
        elif self.gateway is not None and self._grace_end is None:
            self._grace_end = asyncio.get_running_loop().call_later(self.grace_seconds, self.gateway.detach)
        self.should_exit = True


def make_server(gateway: Gateway, *, grace_seconds: int, body_limit: int, access: Access | None = None,
                connections: ConnectionLimits | None = None,
                admission: AdmissionLimits | None = None, web: WebOptions | None = None,
                metrics_route: bool = True) -> HttpServer:
    """Uvicorn serving the app behind the connection limits. Proxy headers (X-Forwarded-For and
    the like) are ignored unless `access.forwarded_allow_ips` names the proxies that send them:
    Uvicorn's default trusts them from any loopback client, who could then log any address and
    count its queries against another client."""
    access = access or Access()
    connections = connections or ConnectionLimits()
    web = web or WebOptions()
    queue = Admission(gateway.query_threads, admission)
    mcp = McpHttp(gateway, access, relay_tools=web.mcp_tools, sessions=web.mcp_sessions, admission=queue)
    app = make_app(gateway, body_limit=body_limit, access=access, admission=queue, web=web,
                   metrics_route=metrics_route, mcp=mcp)
    proxies = access.forwarded_allow_ips
    # log_config=None: Uvicorn's lines go through the program's logging (and its --log-format).
    # No Server header: it tells a scanner what runs here, and costs a header on every answer.
    config = uvicorn.Config(app, lifespan="on", log_config=None, log_level="warning", access_log=False,
                            server_header=False,
                            timeout_graceful_shutdown=grace_seconds + ANSWER_SECONDS,
                            http=guarded_protocol(connections), timeout_keep_alive=connections.idle_seconds,
                            proxy_headers=proxies is not None, forwarded_allow_ips=proxies)
    return HttpServer(config, gateway, grace_seconds)


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
    # Not inheritable (Python's default): uvloop starts the MCP servers without closing the
    # descriptors they could inherit, and a server holding the port would keep accepting
    # connections for a gateway that died.
    return sock



async def serve(gateway: Gateway, sock: socket.socket, *, grace_seconds: int = 10,
                body_limit: int = DEFAULT_BODY_LIMIT, access: Access | None = None,
                connections: ConnectionLimits | None = None,
                admission: AdmissionLimits | None = None, web: WebOptions | None = None,
                metrics_sock: socket.socket | None = None) -> None:
    """Serves the gateway on a listening socket until SIGINT or SIGTERM.

    A signal stops accepting and lets running requests finish first; the
    caller closes the gateway (bridge detached, servers ended) afterwards.
    Without a token in `access` only a loopback socket is served (AccessError).
    With `metrics_sock`, /metrics is served there alone (and not beside /graphql).
    """
    access = access or Access()
    require_token_off_loopback(sock.getsockname()[0], access.token)
    server = make_server(gateway, grace_seconds=grace_seconds, body_limit=body_limit, access=access,
                         connections=connections, admission=admission, web=web,
                         metrics_route=metrics_sock is None)
    loop = asyncio.get_running_loop()
    loop.set_exception_handler(AcceptErrorLog(loop))
    for signum in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signum, server.stop)
    host, port = sock.getsockname()[:2]
    base = f"http://{host}:{port}"
    routes = [f"GraphQL at {base}{GRAPHQL_PATH}"
              + (" (GraphiQL there in a browser)" if web is not None and web.graphiql is not None else ""),
              f"MCP at {base}/mcp", f"health at {base}/health"]
    if metrics_sock is None:
        routes.append(f"metrics at {base}/metrics")
    say("serving %s", ", ".join(routes))
    try:
        await _served(server, sock, metrics_sock, gateway.observer, access.token)
    finally:
        if isinstance(access.log, AccessLog):
            access.log.flush()  # the last requests' lines before the gateway's own farewell


async def _served(server: HttpServer, sock: socket.socket, metrics_sock: socket.socket | None,
                  observer: Observer, token: str | None) -> None:
    """The gateway's server until it stops, and /metrics' own beside it when it has an address."""
    if metrics_sock is None:
        await server.serve(sockets=[sock])
        return
    metrics = HttpServer(uvicorn.Config(make_metrics_app(observer, metrics_bearer(metrics_sock, token)),
                                    lifespan="off", log_config=None, log_level="warning", access_log=False))
    host, port = metrics_sock.getsockname()[:2]
    say("serving metrics at http://%s:%s/metrics", host, port)
    scraped = asyncio.create_task(metrics.serve(sockets=[metrics_sock]), name="metrics")
    try:
        await server.serve(sockets=[sock])
    finally:
        metrics.stop()
        await scraped
