"""Connection limits, the first check of every request: they act before the app, on the socket.

Uvicorn's HTTP/1.1 protocols (httptools when installed, else h11) only time a
connection out between requests: a socket that never sends a byte, or sends its
head one byte at a time, would hold a descriptor for ever. `guarded_protocol`
adds the rest, the same for either parser:

- a head is at most HEAD_BYTES (over it: 400 and closed);
- a head must arrive within `header_seconds` of the connection (or of the end
  of the previous answer on a kept-alive connection);
- at most `max_connections` connections: one more first closes the longest
  idle connection (no request running: waiting for a head, or kept alive)
  unless its address holds fewer than the newcomer's (then the newcomer's own
  longest idle); failing that, one of the address that holds the most, if it
  holds at least two more than the newcomer's (its longest idle, else its
  newest: the request with the least done); else the newcomer is answered 503
  and closed. Idle sockets can then never lock out a client who sends a
  request, nor can one address's requests (bodies sent at the least rate
  allowed, say) or its stream of new connections lock out the others';
- a client that stops reading its answer (the socket's send buffer full for
  `write_seconds`) loses its connection, and with it the answer it held;
- an answer's head leaves with its body, in one send (HeldHead);
- asyncio's "accept() out of system resource" is logged at most once a second.
"""

import asyncio
import logging
import resource
from collections import OrderedDict
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import h11
from uvicorn.protocols.http.h11_impl import H11Protocol

logger = logging.getLogger(__name__)

HEADER_SECONDS = 10.0  # a head sent within this time; a browser sends it at once
IDLE_SECONDS = 5  # a kept-alive connection with no new request (Uvicorn's own default)
WRITE_SECONDS = 30.0  # an answer's bytes stuck unread this long: the client is not reading
DEFAULT_MAX_CONNECTIONS = 2048
RESERVED_DESCRIPTORS = 128  # for the MCP servers' pipes, the log, the files tools open
ACCEPT_LOG_SECONDS = 1.0
REFUSED_LINGER_SECONDS = 1.0  # a refused connection is read (and dropped) this long, for its answer to arrive
REFUSED = (b"HTTP/1.1 503 Service Unavailable\r\ncontent-type: application/json\r\n"
           b"retry-after: 1\r\nconnection: close\r\ncontent-length: %d\r\n\r\n%s")
HEAD_BYTES = 16 * 1024  # a request line and headers, as h11 bounds them (Uvicorn's default)
HEAD_FRAMING = 64  # a request line's method, version and line ends; a body chunk's size line
REFUSED_BODY = b'{"errors":[{"message":"the gateway has as many connections as it serves: retry later"}]}'
HELD_BYTES = 16 * 1024  # a first write held for the next one: an answer's head (or a 100 Continue)


class LimitError(ValueError):
    pass


def descriptor_room() -> int:
    """Connections the process's descriptor limit leaves room for, after the ones it needs itself."""
    soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft == resource.RLIM_INFINITY:
        return DEFAULT_MAX_CONNECTIONS
    return max(1, soft - RESERVED_DESCRIPTORS)


@dataclass(frozen=True)
class ConnectionLimits:
    max_connections: int = 0  # 0: DEFAULT_MAX_CONNECTIONS, or less if the descriptor limit says so
    header_seconds: float = HEADER_SECONDS
    idle_seconds: int = IDLE_SECONDS
    write_seconds: float = WRITE_SECONDS

    def connections(self) -> int:
        """The cap to keep; LimitError when the descriptor limit cannot hold the one asked for."""
        room = descriptor_room()
        if self.max_connections == 0:
            return min(DEFAULT_MAX_CONNECTIONS, room)
        if self.max_connections > room:
            raise LimitError(f"--max-connections {self.max_connections} is more than the descriptor limit "
                             f"leaves room for ({room}; raise it with ulimit -n)")
        return self.max_connections


