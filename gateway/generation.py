"""One catalogue's engine, typed schema and front (a generation), and their one owner.

A listing builds a new generation beside the current one and `Generations`
swaps its reference to it in one assignment. A request takes the current
generation once and reads everything through it: the generation counts the
requests that hold it, and a retired one keeps receiving and answering its
engine's tool calls until the last of them ends; only then are its receivers
stopped and its bridge detached, so no answer is lost or handed to another
engine.
"""

import asyncio
import json
import logging
import threading
from collections.abc import AsyncIterator, Awaitable, Callable, Iterable
from contextlib import asynccontextmanager
from typing import Any

import _graphql

from .fields import FieldIndex
from .front import Front
from .limits import Limits
from .names import Renamed, distinct
from .observe import Observer
from .offer import Offer
from .own_fields import is_own_field
from .schema import GatewaySchema, build

logger = logging.getLogger(__name__)

POLL_MS = 100  # how long a receiver waits for a call before it checks for its end
RECEIVERS = 2  # they only hand calls to the loop, so a couple keep up with any load

type Routes = dict[tuple[str, str], tuple[str, bool]]
type Dispatch = Callable[["Generation", str], None]
# Runs one engine call on a query thread, given the tool fields its document selects.
type Offload = Callable[..., Awaitable[str]]


def routes(catalogue: list[dict[str, Any]], renamed: list[Renamed]) -> Routes:
    """Where each catalogue entry's calls go: the name its server knows, and whether the
    gateway answers it itself (an own field) rather than tools/call."""
    served_as = {(r.server, r.served_as): r.tool for r in renamed}
    return {(group["server"], tool["name"]): (served_as.get((group["server"], tool["name"]), tool["name"]),
                                              is_own_field(tool))
            for group in catalogue for tool in group["tools"]}


async def _released(fields: frozenset[str], function: Callable[..., str], *args: Any) -> str:
    raise RuntimeError("this generation was released: its front serves no more queries")


class Generation:
    """Built off the loop (construction is CPU work only) and not changed after; open() starts
    its receivers on the loop."""

    def __init__(self, number: int, catalogue: list[dict[str, Any]], engine: Any, index: FieldIndex,
                 routes: Routes, offer: Offer, offload: Offload, limits: Limits) -> None:
        self.number = number
        self.catalogue_text = json.dumps(catalogue, sort_keys=True)
        self.routes = routes
        self.offer = offer  # as resolved against this generation's listing
        # Each entry as its server listed it, by (server, catalogue name): what relaying shows.
        self.entries = {(group["server"], tool["name"]): tool for group in catalogue for tool in group["tools"]}
        self.engine = engine  # built from `catalogue`
        self.index = index  # the engine's, asked once
        known_as = {key: tool for key, (tool, _) in routes.items() if tool != key[1]}  # the renamed ones
        self.schema: GatewaySchema = build(catalogue, self.index, known_as)
        self.front = Front(self.schema, self.engine, self._offload, limits)
        self.users = 0  # requests holding this generation, and queries on a query thread
        self.retired = False
        self.released = asyncio.Event()
        self._outer_offload = offload
        self._stopping = threading.Event()
        self._receivers: list[threading.Thread] = []
        self._release: asyncio.Task[None] | None = None

    def open(self, loop: asyncio.AbstractEventLoop, dispatch: Dispatch) -> None:
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

    async def _offload(self, fields: frozenset[str], function: Callable[..., str], *args: Any) -> str:
        self.users += 1
        try:
            return await self._outer_offload(fields, function, *args)
        finally:
            self._let_go()

    @asynccontextmanager
    async def kept(self) -> AsyncIterator[Generation]:
        """This generation, kept for the whole request (its preparing and its run)."""
        self.users += 1
        try:
            yield self
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
        if self.retired and self.users == 0 and self._release is None and not self._stopping.is_set():
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

    async def closed(self) -> None:
        """Stopped now, or once the release already under way ends."""
        if self._release is not None:
            await self._release
        else:
            await self.stop()

    def detach(self) -> None:
        """At the end of the grace: every waiting field fails now; the receivers end by themselves."""
        self._stopping.set()
        self.engine.detach_call_bridge()


def _indexed(catalogue: list[dict[str, Any]]) -> tuple[Any, FieldIndex]:
    """An engine over `catalogue` and its field index, asked before its bridge is attached."""
    engine = _graphql.SchemaEngine(json.dumps(catalogue))
    return engine, FieldIndex.of(engine)



