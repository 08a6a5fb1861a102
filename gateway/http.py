"""GraphQL over HTTP in front of the gateway: Starlette routes served by Uvicorn.

POST takes {"query", "variables", "operationName"} as application/json; GET
takes the same as URL parameters, for queries only. Each document goes through
the gateway's front; the answer is application/graphql-response+json when the
client accepts it (a request refused before running is then 400) or else
application/json (200 once the document was read, a bound's refusal aside).
"""

import asyncio
import contextlib
import ipaddress
import json
import logging
import signal
import socket
import sys
import time
from collections.abc import Iterator
from typing import Any

import uvicorn
from starlette.applications import Starlette
from starlette.middleware import Middleware
from starlette.middleware.cors import CORSMiddleware
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from .access import Access, Bearer, check_cors_origin, require_token_off_loopback
from .admission import Admission, AdmissionLimits, ClientGone, Refused
from .checks import BearerCheck, BodyCheck, HeadAsGet, HostCheck, loads_bounded
from .config import DEFAULT_BODY_LIMIT
from .connections import AcceptErrorLog, ConnectionLimits, guarded_protocol
from .front import RequestError
from .host import Gateway
from .observe import ObserveMiddleware, Observer

logger = logging.getLogger(__name__)

GRAPHQL_RESPONSE = "application/graphql-response+json"
JSON = "application/json"
OPEN_PATHS = frozenset({"/health"})  # answered without the token (saying less)
CLIENT_GONE = 499  # logged for a query dropped because its client left (nginx's code; nobody reads it)


class BadRequest(Exception):
    def __init__(self, status: int, message: str, headers: dict[str, str] | None = None) -> None:
        super().__init__(message)
        self.status = status
        self.headers = headers or {}


