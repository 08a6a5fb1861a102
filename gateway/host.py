"""The gateway: MCP sessions on one event loop, the engine, and the threads between them."""

import asyncio
import json
import logging
import threading
import time
from collections.abc import AsyncIterator, Callable
from concurrent.futures import ThreadPoolExecutor
from contextlib import asynccontextmanager
from typing import Any

import _graphql
from mcp.types import CallToolResult, TextContent

from .access import Limits
from .auth import SignIn
from .budget import DEFAULT_REPLY_BYTES, ReplyBudget
from .config import DEFAULT_RESULT_LIMIT, ServerConfig
from .front import Front
from .generation import Generation, routes
from .names import distinct
from .marking import marked
from .observe import LogLine, Observer
from .offer import Offer, OfferError
from .pinning import Pins
from .schema import GatewaySchema
from .supervision import Supervision
from .upstream import CallFailed, Upstream, answered_here, describe, dump, json_or_none

QUIET_SECONDS = 0.1  # listings within this of each other make one rebuild
REBUILD_GAP = 0.5  # least time between two rebuilds
CLOSE_SECONDS = 5.0  # per server, on top of the SDK's own two seconds of grace
# Told of the generation served and of which servers' lists ("resources", "prompts") changed.
Follower = Callable[[Generation, dict[str, set[str]]], None]

logger = logging.getLogger(__name__)


def reply_of(result: CallToolResult) -> dict[str, Any]:
    """The JSON a successful call puts in its field: the same members as a tool error, and
    `content`, every block of the result in order as MCP gives it (images, audio, resources,
    links and annotations included)."""
    text = "\n".join(block.text for block in result.content if isinstance(block, TextContent))
    value = result.structuredContent
    if value is None:
        value = json_or_none(text)
    return {"isError": False, "json": value, "text": text, "content": [dump(block) for block in result.content]}