# Told of the generation served and of which servers' lists ("resources", "prompts") changed.
type Follower = Callable[[Generation, dict[str, set[str]]], None]


class Generations:
    """The generations' one owner: builds the next one, swaps it in, retires the one it replaces
    and drains them all at close. `offload` runs a query's engine call on a query thread;
    `dispatch` takes each tool call a generation's engine makes, on the loop."""

    def __init__(self, offer: Offer, limits: Limits, observer: Observer, offload: Offload,
                 dispatch: Dispatch) -> None:
        self.offer = offer  # as given: each generation resolves it against its listing
        self.limits = limits
        self.current: Generation | None = None
        self.built = 0  # generations built so far, the first included
        self._observer = observer
        self._offload = offload
        self._dispatch = dispatch
        self._retiring: set[Generation] = set()
        self._followers: list[Follower] = []
        self._lists_changed: dict[str, set[str]] = {}  # server -> its lists changed, not told yet

    def build(self, listed: list[dict[str, Any]], down: Iterable[str]) -> Generation:
        """A generation over the listed groups (pins and the user's read-only word applied);
        `down` names the configured servers that have not listed yet. CPU work only: run it off
        the loop. An offer that cannot be applied raises OfferError."""
        # --read-only, or an --allow/--deny entry that names a field, is read with an engine over
        # everything listed, made only then: the flags and names are the engine's own, before the
        # offer cuts.
        offer = self.offer.resolved(listed, lambda: _indexed(listed)[1], down=down)
        catalogue = offer.shape(listed)
        engine, index = _indexed(catalogue)
        catalogue, renamed = distinct(catalogue, index)
        if renamed:  # only a catalogue whose names collide is built again, its repeats renamed
            engine, index = _indexed(catalogue)
        self.built += 1
        return Generation(self.built, catalogue, engine, index, routes(catalogue, renamed), offer, self._offload,
                          self.limits)

    def swap(self, generation: Generation) -> None:
        """`generation` becomes the current one, on the loop; the one before it retires."""
        self._observer.serving(generation.index)
        generation.open(asyncio.get_running_loop(), self._dispatch)
        old, self.current = self.current, generation
        if old is not None:
            self._retiring = {g for g in self._retiring if not g.released.is_set()}
            self._retiring.add(old)
            old.retire()
        self.tell(generation)

    def follow(self, follower: Follower) -> Callable[[], None]:
        """`follower` is called on the loop with each generation swapped in from now on, and
        with the servers whose resources or prompts changed since it was last called (by their
        own list_changed, or by coming back up), with the running generation when those changed
        alone. The function returned stops that."""
        self._followers.append(follower)
        return lambda: self._followers.remove(follower)

    def lists_changed(self, server: str, lists: Iterable[str]) -> None:
        """`server`'s resources or prompts changed: the next `tell` says so."""
        self._lists_changed.setdefault(server, set()).update(lists)

    @property
    def untold(self) -> bool:
        return bool(self._lists_changed)

    def tell(self, generation: Generation) -> None:
        changed, self._lists_changed = self._lists_changed, {}
        for follower in list(self._followers):
            follower(generation, changed)

    @asynccontextmanager
    async def taken(self) -> AsyncIterator[Generation]:
        """The current generation, kept (with its engine's bridge) until the block ends."""
        assert self.current is not None, "start the gateway first"
        async with self.current.kept() as generation:
            yield generation

    def live(self) -> list[Generation]:
        """The current generation and the retired ones not yet released."""
        return [g for g in (self.current, *self._retiring) if g is not None and not g.released.is_set()]

    async def drained(self, timeout: float) -> None:
        """The retired generations released, or `timeout` passed."""
        still_calling = [asyncio.ensure_future(g.released.wait()) for g in self._retiring]
        if still_calling:
            _, pending = await asyncio.wait(still_calling, timeout=timeout)
            for waiting in pending:
                waiting.cancel()

    def detach(self) -> None:
        """Every generation's waiting fields fail now with the detached message."""
        for generation in self.live():
            generation.detach()

    async def close(self) -> None:
        for generation in [g for g in (self.current, *self._retiring) if g is not None]:
            await generation.closed()
        self._retiring.clear()
