"""The gateway's lifecycle: its servers started, its generations kept current, reload, health and close."""

import asyncio
import json
import logging
import threading
import time
from collections.abc import Callable
from contextlib import AbstractAsyncContextManager
from typing import Any

from .auth import SignIn
from .budget import DEFAULT_REPLY_BYTES, ReplyBudget
from .config import DEFAULT_RESULT_LIMIT, ServerConfig
from .dispatch import Dispatcher
from .errors import error_body
from .generation import Follower, Generation, Generations
from .limits import Limits
from .marking import marked
from .observe import Observer
from .offer import Offer, OfferError
from .own_fields import is_own_field
from .pinning import Pins
from .supervision import Supervision
from .upstream import Upstream

QUIET_SECONDS = 0.1  # listings within this of each other make one rebuild
REBUILD_GAP = 0.5  # least time between two rebuilds
CLOSE_SECONDS = 5.0  # per server, on top of the SDK's own two seconds of grace

logger = logging.getLogger(__name__)


class Gateway:
    """Starts and supervises the servers and keeps the generation they list current.

    Everything async runs on the loop that called start(); execute() may be
    awaited there. A request takes one generation (`taken()`, or `generation`
    read once) and reads everything through it.
    """

    def __init__(self, configs: list[ServerConfig], *, call_timeout: float = 30.0,
                 start_timeout: float = 30.0, query_threads: int = 4, offer: Offer | None = None,
                 call_log: Callable[[str], None] | None = None, limits: Limits | None = None,
                 reply_bytes: int = DEFAULT_REPLY_BYTES, max_result_bytes: int = DEFAULT_RESULT_LIMIT,
                 supervision: Supervision | None = None, pins: Pins | None = None,
                 observer: Observer | None = None, sign_in: SignIn | None = None) -> None:
        self.configs = configs
        self.sign_in = sign_in  # completes OAuth sign-ins while serving; None: stored tokens only
        self.observer = observer or Observer()
        self.observer.watch((c.name for c in configs), lambda: {n: u.up for n, u in self.upstreams.items()})
        self.call_timeout = call_timeout
        self.supervision = supervision or Supervision()
        self.pins = pins  # with a lock file: only tools whose definitions are pinned are offered
        self.start_timeout = start_timeout
        self.upstreams: dict[str, Upstream] = {}
        self.limits = limits or Limits()
        self.query_threads = query_threads
        self.dispatcher = Dispatcher(self._upstream_of, self.observer, query_threads=query_threads,
                                     call_timeout=call_timeout, max_result_bytes=max_result_bytes,
                                     replies=ReplyBudget(reply_bytes), call_log=call_log)
        self.generations = Generations(offer or Offer(), self.limits, self.observer,
                                       self.dispatcher.on_query_thread, self.dispatcher.dispatch)
        self._stopping = threading.Event()
        self._closed = False
        self._leaving: dict[str, Upstream] = {}  # removed by a reload, still answering old generations' calls
        self._rebuilding: asyncio.Task[None] | None = None
        self._building = asyncio.Lock()  # one build at a time: a reload's and the listings'
        self._relist_wanted = False
        self._restarts_seen: dict[str, int] = {}  # restarts told to the observer, per server

    @property
    def generation(self) -> Generation | None:
        """The current generation: read it once per request."""
        return self.generations.current

    def taken(self) -> AbstractAsyncContextManager[Generation]:
        """The current generation, kept (with its engine's bridge) until the `async with` block ends."""
        return self.generations.taken()

    def follow(self, follower: Follower) -> Callable[[], None]:
        return self.generations.follow(follower)

    async def __aenter__(self) -> Gateway:
        await self.start()
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()

    async def start(self) -> None:
        try:
            for config in self.configs:
                self._add(config)
            await asyncio.gather(*(u.started(self.start_timeout) for u in self.upstreams.values()))
            self.generations.swap(self._build())  # an offer that names nothing stops the start here
        except BaseException:
            await self.close()
            raise

    def _add(self, config: ServerConfig) -> Upstream:
        upstream = Upstream(config, self.supervision, on_listed=self._listed, start_timeout=self.start_timeout,
                            sign_in=self.sign_in, max_result_bytes=self.dispatcher.max_result_bytes)
        self.upstreams[config.name] = upstream
        upstream.start()
        return upstream

    def _upstream_of(self, server: str) -> Upstream | None:
        return self.upstreams.get(server) or self._leaving.get(server)

    def _build(self) -> Generation:
        """A generation over every server that has listed its tools (one down since keeps its
        fields, which fail at once with its failure until it is back)."""
        listed = [u.group() for u in self.upstreams.values() if u.listed]
        if self.pins is not None:
            listed = self.pins.applied(listed, is_own_field)
        # After the pins, which hold the definitions as the servers gave them.
        listed = [marked(group, self.upstreams[group["server"]].config) for group in listed]
        return self.generations.build(listed, down=[u.name for u in self.upstreams.values() if not u.listed])

    def _listed(self, upstream: Upstream) -> None:
        """A server listed its tools again (back up, or list_changed): rebuild, debounced."""
        if upstream.restarts > self._restarts_seen.get(upstream.name, 0):
            self._restarts_seen[upstream.name] = upstream.restarts
            self.observer.upstream_restarted(upstream.name)
        if upstream.lists_changed:
            self.generations.lists_changed(upstream.name, upstream.lists_changed)
            upstream.lists_changed.clear()
        self._relist_wanted = True
        if self._rebuilding is None and not self._stopping.is_set():
            self._rebuilding = asyncio.ensure_future(self._rebuild_loop())

    async def _rebuild_loop(self) -> None:
        """One rebuild per burst of listings, and at most one per REBUILD_GAP, so a server that
        signals in a loop costs a bounded share of the gateway."""
        try:
            while self._relist_wanted and not self._stopping.is_set():
                self._relist_wanted = False
                await asyncio.sleep(QUIET_SECONDS)  # listings that arrive together make one rebuild
                current = self.generations.current
                if not await self.rebuild() and self.generations.untold and current is not None:
                    self.generations.tell(current)  # the same fields, other resources or prompts
                await asyncio.sleep(REBUILD_GAP)
        finally:
            self._rebuilding = None

    async def rebuild(self) -> bool:
        """A new generation from the current listings, swapped in when its catalogue differs.
        A listing the offer cannot be applied to keeps the running generation (and says so)."""
        async with self._building:
            if self._stopping.is_set():
                return False
            try:
                generation = await asyncio.to_thread(self._build)
            except (OfferError, OSError) as exc:  # an offer that names nothing now; a lock file not written
                logger.error("the new listing was not applied, the gateway keeps the tools it has: %s", exc)
                return False
            current = self.generations.current
            if current is not None and generation.catalogue_text == current.catalogue_text:
                return False
            if self._stopping.is_set():
                return False
            self.generations.swap(generation)
        logger.info("catalogue rebuilt: %d tools (generation %d)", generation.engine.tool_count(),
                    generation.number)
        return True

    async def reload(self, configs: list[ServerConfig]) -> None:
        """A new configuration: added servers start, changed ones start anew, removed ones stop
        once the generations that could still call them are released."""
        wanted = {config.name: config for config in configs}
        for name, config in wanted.items():
            running = self.upstreams.get(name)
            if config.problem is not None and running is not None and running.config.problem is None:
                # A slip in the file must not stop a server that works: it keeps the entry it runs with.
                logger.error("server %r keeps its running configuration: its new entry is not used: %s", name,
                             config.problem)
                wanted[name] = running.config
        configs = list(wanted.values())
        if unknown := self.generations.offer.unknown_servers(wanted):
            logger.error("the configuration was not reloaded: --allow/--deny name no configured server: %s",
                         ", ".join(unknown))
            return
        going = [u for name, u in self.upstreams.items() if wanted.get(name) != u.config]
        for upstream in going:
            del self.upstreams[upstream.name]
            self._leaving[upstream.name] = upstream
        coming = [self._add(config) for name, config in wanted.items() if name not in self.upstreams]
        self.observer.watch_more(u.name for u in coming)
        self.configs = configs
        logger.warning("configuration reloaded: %d servers started, %d stopped or restarted",
                       len(coming), len(going))
        await asyncio.gather(*(u.started(self.start_timeout) for u in coming))
        await self.rebuild()
        await self.generations.drained(self.call_timeout)
        for upstream in going:
            if self._leaving.get(upstream.name) is upstream:
                del self._leaving[upstream.name]
        await asyncio.gather(*(u.close(CLOSE_SECONDS) for u in going))

    def health(self) -> dict[str, Any]:
        now = time.monotonic()
        servers = {name: {"up": u.up, **({"failure": u.failure} if u.failure else {}),
                          **({"retryInSeconds": round(max(0.0, u.next_attempt - now), 1)}
                             if u.next_attempt is not None else {})}
                   for name, u in self.upstreams.items()}
        return {"up": all(s["up"] for s in servers.values()), "servers": servers}

    async def execute(self, query: str, variables: str | dict[str, Any] | None = None,
                      operation_name: str | None = None) -> str:
        """The response JSON of one request, through the front (a request error as its errors).
        `variables` is a dict or its JSON text."""
        if isinstance(variables, str):
            try:
                variables = json.loads(variables) if variables.strip() else None
            except ValueError as exc:
                return json.dumps(error_body(f"the variables are not JSON: {exc}"))
            if variables is not None and not isinstance(variables, dict):
                return json.dumps(error_body("the variables must be a JSON object"))
        async with self.generations.taken() as generation:
            return json.dumps(await generation.front.execute(query, variables, operation_name))

    def detach(self) -> None:
        """Every generation's waiting fields fail now with the detached message; queries return."""
        self._stopping.set()
        self.generations.detach()

    async def close(self) -> None:
        """Receivers stopped, bridges detached (waiting fields fail), sessions and processes ended."""
        if self._closed:
            return
        self._closed = True
        self._stopping.set()
        if self._rebuilding is not None:
            self._rebuilding.cancel()
            await asyncio.wait({self._rebuilding})
        await self.generations.close()
        await self.dispatcher.close()
        await asyncio.gather(*(u.close(CLOSE_SECONDS) for u in (*self.upstreams.values(), *self._leaving.values())))
        self.observer.close()
