"""Fair sharing of the query threads between the clients of the HTTP gateway.

A query runs on one of `threads` threads. One that finds them all busy waits
its turn, first come first served, in a queue of at most `queue` queries
(full: 503 with Retry-After). One client (one address) has at most
`per_client` queries running or waiting (more: 429 with Retry-After), so a
single client cannot take every thread. A query whose client disconnects while
it waits is dropped; one that has started runs to its end, since its tool
calls cannot be recalled, and the log says its client left.

Everything here runs on the event loop: no locks.
"""

import asyncio
import contextlib
import logging
from collections import deque
from collections.abc import Awaitable, Callable, MutableMapping
from dataclasses import dataclass
from typing import Any

from .checks import received_now

logger = logging.getLogger(__name__)

QUEUE_PER_THREAD = 4  # default queue: this many waiting queries per thread
RETRY_AFTER_SECONDS = 1

type Receive = Callable[[], Awaitable[MutableMapping[str, Any]]]


class Refused(Exception):
    """The query is not taken: `status` 429 (this client has enough running) or 503 (the queue is full)."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.headers = {"Retry-After": str(RETRY_AFTER_SECONDS)}


class ClientGone(Exception):
    """The client disconnected before its query started: the query was dropped."""


@dataclass(frozen=True)
class AdmissionLimits:
    queue: int = 0  # 0: QUEUE_PER_THREAD per thread
    per_client: int = 0  # 0: half the threads


class Admission:
    def __init__(self, threads: int, limits: AdmissionLimits | None = None) -> None:
        limits = limits or AdmissionLimits()
        self.threads = threads
        self.queue = limits.queue or QUEUE_PER_THREAD * threads
        self.per_client = limits.per_client or max(1, threads // 2)
        self._free = threads
        self._waiting: deque[asyncio.Future[None]] = deque()
        self._by_client: dict[str, int] = {}

    @property
    def running(self) -> int:
        return self.threads - self._free

    @property
    def waiting(self) -> int:
        return len(self._waiting)

    def turn(self, client: str, receive: Receive) -> Turn:
        """A query thread held for the body of the `async with`; `receive` is the request's own,
        read only for the client's disconnect once its body has been read."""
        return Turn(self, client, receive)

    @staticmethod
    def _left(client: str) -> None:
        logger.warning("the client %s left while its query ran; the query ran to its end, "
                       "since its tool calls cannot be recalled", client)

    async def _acquire(self, gone: asyncio.Future[None]) -> None:
        if not gone.done() and self._free and not self._waiting:
            self._free -= 1
            return
        turn = asyncio.get_running_loop().create_future()
        self._waiting.append(turn)
        try:
            if not gone.done():
                await asyncio.wait((turn, gone), return_when=asyncio.FIRST_COMPLETED)
        except BaseException:
            self._give_back(turn)
            raise
        if gone.done() or not turn.done():
            self._give_back(turn)
            raise ClientGone("the client disconnected before its query started: the query was dropped")

    def _ended(self, client: str) -> None:
        """One query of `client` fewer, running or waiting."""
        count = self._by_client[client] - 1
        if count:
            self._by_client[client] = count
        else:
            del self._by_client[client]

    def _give_back(self, turn: asyncio.Future[None]) -> None:
        """A turn its query will not use: passed on if it was granted, else withdrawn."""
        if turn.done() and not turn.cancelled():
            self._release()
        else:
            turn.cancel()
        with contextlib.suppress(ValueError):
            self._waiting.remove(turn)

    def _release(self) -> None:
        """The thread goes to the longest waiting query still waiting, or back to the pool."""
        while self._waiting:
            turn = self._waiting.popleft()
            if not turn.done():
                turn.set_result(None)
                return
        self._free += 1


class Turn:
    """One query's turn (Admission.turn): an object rather than a generator, as every query with
    tool fields takes one. A thread free with nobody waiting is taken at once, the client's
    leaving asked without waiting; otherwise a watcher listens for it while the query waits."""

    __slots__ = ("_admission", "_client", "_receive", "_gone")

    def __init__(self, admission: Admission, client: str, receive: Receive) -> None:
        self._admission = admission
        self._client = client
        self._receive = receive
        self._gone: asyncio.Future[None] | None = None

    async def __aenter__(self) -> None:
        admission, client = self._admission, self._client
        if admission._by_client.get(client, 0) >= admission.per_client:
            raise Refused(429, f"this client has {admission.per_client} queries running or waiting, the "
                               f"most one client may have: retry when one has finished")
        if admission._free == 0 and admission.waiting >= admission.queue:
            raise Refused(503, f"{admission.queue} queries are waiting for a query thread: retry later")
        admission._by_client[client] = admission._by_client.get(client, 0) + 1
        try:
            if admission._free and not admission._waiting:
                # The query starts now, so nothing need listen for the client while it waits.
                if _gone_now(self._receive):
                    raise ClientGone("the client disconnected before its query started: the query was dropped")
                admission._free -= 1
                return
            gone = self._gone = asyncio.ensure_future(_disconnected(self._receive))
            try:
                await asyncio.sleep(0)  # the watcher's first step: a client gone already is seen now
                await admission._acquire(gone)
            except BaseException:
                gone.cancel()
                raise
        except BaseException:
            admission._ended(client)
            raise

    async def __aexit__(self, *exc_info: object) -> None:
        admission, gone = self._admission, self._gone
        try:
            if gone is None:
                if _gone_now(self._receive):
                    admission._left(self._client)
            elif gone.done():
                admission._left(self._client)
            admission._release()
        finally:
            if gone is not None:
                gone.cancel()
            admission._ended(self._client)


def _gone_now(receive: Receive) -> bool:
    """Whether the client has disconnected, asked without waiting; a message other than the
    disconnect (there is none once the body has been read) is dropped, as the watcher's are."""
    message = received_now(receive)
    return message is not None and message["type"] == "http.disconnect"


async def _disconnected(receive: Receive) -> None:
    """Returns once the client has disconnected (the body, if any, was already read)."""
    while (await receive())["type"] != "http.disconnect":
        pass