class _Shares:
    """The open connections of each client address, and the addresses by how many they hold,
    so that the one holding the most is found at once however many there are."""

    def __init__(self) -> None:
        self.held: dict[str, dict[Any, None]] = {}  # address -> its connections, oldest first
        self._by_count: dict[int, dict[str, None]] = {}  # count -> the addresses holding that many
        self.most = 0

    def count(self, address: str) -> int:
        return len(self.held.get(address, ()))

    def add(self, address: str, connection: Any) -> None:
        mine = self.held.setdefault(address, {})
        mine[connection] = None
        self._moved(address, len(mine) - 1, len(mine))

    def remove(self, address: str, connection: Any) -> None:
        mine = self.held.get(address)
        if mine is None or connection not in mine:
            return
        del mine[connection]
        if not mine:
            del self.held[address]
        self._moved(address, len(mine) + 1, len(mine))

    def newest_of_most(self) -> tuple[str, Any]:
        """The address holding the most connections (there is one: called with `most` > 0) and
        its newest connection."""
        address = next(iter(self._by_count[self.most]))
        return address, next(reversed(self.held[address]))

    def _moved(self, address: str, old: int, new: int) -> None:
        if old:
            bucket = self._by_count[old]
            del bucket[address]
            if not bucket:
                del self._by_count[old]
                if old == self.most:
                    self.most = new  # by one: the address just moved holds that many (or none held any)
        if new:
            self._by_count.setdefault(new, {})[address] = None
            self.most = max(self.most, new)


def _address(transport: asyncio.BaseTransport) -> str:
    peer = transport.get_extra_info("peername")
    return str(peer[0]) if isinstance(peer, tuple) and peer else "-"  # a Unix socket's clients share one


class HeldHead:
    """The transport as one request's answer sees it. Uvicorn writes an answer's head and then
    its body, each a send of its own: on loopback and on a connection without Nagle's delay
    that is two segments and two wake-ups of the reader for one answer, which cost about as
    much as the gateway's own work for a short one. The first write is held (up to HELD_BYTES)
    until the next, and both leave in one send; a head whose body does not follow within this
    turn of the loop (a stream waiting for its first event) leaves at the end of the turn.
    Nothing is reordered: every write and close passes the held bytes first."""

    __slots__ = ("_transport", "_loop", "_held", "_first")

    def __init__(self, transport: asyncio.Transport, loop: asyncio.AbstractEventLoop) -> None:
        self._transport = transport
        self._held: bytes | None = None
        self._first = True
        self._loop = loop

    def write(self, data: bytes) -> None:
        if self._held is not None:
            data, self._held = self._held + data, None
        elif self._first and len(data) <= HELD_BYTES:
            self._first = False
            self._held = data
            self._loop.call_soon(self.flush)
            return
        self._first = False
        self._transport.write(data)

    def flush(self) -> None:
        if self._held is not None:
            held, self._held = self._held, None
            if not self._transport.is_closing():  # the client left before the turn ended: nobody to send to
                self._transport.write(held)

    def close(self) -> None:
        self.flush()
        self._transport.close()

    def is_closing(self) -> bool:
        return self._transport.is_closing()


def loop_factory() -> Callable[[], asyncio.AbstractEventLoop] | None:
    """uvloop's loop when it is installed (libuv's: the same asyncio API, a faster socket and
    timer path); None leaves asyncio's own."""
    try:
        import uvloop
    except ImportError:
        return None
    return uvloop.new_event_loop


def parser_names() -> tuple[str, ...]:
    """The HTTP/1.1 parsers this process can serve with, fastest first: httptools (llhttp, in C)
    when it is installed, and h11, which Uvicorn always has."""
    try:
        import httptools  # noqa: F401
    except ImportError:
        return ("h11",)
    return ("httptools", "h11")


