"""The gateway: MCP sessions on one event loop, the engine, and the threads between them."""

import asyncio
import json
import logging
import threading
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import _graphql
from mcp.types import CallToolResult, TextContent

from .access import Limits
from .budget import DEFAULT_REPLY_BYTES, ReplyBudget
from .config import DEFAULT_RESULT_LIMIT, ServerConfig
from .front import Front
from .names import Renamed, distinct
from .observe import Observer
from .offer import Offer
from .schema import GatewaySchema, build
from .upstream import CallFailed, Upstream, answered_here, describe, dump, json_or_none

POLL_MS = 100  # how long a receiver waits for a call before it checks for shutdown
RECEIVERS = 2  # they only hand calls to the loop, so a couple keep up with any load
CLOSE_SECONDS = 5.0  # per server, on top of the SDK's own two seconds of grace

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


def routes(catalogue: list[dict[str, Any]], renamed: list[Renamed]) -> dict[tuple[str, str], tuple[str, bool]]:
    """Where each catalogue entry's calls go: the name its server knows, and whether the
    gateway answers it itself (a resource or prompt field) rather than tools/call."""
    served_as = {(r.server, r.served_as): r.tool for r in renamed}
    return {(group["server"], tool["name"]): (served_as.get((group["server"], tool["name"]), tool["name"]),
                                              answered_here(tool))
            for group in catalogue for tool in group["tools"]}


