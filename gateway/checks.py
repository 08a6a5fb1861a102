"""The checks an HTTP request passes before a route sees it: one ASGI middleware each.

http.py stacks them in the order they run; each answers a refusal itself, as
`{"errors": [{"message": ...}]}` in application/json, and otherwise hands the
request on unchanged (HEAD is the one rewrite: it reaches everything below as
the GET it is).
"""

import asyncio
import json
import re
from array import array
from collections.abc import Awaitable, Callable, MutableMapping
from itertools import accumulate
from typing import Any

from starlette.responses import JSONResponse

from .access import Bearer, loopback_host, split_host

type Scope = MutableMapping[str, Any]
type Message = MutableMapping[str, Any]
type Receive = Callable[[], Awaitable[Message]]
type Send = Callable[[Message], Awaitable[None]]
type App = Callable[[Scope, Receive, Send], Awaitable[None]]

JSON = "application/json"
BODY_SECONDS = 30.0  # time a client has to send a whole body once its head has arrived
JSON_DEPTH = 64  # nesting of JSON a request may send: variables are arguments, not documents
HOSTS_KEPT = 256  # Host header values whose verdict is remembered
BODIES_HELD = 64 << 20  # bytes of bodies held at once by the requests in flight (at least 4 bodies)
# A JSON string, stepped over whole so that brackets inside it are not counted (possessive: linear).
_JSON_STRING = re.compile(rb'"(?:[^"\\]++|\\.)*+"', re.DOTALL)
_BRACKETS = bytes(range(256)).translate(None, b"[]{}")  # every byte but the brackets, to delete
# Each opening bracket one level down, each closing one up: as signed bytes for accumulate().
_STEPS = bytes.maketrans(b"[{]}", b"\x01\x01\xff\xff")


def refusal(status: int, message: str, headers: dict[str, str] | None = None) -> JSONResponse:
    return JSONResponse({"errors": [{"message": message}]}, status_code=status, headers=headers)


def json_depth(text: bytes | bytearray | str) -> int:
    """How deeply a JSON text nests arrays and objects, in one linear pass and without recursion,
    so that a text nested too deeply is refused before a recursive reader meets it."""
    data = text.encode("utf-8", "surrogatepass") if isinstance(text, str) else text
    brackets = _JSON_STRING.sub(b"", data).translate(None, _BRACKETS)
    return max(accumulate(array("b", brackets.translate(_STEPS))), default=0)


def header(scope: Scope, name: bytes) -> bytes | None:
    """One request header's exact bytes (the first, if it is repeated)."""
    for key, value in scope["headers"]:
        if key == name:
            return bytes(value)
    return None


class HeadAsGet:
    """HEAD is a GET whose body is not sent (RFC 9110 section 9.3.2), so everything below sees a
    GET and applies a GET's rules; the server still knows the request was HEAD and drops the body."""

    def __init__(self, app: App) -> None:
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http" and scope["method"] == "HEAD":
            scope = {**scope, "method": "GET"}
        await self.app(scope, receive, send)


class HostCheck:
    """A Host header that is not one host and port is 400 (nothing is guessed from it). Without a
    token only loopback names are answered: a page whose name was rebound to 127.0.0.1 would
    otherwise reach the gateway as its own origin, and its Host gives it away.

    A verdict depends on the header's bytes alone, so each value's is kept (the first
    HOSTS_KEPT of them: clients send a handful of names, and one more is judged again)."""

    def __init__(self, app: App, *, loopback_only: bool) -> None:
        self.app = app
        self.loopback_only = loopback_only
        self.verdicts: dict[bytes | None, JSONResponse | None] = {}

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http":
            raw = header(scope, b"host")
            try:
                refused = self.verdicts[raw]
            except KeyError:
                refused = self._verdict(raw)
                if len(self.verdicts) < HOSTS_KEPT:
                    self.verdicts[raw] = refused
            if refused is not None:
                await refused(scope, receive, send)
                return
        await self.app(scope, receive, send)

    def _verdict(self, raw: bytes | None) -> JSONResponse | None:
        host = None if raw is None else raw.decode("latin-1")
        if host is not None and split_host(host) is None:
            return refusal(400, "the Host header is not a host and port")
        if self.loopback_only and not loopback_host(host):
            return refusal(403, "without a token the gateway answers only requests addressed to "
                                "a loopback host (localhost, 127.0.0.1, [::1])")
        return None