def guarded_protocol(limits: ConnectionLimits, parser: str | None = None) -> type[asyncio.Protocol]:
    """Uvicorn's HTTP/1.1 protocol (`parser`: "httptools" or "h11"; the fastest installed when
    None) with the head timeout, the head's size bound and the connection cap; one class per
    server, since the idle connections it may close are counted per server."""
    cap = limits.connections()
    idle: OrderedDict[Any, None] = OrderedDict()  # longest idle first
    idle_of: dict[str, OrderedDict[Any, None]] = {}  # the same, by address
    shares = _Shares()
    parser = parser or parser_names()[0]

    class Guards:
        """What both parsers' protocols get: the cap on connecting, the head's deadline after it."""

        # Uvicorn's protocol, which this class is mixed before, sets these.
        loop: asyncio.AbstractEventLoop
        transport: asyncio.Transport
        connections: set[Any]
        head_timer: asyncio.TimerHandle | None = None
        head_since: float | None = None  # when the wait for the next head began; None: not waiting
        write_timer: asyncio.TimerHandle | None = None
        refused: asyncio.Transport | None = None
        address = "-"  # the connecting address, whose share of the connections this one is

        def connection_made(self, transport: Any) -> None:
            client = _address(transport)
            if len(self.connections) >= cap and not _close_idle_for(client) and not _close_for(client):
                # Answered and half closed, then read until the client closes: closing a socket
                # with its request unread would reset it, and the client might never see the 503.
                self.refused = transport
                transport.write(REFUSED % (len(REFUSED_BODY), REFUSED_BODY))
                if transport.can_write_eof():
                    transport.write_eof()
                self.loop.call_later(REFUSED_LINGER_SECONDS, transport.close)
                return
            self.address = client
            shares.add(client, self)
            super().connection_made(transport)  # type: ignore[misc]
            self._waiting_for_head()

        def data_received(self, data: bytes) -> None:
            if self.refused is None:
                super().data_received(data)  # type: ignore[misc]

        def eof_received(self) -> None:
            if self.refused is not None:
                self.refused.close()

        def pause_writing(self) -> None:
            super().pause_writing()  # type: ignore[misc]
            if self.write_timer is None:
                self.write_timer = self.loop.call_later(limits.write_seconds, self._not_reading)

        def resume_writing(self) -> None:
            if self.write_timer is not None:
                self.write_timer.cancel()
                self.write_timer = None
            super().resume_writing()  # type: ignore[misc]

        def _not_reading(self) -> None:
            self.write_timer = None
            self.transport.abort()  # close() would wait for the buffer to drain, which it never will

        def connection_lost(self, exc: Exception | None) -> None:
            for timer in (self.write_timer, self.head_timer):
                if timer is not None:
                    timer.cancel()
            self.write_timer = self.head_timer = None
            self._head_arrived()
            idle.pop(self, None)
            shares.remove(self.address, self)
            if self.refused is None:
                super().connection_lost(exc)  # type: ignore[misc]

        def on_response_complete(self) -> None:
            # httptools has read the heads it queued (`pipeline`): the next one has arrived. h11 reads
            # the next head only after this, and its handle_events then sees it arrived.
            if not self.transport.is_closing() and not getattr(self, "pipeline", None):
                self._waiting_for_head()
            super().on_response_complete()  # type: ignore[misc]

        def _hold_head(self) -> None:
            """The cycle just made for a request writes through a HeldHead."""
            cycle = getattr(self, "cycle", None)
            if cycle is not None and not isinstance(cycle.transport, HeldHead):
                cycle.transport = HeldHead(self.transport, self.loop)

        # One timer per connection, not one per request: a head that arrives leaves the timer
        # running, and when it fires it looks at the wait under way (if any) and sleeps again
        # until that wait's own deadline. A kept-alive connection's requests then arm no timer.
        def _waiting_for_head(self) -> None:
            self.head_since = self.loop.time()
            if self.head_timer is None:
                self.head_timer = self.loop.call_later(limits.header_seconds, self._head_due)
            idle[self] = None
            idle.move_to_end(self)
            mine = idle_of.setdefault(self.address, OrderedDict())
            mine[self] = None
            mine.move_to_end(self)

        def _head_arrived(self) -> None:
            self.head_since = None
            idle.pop(self, None)
            mine = idle_of.get(self.address)
            if mine is not None:
                mine.pop(self, None)
                if not mine:
                    del idle_of[self.address]

        def _head_due(self) -> None:
            self.head_timer = None
            if self.head_since is None:
                return  # the head came: the next wait arms the timer again
            left = self.head_since + limits.header_seconds - self.loop.time()
            if left > 0:
                self.head_timer = self.loop.call_later(left, self._head_due)
            elif not self.transport.is_closing():
                self.transport.close()

    def _close_idle_for(client: str) -> bool:
        """Whether an idle connection was closed to make room for one of `client`'s: the longest
        idle, unless its address holds fewer than `client`'s (a connection just made is idle until
        its head arrives: one address's stream of newcomers must not close every other's as they
        come), else `client`'s own longest idle."""
        for waiting in (idle, idle_of.get(client)):
            while waiting:
                protocol = next(iter(waiting))
                if protocol.transport.is_closing():
                    protocol._head_arrived()
                    continue
                if waiting is idle and shares.count(protocol.address) < shares.count(client):
                    break
                _close(protocol)
                return True
        return False

    def _close_for(client: str) -> bool:
        """Whether a connection was closed to make room for one of `client`'s: of the address
        holding the most, when that is at least two more than `client` holds (so that the two
        never take turns closing each other's), its longest idle or else its newest (the request
        with the least done)."""
        if shares.count(client) + 1 >= shares.most:
            return False
        address, protocol = shares.newest_of_most()
        logger.info("a connection of %s was closed for one of %s: it held %d, over its share",
                    address, client, shares.count(address))
        mine = idle_of.get(address)
        _close(next(iter(mine)) if mine else protocol)
        return True

    def _close(protocol: Any) -> None:
        shares.remove(protocol.address, protocol)  # counted out now: the next newcomer sees the room taken
        if protocol.head_since is not None:  # idle: no request to lose
            protocol._head_arrived()
            protocol.transport.close()
        else:
            protocol.transport.abort()  # close() would wait for what it still has to send

    if parser == "h11":
        class GuardedH11Protocol(Guards, H11Protocol):
            def handle_events(self) -> None:
                super().handle_events()
                self._hold_head()
                # h11 leaves IDLE once a whole head has been read, and only then.
                if self.conn.their_state is not h11.IDLE:
                    self._head_arrived()

        return GuardedH11Protocol

    from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol

    class GuardedHttpToolsProtocol(Guards, HttpToolsProtocol):
        # llhttp sets no bound on a head, and keeps a header's text until its line ends: without
        # one a client could send a header for ever. The head's bytes are counted as they come:
        # whole reads while it is under way, and of the read it began in, what the messages
        # before it in that read did not take (their bodies, their heads and a line's framing).
        # Past HEAD_BYTES, 400 and closed, as h11 does.
        reads = 0
        head_read = -1  # the read its head began in; -1: no head under way
        head_parsed = 0  # its request line and headers parsed whole, for the bound before a read ends
        head_raw = 0
        taken = 0  # bytes of the current read the messages before the current one took
        taken_before_head = 0

        def data_received(self, data: bytes) -> None:
            self.reads += 1
            self.taken = 0
            super().data_received(data)
            if self.head_read == -1 or self.transport.is_closing():
                return
            if self.head_read == self.reads:
                self.head_raw = len(data) - self.taken_before_head
            else:
                self.head_raw += len(data)
            if self.head_raw > HEAD_BYTES:
                self.send_400_response("Invalid HTTP request received.")

        def on_message_begin(self) -> None:
            self.head_read, self.head_parsed, self.head_raw = self.reads, 0, 0
            self.taken_before_head = self.taken
            super().on_message_begin()

        def on_url(self, url: bytes) -> None:
            self._parsed(len(url))
            super().on_url(url)

        def on_header(self, name: bytes, value: bytes) -> None:
            self._parsed(len(name) + len(value) + 4)  # ": " and CRLF
            super().on_header(name, value)

        def on_headers_complete(self) -> None:
            self.head_read = -1
            self.taken += self.head_parsed + HEAD_FRAMING
            self._head_arrived()
            super().on_headers_complete()
            self._hold_head()

        def on_body(self, body: bytes) -> None:
            self.taken += len(body) + HEAD_FRAMING  # a chunk's size line, at most
            super().on_body(body)

        def _parsed(self, size: int) -> None:
            self.head_parsed += size
            if self.head_parsed > HEAD_BYTES:
                raise ValueError("the head is too large")  # the parser's error: Uvicorn answers 400

    return GuardedHttpToolsProtocol


class AcceptErrorLog:
    """A loop exception handler that lets "accept() out of system resource" through at most
    once a second: asyncio reports it for every connection waiting in the backlog, again
    and again while descriptors stay short. Everything else goes to the previous handler."""

    def __init__(self, loop: asyncio.AbstractEventLoop, seconds: float = ACCEPT_LOG_SECONDS) -> None:
        self.loop = loop
        self.seconds = seconds
        self.previous = loop.get_exception_handler()
        self.last = -seconds
        self.dropped = 0

    def __call__(self, loop: asyncio.AbstractEventLoop, context: dict[str, Any]) -> None:
        if "accept() out of system resource" in str(context.get("message", "")):
            now = loop.time()
            if now - self.last < self.seconds:
                self.dropped += 1
                return
            self.last = now
            if self.dropped:
                context = {**context, "message": f"{context['message']} ({self.dropped} more since the last report)"}
                self.dropped = 0
            context = {k: v for k, v in context.items() if k != "exception"} | {
                "message": f"{context['message']}: {context.get('exception')}"}
        if self.previous is not None:
            self.previous(loop, context)
        else:
            loop.default_exception_handler(context)