def chosen_media_type(accept: str | None) -> str | None:
    """The response type for an Accept header; None when it allows neither of ours.

    No header means application/json, as clients from before the
    graphql-response type expect; on a tie the graphql-response type wins.
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
                ("application/*", GRAPHQL_RESPONSE), ("*/*", GRAPHQL_RESPONSE))):
            if kind == pattern and quality > 0:
                candidate = (quality, -rank, media)
                if best is None or candidate > best:
                    best = candidate
    return best[2] if best else None


def error_response(status: int, message: str, media: str, headers: dict[str, str] | None = None) -> Response:
    return JSONResponse({"errors": [{"message": message}]}, status_code=status, media_type=media,
                        headers=headers)


def make_app(gateway: Gateway, *, body_limit: int = DEFAULT_BODY_LIMIT, access: Access | None = None,
             admission: Admission | None = None, metrics_route: bool = True) -> Starlette:
    """The gateway's app; `metrics_route=False` when /metrics is served on an address of its own."""
    access = access or Access()
    # What the app counts and traces is the gateway's; a stand-in for one (a test's) may have nothing.
    observer: Observer = getattr(gateway, "observer", None) or Observer()
    bearer = Bearer(access.token) if access.token is not None else None
    admission = admission or Admission(getattr(gateway, "query_threads", 1))

    async def graphql(request: Request) -> Response:
        media = chosen_media_type(request.headers.get("accept"))
        if media is None:
            return error_response(406, f"acceptable response types: {GRAPHQL_RESPONSE}, {JSON}", JSON)
        assert gateway.front is not None
        try:
            if request.method == "POST":
                query, variables, operation_name = await _from_body(request)
            else:
                query, variables, operation_name = _from_url(request)
        except BadRequest as exc:
            return error_response(exc.status, str(exc), media, exc.headers)
        try:
            prepared = await gateway.front.prepare_async(query, operation_name, access.limits)
            request.state.fields = prepared.field_count
            if request.method == "GET" and prepared.operation != "query":
                # A GET can come from any page's <img> or link: it must not reach a tool that writes.
                return error_response(405, "GET answers queries only: send a mutation by POST", media,
                                      {"Allow": "POST"})
            if prepared.tool_fields:  # only a run that takes a query thread waits its turn
                async with admission.turn(_client(request), request.receive):
                    answer = await gateway.front.run(prepared, variables, access.limits)
            else:
                answer = await gateway.front.run(prepared, variables, access.limits)
        except RequestError as exc:
            status = exc.status if media == GRAPHQL_RESPONSE or exc.bound else 200
            return JSONResponse(exc.response(), status_code=status, media_type=media)
        return Response(json.dumps(answer), status_code=200, media_type=media)

    async def health(request: Request) -> Response:
        state = gateway.health()
        status = 200 if state["up"] else 503
        if not getattr(request.state, "admitted", True):  # load balancers ask without a token: up or not
            return JSONResponse({"up": state["up"]}, status_code=status)
        return JSONResponse(state, status_code=status)

    async def not_allowed(request: Request, exc: Exception) -> Response:
        allow = "GET, POST" if request.url.path == "/graphql" else "GET"
        return error_response(405, f"method {request.method} is not allowed here", JSON, {"Allow": allow})

    async def metrics(request: Request) -> Response:  # under the token: it names servers and tools
        return metrics_response(observer)

    async def refused(request: Request, exc: Exception) -> Response:
        assert isinstance(exc, Refused)
        return error_response(exc.status, str(exc), JSON, exc.headers)

    async def client_gone(request: Request, exc: Exception) -> Response:
        return Response(status_code=CLIENT_GONE)

    async def internal(request: Request, exc: Exception) -> Response:
        # Starlette raises the exception again after this answer, and Uvicorn logs it once
        # with its traceback; the client learns only that the fault is the gateway's.
        return error_response(500, "the gateway failed on this request; its log has the details", JSON)

    # The checks in the order they run, each one a middleware that can refuse on its own.
    # Connection limits come first, before any of these: they act on the socket (connections.py).
    middleware = []
    if observer.metrics is not None or observer.tracing is not None:
        middleware.append(Middleware(ObserveMiddleware, observer=observer))  # outermost: its span covers all
    if access.log is not None:
        middleware.append(Middleware(AccessLogMiddleware, log=access.log))  # wraps the whole stack
    middleware += [
        Middleware(HeadAsGet),  # HEAD meets every check as the GET it is
        Middleware(HostCheck, loopback_only=bearer is None),
    ]
    if access.cors_origin is not None:
        # Only this origin's pages may read answers (or send JSON, which needs a preflight);
        # without the flag a browser gets no CORS header at all. Before the token: a
        # preflight carries none.
        middleware.append(Middleware(CORSMiddleware, allow_origins=[check_cors_origin(access.cors_origin)],
                                     allow_methods=["GET", "POST"],
                                     allow_headers=["Authorization", "Content-Type", "Accept"], max_age=600))
    middleware += [
        Middleware(BearerCheck, bearer=bearer, is_open=lambda scope: scope["path"] in OPEN_PATHS),
        Middleware(BodyCheck, limit=body_limit),  # media type, size, time to send it, JSON depth
    ]
    routes = [Route("/graphql", graphql, methods=["GET", "POST"]), Route("/health", health, methods=["GET"])]
    if metrics_route and observer.metrics is not None:
        routes.append(Route("/metrics", metrics, methods=["GET"]))
    app = Starlette(routes=routes, middleware=middleware,
                    exception_handlers={405: not_allowed, Refused: refused, ClientGone: client_gone,
                                        Exception: internal})
    # A redirect to the same path with a slash more or less would be built from the Host header.
    app.router.redirect_slashes = False
    app.state.admission = admission  # for whoever reports the queue
    return app


def metrics_response(observer: Observer) -> Response:
    assert observer.metrics is not None
    return Response(observer.metrics.text(), media_type=observer.metrics.media_type)


def make_metrics_app(observer: Observer, bearer: Bearer | None = None) -> Starlette:
    """Only GET /metrics, on an address of its own (--metrics); under `bearer` when given."""
    async def metrics(request: Request) -> Response:
        return metrics_response(observer)

    return Starlette(routes=[Route("/metrics", metrics, methods=["GET"])],
                     middleware=[Middleware(BearerCheck, bearer=bearer, is_open=lambda scope: False)])


def metrics_bearer(sock: socket.socket, token: str | None) -> Bearer | None:
    """The token a metrics address asks for: none on loopback, where only this machine's scraper
    reaches it, and the gateway's own elsewhere; without one, elsewhere is refused (AccessError)."""
    host = sock.getsockname()[0]
    require_token_off_loopback(host, token)
    return None if token is None or ipaddress.ip_address(host.split("%")[0]).is_loopback else Bearer(token)


def _client(request: Request) -> str:
    """Whom a query counts against: the client's address (the proxy's, unless it is trusted)."""
    return request.client.host if request.client else "-"


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


async def _from_body(request: Request) -> tuple[str, dict[str, Any] | None, str | None]:
    # BodyCheck has seen the media type, the length and the nesting already.
    try:
        document = loads_bounded(await request.body())
    except ValueError:
        raise BadRequest(400, "the body is not JSON") from None
    if not isinstance(document, dict):
        raise BadRequest(400, "the body must be a JSON object")
    return _parameters(document.get("query"), document.get("variables"), document.get("operationName"))