class BearerCheck:
    """`Authorization: Bearer <token>` when the gateway has a token: 401 without it, except for the
    requests `is_open` lets through (a health probe, a page that holds nothing), which see in
    the scope's state whether the token came."""

    def __init__(self, app: App, *, bearer: Bearer | None, is_open: Callable[[Scope], bool]) -> None:
        self.app = app
        self.bearer = bearer
        self.is_open = is_open

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http" or self.bearer is None:
            await self.app(scope, receive, send)
            return
        authorization = header(scope, b"authorization")
        admitted = self.bearer.admits(authorization)
        scope.setdefault("state", {})["admitted"] = admitted
        if not admitted and not self.is_open(scope):
            wrong = authorization is not None
            challenge = 'Bearer error="invalid_token"' if wrong else "Bearer"
            message = "the bearer token is not the right one" if wrong else "send Authorization: Bearer <token>"
            await refusal(401, message, {"WWW-Authenticate": challenge})(scope, receive, send)
            return
        await self.app(scope, receive, send)


class BodyCheck:
    """A POST body is application/json (so a cross-site form cannot send one), at most `limit`
    bytes, sent within BODY_SECONDS and nested at most JSON_DEPTH deep. It is read whole here and
    handed on as one message: the route gets a body every check has seen. The bodies held by the
    requests in flight total at most BODIES_HELD (more: 503, retry)."""

    def __init__(self, app: App, *, limit: int, seconds: float = BODY_SECONDS, depth: int = JSON_DEPTH,
                 room: int | None = None) -> None:
        self.app = app
        self.limit = limit
        self.seconds = seconds
        self.depth = depth
        self.room = room or max(BODIES_HELD, 4 * limit)
        self.held = 0  # counted on the event loop only

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http" or scope["method"] != "POST":
            await self.app(scope, receive, send)
            return
        content_type = (header(scope, b"content-type") or b"").split(b";")[0].strip().lower()
        declared = header(scope, b"content-length")
        # What the body may take: its length when it declares one, else the most it may be.
        size = int(declared) if declared is not None and declared.isdigit() else self.limit
        if content_type != JSON.encode():
            answer = refusal(415, f"send the request as {JSON}")
        elif size > self.limit:
            answer = refusal(413, f"the body is over the limit of {self.limit} bytes")
        elif self.held + size > self.room:
            answer = refusal(503, "the gateway holds as many request bodies as it may: retry later",
                             {"Retry-After": "1"})
        else:
            await self._held(size, scope, receive, send)
            return
        await answer(scope, receive, send)

    async def _held(self, counted: int, scope: Scope, receive: Receive, send: Send) -> None:
        """Reads the body, counted against the room for bodies until the request has its answer."""
        self.held += counted
        try:
            try:
                body = await self._read(receive)
            except TimeoutError:
                answer = refusal(408, f"the body did not arrive within {self.seconds:g} seconds",
                                 {"Connection": "close"})
            else:
                if body is None:  # the client left: there is no one to answer
                    return
                if len(body) > self.limit:
                    answer = refusal(413, f"the body is over the limit of {self.limit} bytes")
                elif json_depth(body) > self.depth:
                    answer = refusal(400, f"the body nests JSON more than {self.depth} levels deep")
                else:
                    await self.app(scope, _replay(body, receive), send)
                    return
            await answer(scope, receive, send)
        finally:
            self.held -= counted

    async def _read(self, receive: Receive) -> bytearray | None:
        """The body, or None when the client disconnected; it stops one chunk past the limit
        (a body without a length is counted as it comes)."""
        body = bytearray()
        async with asyncio.timeout(self.seconds):
            while True:
                message = await receive()
                if message["type"] == "http.disconnect":
                    return None
                body += message.get("body", b"")
                if not message.get("more_body") or len(body) > self.limit:
                    return body


def _replay(body: bytearray, receive: Receive) -> Receive:
    """A receive that gives the body read already, then whatever the client sends next
    (its disconnect)."""
    sent = False

    async def replayed() -> Message:
        nonlocal sent
        if not sent:
            sent = True
            return {"type": "http.request", "body": bytes(body), "more_body": False}
        return await receive()

    return replayed


def loads_bounded(text: bytes | bytearray | str, depth: int = JSON_DEPTH) -> Any:
    """json.loads for a client's text: ValueError for a text nested more than `depth` deep (before
    the recursive reader sees it) and for NaN or Infinity, which JSON does not have."""
    if json_depth(text) > depth:
        raise ValueError(f"nested more than {depth} levels deep")

    def refuse(constant: str) -> None:
        raise ValueError(f"{constant} is not JSON")

    return json.loads(text, parse_constant=refuse)
