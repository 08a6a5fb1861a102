"""The checks an HTTP request passes before a route sees it.

http.py lists them in the order they run. Those that read only the request's
head (Host, the token) are plain calls over its scope, run in turn by one
middleware (Guard); the body's check reads the body, and is a middleware of its
own. A refusal is `{"errors": [{"message": ...}]}` in application/json; a
request none refuses goes on unchanged (HEAD is the one rewrite: it reaches
everything below as the GET it is).
"""

import asyncio
import json
import re
from array import array
from collections import Counter
from collections.abc import Awaitable, Callable, Coroutine, MutableMapping, Sequence
from itertools import accumulate
from typing import Any

import orjson
from starlette.responses import JSONResponse

from .access import LOOPBACK_NAMES, Bearer, loopback_host, split_host
from .errors import error_body
from .json_text import long_digits

type Scope = MutableMapping[str, Any]
type Message = MutableMapping[str, Any]
type Receive = Callable[[], Awaitable[Message]]
type Send = Callable[[Message], Awaitable[None]]
type App = Callable[[Scope, Receive, Send], Awaitable[None]]
type Check = Callable[[Scope], App | None]  # a request's refusal (an app that sends it), or None

JSON = "application/json"
BODY_SECONDS = 30.0  # time a client has to send a whole body once its head has arrived
BODY_GRACE_SECONDS = 5.0  # and after this much of it, the body arrives at MIN_BODY_RATE on average
MIN_BODY_RATE = 4096  # bytes a second: a slow mobile link sends a megabyte body in a few seconds
JSON_DEPTH = 64  # nesting of JSON a request may send: variables are arguments, not documents
HOSTS_KEPT = 256  # Host header values whose verdict is remembered
BODIES_HELD = 64 << 20  # bytes of bodies held at once by the requests in flight (at least 4 bodies)
# A JSON string, stepped over whole so that brackets inside it are not counted (possessive: linear).
_JSON_STRING = re.compile(rb'"(?:[^"\\]++|\\.)*+"', re.DOTALL)
_BRACKETS = bytes(range(256)).translate(None, b"[]{}")  # every byte but the brackets, to delete
# Each opening bracket one level down, each closing one up: as signed bytes for accumulate().
_STEPS = bytes.maketrans(b"[{]}", b"\x01\x01\xff\xff")


def refusal(status: int, message: str, headers: dict[str, str] | None = None) -> JSONResponse:
    """A refusal before any route: its error body in application/json."""
    return JSONResponse(error_body(message), status_code=status, headers=headers)


def json_depth(text: bytes | bytearray | str) -> int:
    """How deeply a JSON text nests arrays and objects, in one linear pass and without recursion,
    so that a text nested too deeply is refused before a recursive reader meets it."""
    data = text.encode("utf-8", "surrogatepass") if isinstance(text, str) else text
    brackets = _JSON_STRING.sub(b"", data).translate(None, _BRACKETS)
    return max(accumulate(array("b", brackets.translate(_STEPS))), default=0)


def nests_deeper(text: bytes | bytearray | str, depth: int) -> bool:
    """Whether a JSON text nests more than `depth` deep. A text with no more opening brackets
    than that cannot (each level opens one), and most bodies have a handful: counting them is a
    twentieth of json_depth's pass, which only the others need."""
    opening = text.count("[") + text.count("{") if isinstance(text, str) else text.count(b"[") + text.count(b"{")
    return opening > depth and json_depth(text) > depth


def header(scope: Scope, name: bytes) -> bytes | None:
    """One request header's exact bytes (the first, if it is repeated)."""
    for key, value in scope["headers"]:
        if key == name:
            return bytes(value)
    return None


class Guard:
    """Runs `checks` over each HTTP request in their order, as plain calls over its scope: the
    first refusal answers the request, and one that none refuses goes on to the app. One
    middleware for all of them, rather than one each, so a request passes them in one call.

    HEAD is a GET whose body is not sent (RFC 9110 section 9.3.2), so the checks and everything
    below see a GET and apply a GET's rules; the server still knows the request was HEAD (its
    own scope is not changed) and drops the body."""

    def __init__(self, app: App, *, checks: Sequence[Check]) -> None:
        self.app = app
        self.checks = tuple(checks)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http":
            if scope["method"] == "HEAD":
                scope = {**scope, "method": "GET"}
            for check in self.checks:
                refused = check(scope)
                if refused is not None:
                    await refused(scope, receive, send)
                    return
        await self.app(scope, receive, send)