class Gateway:
    """Starts the servers, builds one engine over their tools and serves its tool calls.

    Everything async runs on the loop that called start(); execute() may be
    awaited there, and engine.execute() called from any other thread.
    """

    def __init__(self, configs: list[ServerConfig], *, call_timeout: float = 30.0,
                 start_timeout: float = 30.0, query_threads: int = 4, offer: Offer | None = None,
                 call_log: Callable[[str], None] | None = None, limits: Limits | None = None,
                 reply_bytes: int = DEFAULT_REPLY_BYTES, max_result_bytes: int = DEFAULT_RESULT_LIMIT,
                 observer: Observer | None = None) -> None:
        self.configs = configs
        self.observer = observer or Observer()
        self.observer.watch((c.name for c in configs), lambda: {n: u.up for n, u in self.upstreams.items()})
        self.offer = offer or Offer()
        self.call_log = call_log
        self.call_timeout = call_timeout
        self.max_result_bytes = max_result_bytes
        # (server, tool name in the catalogue) -> (the name its server knows, answered by the gateway?)
        self._routes: dict[tuple[str, str], tuple[str, bool]] = {}
        self.start_timeout = start_timeout
        self.upstreams: dict[str, Upstream] = {}
        self.limits = limits or Limits()
        self.engine: _graphql.SchemaEngine | None = None
        self.schema: GatewaySchema | None = None
        self.front: Front | None = None  # every entry point's reader of GraphQL documents
        self.writing_fields: frozenset[str] = frozenset()  # fields of the tools that are not read-only
        self.query_threads = query_threads
        self.replies = ReplyBudget(reply_bytes)  # tool replies held for queries in flight
        self._executor = ThreadPoolExecutor(query_threads, thread_name_prefix="query")
        self._stopping = threading.Event()
        self._receivers: list[threading.Thread] = []
        self._calls: set[asyncio.Future[None]] = set()
        self._loop: asyncio.AbstractEventLoop | None = None

    async def __aenter__(self) -> Gateway:
        await self.start()
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()

    async def start(self) -> None:
        self._loop = asyncio.get_running_loop()
        try:
            upstreams = [Upstream(config) for config in self.configs]
            self.upstreams = {u.name: u for u in upstreams}
            await asyncio.gather(*(u.started(self.start_timeout) for u in upstreams))
            listed = [u.group() for u in upstreams if u.up]
            # Field names as the engine spells them, from an engine over everything listed.
            self.offer = self.offer.resolved(listed, _graphql.SchemaEngine(json.dumps(listed)),
                                             down=(u.name for u in upstreams if not u.up))
            catalogue, renamed = distinct(self.offer.shape(listed))
            self._routes = routes(catalogue, renamed)
            self.engine = _graphql.SchemaEngine(json.dumps(catalogue))
            self.schema = build(catalogue, self.engine)
            self.writing_fields = frozenset(f for f, tool in self.schema.tools.items() if not tool.read_only)
            self.front = Front(self.schema, self.engine, self._on_query_thread, self.limits)
            self.observer.serving(self.engine)
            self.engine.attach_call_bridge()
            for n in range(RECEIVERS):
                thread = threading.Thread(target=self._receive, name=f"tool-receiver-{n}", daemon=True)
                thread.start()
                self._receivers.append(thread)
        except BaseException:
            await self.close()
            raise

    def health(self) -> dict[str, Any]:
        servers = {name: {"up": u.up, **({"failure": u.failure} if u.failure else {})}
                   for name, u in self.upstreams.items()}
        return {"up": all(s["up"] for s in servers.values()), "servers": servers}

    async def execute(self, query: str, variables: str | dict[str, Any] | None = None,
                      operation_name: str | None = None) -> str:
        """The response JSON of one request, through the front (a request error as its errors).
        `variables` is a dict or its JSON text."""
        assert self.front is not None
        if isinstance(variables, str):
            try:
                variables = json.loads(variables) if variables.strip() else None
            except ValueError as exc:
                return json.dumps({"errors": [{"message": f"the variables are not JSON: {exc}"}]})
            if variables is not None and not isinstance(variables, dict):
                return json.dumps({"errors": [{"message": "the variables must be a JSON object"}]})
        return json.dumps(await self.front.execute(query, variables, operation_name))

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

    async def close(self) -> None:
        """Receivers stopped, bridge detached (waiting fields fail), sessions and processes ended."""
        if self._stopping.is_set():
            return
        self._stopping.set()
        for thread in self._receivers:
            await asyncio.to_thread(thread.join)
        if self.engine is not None:
            self.engine.detach_call_bridge()
        for call in list(self._calls):
            call.cancel()
        if self._calls:
            await asyncio.wait(self._calls)
        await asyncio.gather(*(u.close(CLOSE_SECONDS) for u in self.upstreams.values()))
        await asyncio.to_thread(self._executor.shutdown)
        self.observer.close()

    def _receive(self) -> None:
        assert self.engine is not None and self._loop is not None
        while not self._stopping.is_set():
            request = self.engine.receive_tool_call(POLL_MS)
            if request is not None:
                self._loop.call_soon_threadsafe(self._start_call, request)

    def _start_call(self, request: str) -> None:
        call = asyncio.ensure_future(self._answer(request))
        self._calls.add(call)
        call.add_done_callback(self._calls.discard)

    async def _answer(self, request_text: str) -> None:
        assert self.engine is not None
        request = json.loads(request_text)
        request_id, server, tool = request["request_id"], request["server"], request["tool"]
        upstream = self.upstreams.get(server)
        began = time.perf_counter()
        outcome = "error"
        observed = self.observer.tool_call(server, tool)
        try:
            if upstream is None:
                raise CallFailed(f"no server named {server!r}")
            payload = json.dumps(await self._reply(upstream, tool, request.get("arguments") or {}),
                                 allow_nan=False)
            if len(payload) > self.max_result_bytes:  # ASCII: json.dumps escapes the rest
                raise CallFailed(f"{server}.{tool}: the result is {len(payload)} bytes of JSON, over the "
                                 f"gateway's bound of {self.max_result_bytes} (--max-result)")
            if not self.replies.take(len(payload)):
                raise CallFailed(f"{server}.{tool}: its reply of {len(payload)} bytes would take the "
                                 f"replies the gateway holds for queries in flight over {self.replies.limit} "
                                 f"bytes; retry when fewer queries run")
        except CallFailed as exc:
            self.engine.fail_tool_call(request_id, str(exc))
        except ValueError as exc:  # NaN or Infinity in structured content
            self.engine.fail_tool_call(request_id, f"{server}.{tool}: the result is not JSON: {exc}")
        except Exception as exc:  # the engine would wait for this id forever
            self.engine.fail_tool_call(request_id, f"{server}.{tool}: the gateway failed: {describe(exc)}")
            raise
        else:
            self.engine.respond_tool_call(request_id, payload)
            outcome = "ok"
        finally:
            if self.call_log is not None:  # names and timing only: arguments and results may be secret
                elapsed_ms = (time.perf_counter() - began) * 1000
                self.call_log(f"call {server}.{tool} {elapsed_ms:.1f}ms {outcome}")
            observed.end(outcome)  # after the line, which is written inside the call's span

    async def _reply(self, upstream: Upstream, tool: str, arguments: dict[str, Any]) -> dict[str, Any]:
        """The field's reply: a tool's result, or the answer of a field the gateway answers itself."""
        name, own = self._routes.get((upstream.name, tool), (tool, False))
        if own:
            return await upstream.answer_own(name, arguments, self.call_timeout)
        result = await upstream.call(name, arguments, self.call_timeout)
        if result.isError:
            text = "\n".join(block.text for block in result.content if isinstance(block, TextContent))
            raise CallFailed(text or f"{upstream.name}.{name} reported an error")
        return reply_of(result)