def _from_url(request: Request) -> tuple[str, dict[str, Any] | None, str | None]:
    params = request.query_params
    variables: Any = params.get("variables")
    if variables is not None:
        try:
            variables = loads_bounded(variables)
        except ValueError:
            raise BadRequest(400, "variables is not JSON, or nests it too deeply") from None
    return _parameters(params.get("query"), variables, params.get("operationName"))


def _parameters(query: Any, variables: Any, operation_name: Any) -> tuple[str, dict[str, Any] | None, str | None]:
    if not isinstance(query, str):
        raise BadRequest(400, "query must be a string" if query is not None else "query is missing")
    if variables is not None and not isinstance(variables, dict):
        raise BadRequest(400, "variables must be a JSON object")
    if operation_name is not None and not isinstance(operation_name, str):
        raise BadRequest(400, "operationName must be a string")
    try:
        variables_json = None if variables is None else json.dumps(variables, ensure_ascii=False, allow_nan=False)
    except ValueError:  # 1e999 reads as infinity, which JSON cannot write back
        raise BadRequest(400, "variables hold a number too large for JSON") from None
    # JSON's \u escapes can spell half of a surrogate pair, which no UTF-8 text can hold.
    for name, text in (("query", query), ("variables", variables_json), ("operationName", operation_name)):
        if text is not None and not _valid_unicode(text):
            raise BadRequest(400, f"{name} is not valid Unicode: it holds a lone surrogate (\\ud800-\\udfff)")
    return query, variables, operation_name


def _valid_unicode(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


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
                connections: ConnectionLimits | None = None,
                admission: AdmissionLimits | None = None, metrics_route: bool = True) -> Server:
    """Uvicorn serving the app behind the connection limits. Proxy headers (X-Forwarded-For and
    the like) are ignored unless `access.forwarded_allow_ips` names the proxies that send them:
    Uvicorn's default trusts them from any loopback client, who could then log any address and
    count its queries against another client."""
    access = access or Access()
    connections = connections or ConnectionLimits()
    app = make_app(gateway, body_limit=body_limit, access=access,
                   admission=Admission(gateway.query_threads, admission), metrics_route=metrics_route)
    proxies = access.forwarded_allow_ips
    # log_config=None: Uvicorn's lines go through the program's logging (and its --log-format).
    config = uvicorn.Config(app, lifespan="off", log_config=None, log_level="warning", access_log=False,
                            timeout_graceful_shutdown=grace_seconds,
                            http=guarded_protocol(connections), timeout_keep_alive=connections.idle_seconds,
                            proxy_headers=proxies is not None, forwarded_allow_ips=proxies)
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
                connections: ConnectionLimits | None = None,
                admission: AdmissionLimits | None = None, metrics_sock: socket.socket | None = None) -> None:
    """Serves the gateway on a listening socket until SIGINT or SIGTERM.

    A signal stops accepting and lets running requests finish first; the
    caller closes the gateway (bridge detached, servers ended) afterwards.
    Without a token in `access` only a loopback socket is served (AccessError).
    With `metrics_sock`, /metrics is served there alone (and not beside /graphql).
    """
    access = access or Access()
    require_token_off_loopback(sock.getsockname()[0], access.token)
    server = make_server(gateway, grace_seconds=grace_seconds, body_limit=body_limit, access=access,
                         connections=connections, admission=admission, metrics_route=metrics_sock is None)
    loop = asyncio.get_running_loop()
    loop.set_exception_handler(AcceptErrorLog(loop))
    for signum in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signum, server.stop)
    host, port = sock.getsockname()[:2]
    print(f"gateway: serving GraphQL at http://{host}:{port}/graphql", file=sys.stderr, flush=True)
    if metrics_sock is None:
        await server.serve(sockets=[sock])
        return
    metrics = Server(uvicorn.Config(make_metrics_app(gateway.observer, metrics_bearer(metrics_sock, access.token)),
                                    lifespan="off", log_config=None, log_level="warning", access_log=False))
    host, port = metrics_sock.getsockname()[:2]
    print(f"gateway: serving metrics at http://{host}:{port}/metrics", file=sys.stderr, flush=True)
    scraped = asyncio.create_task(metrics.serve(sockets=[metrics_sock]), name="metrics")
    try:
        await server.serve(sockets=[sock])
    finally:
        metrics.stop()
        await scraped