class HostCheck:
    """A Host header that is not one host and port is 400 (nothing is guessed from it). Without a
    token only loopback names are answered: a page whose name was rebound to 127.0.0.1 would
    otherwise reach the gateway as its own origin, and its Host gives it away.

    A verdict depends on the header's bytes alone, so each value's is kept (the first
    HOSTS_KEPT of them: clients send a handful of names, and one more is judged again)."""

    def __init__(self, *, loopback_only: bool) -> None:
        self.loopback_only = loopback_only
        self.verdicts: dict[bytes | None, JSONResponse | None] = {}

    def __call__(self, scope: Scope) -> JSONResponse | None:
        raw = header(scope, b"host")
        try:
            return self.verdicts[raw]
        except KeyError:
            refused = self._verdict(raw)
            if len(self.verdicts) < HOSTS_KEPT:
                self.verdicts[raw] = refused
            return refused

    def _verdict(self, raw: bytes | None) -> JSONResponse | None:
        host = None if raw is None else raw.decode("latin-1")
        if host is not None and split_host(host) is None:
            return refusal(400, "the Host header is not a host and port")
        if self.loopback_only and not loopback_host(host):
            return refusal(403, "without a token the gateway answers only requests addressed to "
                                f"a loopback host ({', '.join(LOOPBACK_NAMES)})")
        return None


class BearerCheck:
    """`Authorization: Bearer <token>`: 401 without it, except for the requests `is_open` lets
    through (a health probe, a page that holds nothing), which see in the scope's state
    whether the token came."""

    def __init__(self, bearer: Bearer, *, is_open: Callable[[Scope], bool]) -> None:
        self.bearer = bearer
        self.is_open = is_open

    def __call__(self, scope: Scope) -> JSONResponse | None:
        authorization = header(scope, b"authorization")
        admitted = self.bearer.admits(authorization)
        scope.setdefault("state", {})["admitted"] = admitted
        if admitted or self.is_open(scope):
            return None
        wrong = authorization is not None
        challenge = 'Bearer error="invalid_token"' if wrong else "Bearer"
        message = "the bearer token is not the right one" if wrong else "send Authorization: Bearer <token>"
        return refusal(401, message, {"WWW-Authenticate": challenge})


