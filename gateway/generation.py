"""One catalogue's engine, typed schema and front: a generation of the gateway.

A re-listing builds a new generation beside the current one and the gateway
swaps its reference to it in one assignment. A query keeps the generation it
started on: the generation counts the requests that hold it, and a retired one
keeps receiving and answering its engine's tool calls until the last of them
ends; only then are its receivers stopped and its bridge detached, so no answer
is lost or handed to another engine.
"""

import asyncio
import json
import logging
import threading
from collections.abc import AsyncIterator, Awaitable, Callable
from contextlib import asynccontextmanager
from typing import Any

from .access import Limits
from .front import Front
from .names import Renamed
from .schema import GatewaySchema, build

logger = logging.getLogger(__name__)

POLL_MS = 100  # how long a receiver waits for a call before it checks for its end
RECEIVERS = 2  # they only hand calls to the loop, so a couple keep up with any load

type Routes = dict[tuple[str, str], tuple[str, bool]]
type Dispatch = Callable[["Generation", str], None]


def routes(catalogue: list[dict[str, Any]], renamed: list[Renamed], answered_here: Callable[[dict[str, Any]], bool]
           ) -> Routes:
    """Where each catalogue entry's calls go: the name its server knows, and whether the
    gateway answers it itself (a resource or prompt field) rather than tools/call."""
    served_as = {(r.server, r.served_as): r.tool for r in renamed}
    return {(group["server"], tool["name"]): (served_as.get((group["server"], tool["name"]), tool["name"]),
                                              answered_here(tool))
            for group in catalogue for tool in group["tools"]}


async def _released(function: Callable[..., str], *args: Any) -> str:
    raise RuntimeError("this generation was released: its front serves no more queries")


class Generation:
    """Built off the loop (construction is CPU work only); open() starts its receivers on the loop."""

    def __init__(self, number: int, catalogue: list[dict[str, Any]], routes: Routes, engine_type: Any,
                 limits: Limits) -> None:
        self.number = number
        self.catalogue_text = json.dumps(catalogue, sort_keys=True)
        self.routes = routes
        # Each entry as its server listed it, by (server, catalogue name): what re-serving shows.
        self.entries = {(group["server"], tool["name"]): tool for group in catalogue for tool in group["tools"]}
        self.engine = engine_type(json.dumps(catalogue))
        self.schema: GatewaySchema = build(catalogue, self.engine)
        self.writing_fields = frozenset(f for f, tool in self.schema.tools.items() if not tool.read_only)
        self.front = Front(self.schema, self.engine, self._offload, limits)
        self.offer: Any = None  # the offer as resolved against this generation's listing
        self.users = 0  # requests holding this generation, and queries on a query thread
        self.retired = False
        self.released = asyncio.Event()
        self._offload_outer: Callable[..., Awaitable[str]] | None = None
        self._stopping = threading.Event()
        self._receivers: list[threading.Thread] = []
        self._release: asyncio.Task[None] | None = None

    def open(self, loop: asyncio.AbstractEventLoop, offload: Callable[..., Awaitable[str]],
             dispatch: Dispatch) -> None:
        self._offload_outer = offload
        self.engine.attach_call_bridge()
        for n in range(RECEIVERS):
            thread = threading.Thread(target=self._receive, args=(loop, dispatch),
                                      name=f"tool-receiver-{self.number}-{n}", daemon=True)
            thread.start()
            self._receivers.append(thread)

    def _receive(self, loop: asyncio.AbstractEventLoop, dispatch: Dispatch) -> None:
        while not self._stopping.is_set():
            try:
                request = self.engine.receive_tool_call(POLL_MS)
            except ValueError:  # the bridge was detached under it: the generation is ending
                return
            if request is not None:
                loop.call_soon_threadsafe(dispatch, self, request)

    async def _offload(self, function: Callable[..., str], *args: Any) -> str:
        assert self._offload_outer is not None
        self.users += 1
        try:
            return await self._offload_outer(function, *args)
        finally:
            self._let_go()

    @asynccontextmanager
    async def held(self) -> AsyncIterator[Front]:
        """This generation's front, kept for the whole request (its preparing and its run)."""
        self.users += 1
        try:
            yield self.front
        finally:
            self._let_go()

    def _let_go(self) -> None:
        self.users -= 1
        self._release_when_unused()

    def retire(self) -> None:
        """No new request gets this generation; it is released once the last one ends."""
        self.retired = True
        self._release_when_unused()

    def _release_when_unused(self) -> None:
        if self.retired and self.users == 0 and self._release is None:
            self._release = asyncio.ensure_future(self.stop())

    async def stop(self) -> None:
        """Receivers ended, then the bridge detached (a field still waiting fails with its message)."""
        self._stopping.set()
        for thread in self._receivers:
            await asyncio.to_thread(thread.join)
        self.engine.detach_call_bridge()
        # The front's offload is this generation's method: without the loop it forms, the engine
        # (and its worker threads) goes when the last reference does, not at a later garbage collection.
        self.front.offload = _released
        if not self.released.is_set():
            self.released.set()
            logger.debug("generation %d released", self.number)

    def detach(self) -> None:
        """At the end of the grace: every waiting field fails now; the receivers end by themselves."""
        self._stopping.set()
        self.engine.detach_call_bridge()
