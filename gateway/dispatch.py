"""Queries on the query threads, and the tool calls their engines make, handed to the upstreams.

A generation's receivers post each call its engine makes to the loop; here it
becomes a task that asks the server (or answers an own field), bounds the
reply, and answers the engine that asked, by id. Every call ends: answered,
failed by its server or its time limit, or failed at close.
"""

import asyncio
import queue
import threading
import time
from collections.abc import Callable
from typing import Any

from . import json_text
from .access_log import LogLine
from .budget import ReplyBudget
from .generation import Generation
from .observe import Observer
from .replies import CallFailed, reply_of, text_of
from .upstream import Upstream, describe


class Dispatcher:
    """`upstream_of(server)` finds who answers a server's calls (None: no such server)."""

    def __init__(self, upstream_of: Callable[[str], Upstream | None], observer: Observer, *,
                 query_threads: int, call_timeout: float, max_result_bytes: int, replies: ReplyBudget,
                 call_log: Callable[[str], None] | None = None) -> None:
        self.upstream_of = upstream_of
        self.observer = observer
        self.call_timeout = call_timeout
        self.max_result_bytes = max_result_bytes
        self.replies = replies  # tool replies held for queries in flight
        self.call_log = call_log
        self._threads = QueryThreads(query_threads)
        self._calls: set[asyncio.Task[None]] = set()

    async def on_query_thread(self, fields: frozenset[str], function: Callable[..., str], *args: Any) -> str:
        """A query waits on a query thread, so the loop stays free for the tool calls; the
        replies its tool calls bring are counted against the bound while it runs."""
        query_number = self.replies.started()
        try:
            with self.observer.query(fields):
                text: str = await self._threads.run(function, *args)
                return text
        finally:
            self.replies.ended(query_number)

    def dispatch(self, generation: Generation, request: str) -> None:
        """One tool call of `generation`'s engine, answered by a task of its own (on the loop)."""
        # Started at once, not on the loop's next turn: it runs up to its write to the server.
        call = asyncio.get_running_loop().create_task(self._answer(generation, request), eager_start=True)
        self._calls.add(call)
        call.add_done_callback(self._calls.discard)

    async def close(self) -> None:
        """Calls still running cancelled and awaited, then the query threads ended."""
        for call in list(self._calls):
            call.cancel()
        if self._calls:
            await asyncio.wait(self._calls)
        await self._threads.close()

    async def _answer(self, generation: Generation, request_text: str) -> None:
        engine = generation.engine  # the engine that asked is the one that gets the answer
        request = json_text.loads(request_text)
        request_id, server, tool = request["request_id"], request["server"], request["tool"]
        upstream = self.upstream_of(server)
        began = time.perf_counter()
        outcome = "error"
        observed = self.observer.tool_call(server, tool)
        try:
            if upstream is None:
                raise CallFailed(f"no server named {server!r}")
            payload = json_text.dumps_ascii(await self._reply(generation, upstream, tool,
                                                              request.get("arguments") or {}))
            if len(payload) > self.max_result_bytes:  # ASCII: characters are bytes
                raise CallFailed(f"{server}.{tool}: the field's reply (its text, json and content together) is "
                                 f"{len(payload)} bytes of JSON, over the gateway's bound of "
                                 f"{self.max_result_bytes} (--max-result)")
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
        """The field's reply: a tool's result, or the answer of one of the server's own fields."""
        name, own = generation.routes.get((upstream.name, tool), (tool, False))
        timeout = upstream.config.timeout or self.call_timeout
        if own:
            return await upstream.answer_own_field(name, arguments, timeout)
        if spelled := generation.schema.argument_names.get((upstream.name, tool)):
            arguments = {spelled.get(key, key): value for key, value in arguments.items()}
        result = await upstream.call(name, arguments, timeout)
        if result["isError"]:
            raise CallFailed(text_of(result) or f"{upstream.name}.{name} reported an error")
        return reply_of(result)


class QueryThreads:
    """Up to `count` threads (started as they are first needed) that run functions for the loop,
    each result handed back in one call to the loop: the thread does no more with the interpreter
    lock once its function returns, so it takes the lock from a busy loop as little as it can."""

    def __init__(self, count: int) -> None:
        self.count = count
        self._jobs: queue.SimpleQueue[tuple[asyncio.AbstractEventLoop, asyncio.Future[Any],
                                            Callable[..., Any], tuple[Any, ...]] | None] = queue.SimpleQueue()
        self._threads: list[threading.Thread] = []
        self._busy = 0  # functions given and not yet returned; counted on the loop only

    async def run(self, function: Callable[..., Any], *args: Any) -> Any:
        """function(*args) on a query thread; the caller (through admission) keeps at most `count`
        at once, and more wait for a free thread."""
        loop = asyncio.get_running_loop()
        future = loop.create_future()
        self._jobs.put((loop, future, function, args))
        self._busy += 1
        if self._busy > len(self._threads) and len(self._threads) < self.count:
            thread = threading.Thread(target=self._work, name=f"query_{len(self._threads)}", daemon=True)
            thread.start()
            self._threads.append(thread)
        return await future

    async def close(self) -> None:
        """The threads ended once the functions they run have returned."""
        for _ in self._threads:
            self._jobs.put(None)
        for thread in self._threads:
            await asyncio.to_thread(thread.join)
        self._threads.clear()

    def _work(self) -> None:
        while (job := self._jobs.get()) is not None:
            loop, future, function, args = job
            try:
                result = function(*args)
            except BaseException as exc:  # the loop's task raises it
                outcome: tuple[Any, BaseException | None] = (None, exc)
            else:
                outcome = (result, None)
            try:
                loop.call_soon_threadsafe(self._settle, future, *outcome)
            except RuntimeError:  # the loop has closed: nobody waits for the result
                pass
            del job, future, function, args, outcome

    def _settle(self, future: asyncio.Future[Any], result: Any, exc: BaseException | None) -> None:
        self._busy -= 1  # a thread is free again, whether or not anyone still waits for its result
        if future.done():  # its task was cancelled: nobody waits for the result
            return
        if exc is not None:
            future.set_exception(exc)
        else:
            future.set_result(result)