class BodyCheck:
    """A POST body is application/json (so a cross-site form cannot send one), at most `limit`
    bytes and nested at most JSON_DEPTH deep. It is read whole here and handed on as one message:
    the route gets a body every check has seen.

    What bodies hold is counted by the bytes received, never by what a head declares, so a
    client that declares much and sends little holds nothing. Bodies in flight total at most
    `room` (more: 503), one client's (one address) at most a quarter of it (more: 429). A body
    must arrive within BODY_SECONDS and, after the first BODY_GRACE_SECONDS, at
    MIN_BODY_RATE bytes a second on average: a client dribbling bytes loses its own
    connection (408), and nobody else waits for it."""

    def __init__(self, app: App, *, limit: int, seconds: float = BODY_SECONDS, depth: int = JSON_DEPTH,
                 room: int | None = None, rate: int = MIN_BODY_RATE, grace: float = BODY_GRACE_SECONDS) -> None:
        self.app = app
        self.limit = limit
        self.seconds = seconds
        self.depth = depth
        self.room = room or max(BODIES_HELD, 4 * limit)
        self.per_client = max(limit, self.room // 4)
        self.rate = rate
        self.grace = grace
        self.held = 0  # counted on the event loop only
        self._by_client: Counter[str] = Counter()

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http" or scope["method"] != "POST":
            await self.app(scope, receive, send)
            return
        content_type = (header(scope, b"content-type") or b"").split(b";")[0].strip().lower()
        declared = header(scope, b"content-length")
        if content_type != JSON.encode():
            answer = refusal(415, f"send the request as {JSON}")
        elif declared is not None and declared.isdigit() and int(declared) > self.limit:
            answer = refusal(413, f"the body is over the limit of {self.limit} bytes")
        else:
            await self._held(scope, receive, send)
            return
        await answer(scope, receive, send)

    async def _held(self, scope: Scope, receive: Receive, send: Send) -> None:
        """Reads the body, counted against the rooms for bodies until the request has its answer."""
        client = scope["client"][0] if scope.get("client") else "-"
        counted = _Counted(self, client)
        try:
            try:
                body = await self._read(receive, counted)
            except TimeoutError:
                answer = refusal(408, f"the body did not arrive in time: within {self.seconds:g} seconds, and at "
                                      f"{self.rate} bytes a second after the first {self.grace:g}",
                                 {"Connection": "close"})
            except _NoRoom as exc:
                answer = refusal(exc.status, str(exc), {"Retry-After": "1", "Connection": "close"})
            else:
                if body is None:  # the client left: there is no one to answer
                    return
                if len(body) > self.limit:
                    answer = refusal(413, f"the body is over the limit of {self.limit} bytes")
                elif nests_deeper(body, self.depth):
                    answer = refusal(400, f"the body nests JSON more than {self.depth} levels deep")
                else:
                    await self.app(scope, _replay(body, receive), send)
                    return
            await answer(scope, receive, send)
        finally:
            counted.release()

    async def _read(self, receive: Receive, counted: _Counted) -> bytes | bytearray | None:
        """The body, or None when the client disconnected; it stops one chunk past the limit
        (a body without a length is counted as it comes)."""
        loop = asyncio.get_running_loop()
        began = loop.time()
        message = received_now(receive)
        if message is None:  # not here yet: awaited within its time
            async with asyncio.timeout_at(min(began + self.seconds, began + self.grace)):
                message = await receive()
        if message["type"] == "http.disconnect":
            return None
        chunk: bytes = message.get("body", b"")
        counted.add(len(chunk))
        if not message.get("more_body") or len(chunk) > self.limit:
            return chunk  # the whole body in one message, as a short one comes with its head
        body = bytearray(chunk)
        while True:
            # The next chunk is due when the average rate since the grace would fall below the minimum.
            due = min(began + self.seconds, began + self.grace + len(body) / self.rate)
            async with asyncio.timeout_at(due):
                message = await receive()
            if message["type"] == "http.disconnect":
                return None
            chunk = message.get("body", b"")
            counted.add(len(chunk))
            body += chunk
            if not message.get("more_body") or len(body) > self.limit:
                return body


def received_now(receive: Receive) -> Message | None:
    """The request's next message when it has arrived already, taken without waiting (nor a timer
    to bound the wait); None when it has not, and the step that would wait is dropped, as a
    cancelled receive is."""
    step = receive()
    if not isinstance(step, Coroutine):
        raise TypeError("receive must be a coroutine function")
    try:
        step.send(None)
    except StopIteration as done:
        message: Message = done.value
        return message
    step.close()
    return None


class _NoRoom(Exception):
    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


class _Counted:
    """One body's bytes, counted in the check's rooms as they arrive."""

    def __init__(self, check: BodyCheck, client: str) -> None:
        self.check = check
        self.client = client
        self.bytes = 0

    def add(self, size: int) -> None:
        check = self.check
        if check.held + size > check.room:
            raise _NoRoom(503, "the gateway holds as many request bodies as it may: retry later")
        if check._by_client[self.client] + size > check.per_client:
            raise _NoRoom(429, "this client is sending as many request bodies as one client may: retry later")
        self.bytes += size
        check.held += size
        check._by_client[self.client] += size

    def release(self) -> None:
        check = self.check
        check.held -= self.bytes
        check._by_client[self.client] -= self.bytes
        if check._by_client[self.client] <= 0:
            del check._by_client[self.client]


async def read_body(receive: Receive) -> bytes | None:
    """A request's body as its messages bring it (BodyCheck has read it whole, within its bounds,
    and hands it on as one message); None when the client left first."""
    chunks = []
    while (message := await receive())["type"] == "http.request":
        chunks.append(message.get("body", b""))
        if not message.get("more_body"):
            return b"".join(chunks)
    return None


def _replay(body: bytes | bytearray, receive: Receive) -> Receive:
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
    if nests_deeper(text, depth):
        raise ValueError(f"nested more than {depth} levels deep")
    if not isinstance(text, str):  # as json.loads reads bytes
        text = text.decode(json.detect_encoding(text), "surrogatepass")
    return _DECODER.decode(text)


def loads_body(body: bytes) -> tuple[Any, bool]:
    """A request body's JSON value, and whether it is plain: read by orjson, which refuses a lone
    surrogate, a number past a double's range, NaN and nesting past its own (far) bound, so a plain
    value holds none of them. A body orjson refuses, or that holds an integer it would read as a
    float (a run of 19 digits), is read by loads_bounded: ValueError as it says."""
    if not long_digits(body):
        try:
            return orjson.loads(body), True
        except orjson.JSONDecodeError:
            pass
    return loads_bounded(body), False


def _refuse_constant(constant: str) -> None:
    raise ValueError(f"{constant} is not JSON")


_DECODER = json.JSONDecoder(parse_constant=_refuse_constant)  # one for every text: json.loads makes one a call