class Gateway:
    """Starts and supervises the servers, serves the current generation's engine and its tool calls.

    Everything async runs on the loop that called start(); execute() may be
    awaited there, and engine.execute() called from any other thread.
    `front`, `engine`, `schema` and `writing_fields` are the current
    generation's; a request that must keep one generation throughout takes
    `held()`.
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
        self.asked_offer = offer or Offer()  # as given: each generation resolves it against its listing
        self.offer = self.asked_offer  # the current generation's, field names resolved
        self.call_log = call_log
        self.call_timeout = call_timeout
        self.max_result_bytes = max_result_bytes
        self.supervision = supervision or Supervision()
        self.pins = pins  # with a lock file: only tools whose definitions are pinned are offered
        self.start_timeout = start_timeout
        self.upstreams: dict[str, Upstream] = {}
        self.limits = limits or Limits()
        self.generation: Generation | None = None
        self.generations = 0  # built so far, the first included
        self.query_threads = query_threads
        self.replies = ReplyBudget(reply_bytes)  # tool replies held for queries in flight
        self._executor = ThreadPoolExecutor(query_threads, thread_name_prefix="query")
        self._stopping = threading.Event()
        self._closed = False
        self._retiring: set[Generation] = set()
        self._leaving: dict[str, Upstream] = {}  # removed by a reload, still answering old generations' calls
        self._calls: set[asyncio.Future[None]] = set()
        self._rebuilding: asyncio.Task[None] | None = None
        self._building = asyncio.Lock()  # one build at a time: a reload's and the listings'
        self._relist_wanted = False
        self._restarts_seen: dict[str, int] = {}  # restarts told to the observer, per server
        self._loop: asyncio.AbstractEventLoop | None = None
        self._followers: list[Follower] = []
        self._lists_changed: dict[str, set[str]] = {}  # server -> its lists changed, not told yet

    # The current generation's parts, as every entry point reads them.
    @property
    def engine(self) -> Any:
        return self.generation.engine if self.generation is not None else None

    @property
    def schema(self) -> GatewaySchema | None:
        return self.generation.schema if self.generation is not None else None

    @property
    def front(self) -> Front | None:
        return self.generation.front if self.generation is not None else None

    @property
    def writing_fields(self) -> frozenset[str]:
        return self.generation.writing_fields if self.generation is not None else frozenset()

    @asynccontextmanager
    async def held(self) -> AsyncIterator[Front]:
        """The current generation's front, kept (with its engine's bridge) until the block ends."""
        assert self.generation is not None
        async with self.generation.held() as front:
            yield front

    def follow(self, follower: Follower) -> Callable[[], None]:
        """`follower` is called on the loop with each generation swapped in from now on, and
        with the servers whose resources or prompts changed since it was last called (by their
        own list_changed, or by coming back up), with the running generation when those changed
        alone. The function returned stops that."""
        self._followers.append(follower)
        return lambda: self._followers.remove(follower)

    async def __aenter__(self) -> Gateway:
        await self.start()
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()

    async def start(self) -> None:
        self._loop = asyncio.get_running_loop()
        try:
            for config in self.configs:
                self._add(config)
            await asyncio.gather(*(u.started(self.start_timeout) for u in self.upstreams.values()))
            self._swap(self._build())  # an offer that names nothing stops the start here
        except BaseException:
            await self.close()
            raise

    def _add(self, config: ServerConfig) -> Upstream:
        upstream = Upstream(config, self.supervision, on_listed=self._listed, start_timeout=self.start_timeout,
                            sign_in=self.sign_in)
        self.upstreams[config.name] = upstream
        return upstream

    def _build(self) -> Generation:
        """A generation over every server that has listed its tools (one down since keeps its
        fields, which fail at once with its failure until it is back)."""
        listed = [u.group() for u in self.upstreams.values() if u.listed]
        if self.pins is not None:
            listed = self.pins.applied(listed, answered_here)
        # After the pins, which hold the definitions as the servers gave them.
        listed = [marked(group, self.upstreams[group["server"]].config) for group in listed]
        # Field names as the engine spells them, from an engine over everything listed.
        offer = self.asked_offer.resolved(listed, _graphql.SchemaEngine(json.dumps(listed)),
                                          down=(u.name for u in self.upstreams.values() if not u.listed))
        catalogue, renamed = distinct(offer.shape(listed))
        self.generations += 1
        generation = Generation(self.generations, catalogue, routes(catalogue, renamed, answered_here),
                                _graphql.SchemaEngine, self.limits)
        generation.offer = offer
        return generation

    def _swap(self, generation: Generation) -> None:
        assert self._loop is not None
        self.observer.serving(generation.engine)
        generation.open(self._loop, self._on_query_thread, self._start_call)
        old, self.generation = self.generation, generation
        self.offer = generation.offer
        if old is not None:
            self._retiring.add(old)
            old.retire()
            asyncio.ensure_future(self._forget(old))
        self._tell(generation)

    def _tell(self, generation: Generation) -> None:
        changed, self._lists_changed = self._lists_changed, {}
        for follower in list(self._followers):
            follower(generation, changed)

    async def _forget(self, old: Generation) -> None:
        await old.released.wait()
        self._retiring.discard(old)

    def _listed(self, upstream: Upstream) -> None:
        """A server listed its tools again (back up, or list_changed): rebuild, debounced."""
        if upstream.restarts > self._restarts_seen.get(upstream.name, 0):
            self._restarts_seen[upstream.name] = upstream.restarts
            self.observer.upstream_restarted(upstream.name)
        if upstream.lists_changed:
            self._lists_changed.setdefault(upstream.name, set()).update(upstream.lists_changed)
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
                if not await self.rebuild() and self._lists_changed and self.generation is not None:
                    self._tell(self.generation)  # the same fields, other resources or prompts
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
            if self.generation is not None and generation.catalogue_text == self.generation.catalogue_text:
                return False
            if self._stopping.is_set():
                return False
            self._swap(generation)
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
        if unknown := self.asked_offer.unknown_servers(wanted):
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
        still_calling = [asyncio.ensure_future(g.released.wait()) for g in self._retiring]
        if still_calling:
            await asyncio.wait(still_calling, timeout=self.call_timeout)
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
                return json.dumps({"errors": [{"message": f"the variables are not JSON: {exc}"}]})
            if variables is not None and not isinstance(variables, dict):
                return json.dumps({"errors": [{"message": "the variables must be a JSON object"}]})
        async with self.held() as front:
            return json.dumps(await front.execute(query, variables, operation_name))

    async def _on_query_thread(self, function: Callable[..., str], *args: Any) -> str:
        """A query waits on a query thread, so the loop stays free for the tool calls; the
        replies its tool calls bring are counted against the bound while it runs."""
        assert self._loop is not None
        query_number = self.replies.started()
        try:
            # The document handed to the engine names the tool fields its calls will be for.
            with self.observer.query(args[0] if args and isinstance(args[0], str) else ""):
                return await self._loop.run_in_executor(self._executor, function, *args)
        finally:
            self.replies.ended(query_number)

    def detach(self) -> None:
        """Every generation's waiting fields fail now with the detached message; queries return."""
        self._stopping.set()
        for generation in self._live():
            generation.detach()

    def _live(self) -> list[Generation]:
        return [g for g in (self.generation, *self._retiring) if g is not None]

    async def close(self) -> None:
        """Receivers stopped, bridges detached (waiting fields fail), sessions and processes ended."""
        if self._closed:
            return
        self._closed = True
        self._stopping.set()
        if self._rebuilding is not None:
            self._rebuilding.cancel()
        for generation in self._live():
            await generation.stop()
        for call in list(self._calls):
            call.cancel()
        if self._calls:
            await asyncio.wait(self._calls)
        await asyncio.gather(*(u.close(CLOSE_SECONDS) for u in (*self.upstreams.values(), *self._leaving.values())))
        await asyncio.to_thread(self._executor.shutdown)
        self.observer.close()

    def _start_call(self, generation: Generation, request: str) -> None:
        call = asyncio.ensure_future(self._answer(generation, request))
        self._calls.add(call)
        call.add_done_callback(self._calls.discard)

    async def _answer(self, generation: Generation, request_text: str) -> None:
        engine = generation.engine  # the engine that asked is the one that gets the answer
        request = json.loads(request_text)
        request_id, server, tool = request["request_id"], request["server"], request["tool"]
        upstream = self.upstreams.get(server) or self._leaving.get(server)
        began = time.perf_counter()
        outcome = "error"
        observed = self.observer.tool_call(server, tool)
        try:
            if upstream is None:
                raise CallFailed(f"no server named {server!r}")
            payload = json.dumps(await self._reply(generation, upstream, tool, request.get("arguments") or {}),
                                 allow_nan=False)
            if len(payload) > self.max_result_bytes:  # ASCII: json.dumps escapes the rest
                raise CallFailed(f"{server}.{tool}: the result is {len(payload)} bytes of JSON, over the "
                                 f"gateway's bound of {self.max_result_bytes} (--max-result)")
            if not self.replies.take(len(payload)):
                raise CallFailed(f"{server}.{tool}: its reply of {len(payload)} bytes would take the "
                                 f"replies the gateway holds for queries in flight over {self.replies.limit} "
                                 f"bytes; retry when fewer queries run")
        except CallFailed as exc:
            engine.fail_tool_call(request_id, str(exc))
        except ValueError as exc:  # NaN or Infinity in structured content
            engine.fail_tool_call(request_id, f"{server}.{tool}: the result is not JSON: {exc}")
        except Exception as exc:  # the engine would wait for this id forever
            engine.fail_tool_call(request_id, f"{server}.{tool}: the gateway failed: {describe(exc)}")
            raise
        else:
            engine.respond_tool_call(request_id, payload)
            outcome = "ok"
        finally:
            if self.call_log is not None:  # names and timing only: arguments and results may be secret
                elapsed_ms = (time.perf_counter() - began) * 1000
                self.call_log(LogLine(f"call {server}.{tool} {elapsed_ms:.1f}ms {outcome}", kind="call",
                                      server=server, tool=tool, ms=round(elapsed_ms, 1), outcome=outcome))
            observed.end(outcome)  # after the line, which is written inside the call's span

    async def _reply(self, generation: Generation, upstream: Upstream, tool: str,
                     arguments: dict[str, Any]) -> dict[str, Any]:
        """The field's reply: a tool's result, or the answer of a field the gateway answers itself."""
        name, own = generation.routes.get((upstream.name, tool), (tool, False))
        timeout = upstream.config.timeout or self.call_timeout
        if own:
            return await upstream.answer_own(name, arguments, timeout)
        if spelled := generation.schema.argument_names.get((upstream.name, tool)):
            arguments = {spelled.get(key, key): value for key, value in arguments.items()}
        result = await upstream.call(name, arguments, timeout)
        if result.isError:
            text = "\n".join(block.text for block in result.content if isinstance(block, TextContent))
            raise CallFailed(text or f"{upstream.name}.{name} reported an error")
        return reply_of(result)
