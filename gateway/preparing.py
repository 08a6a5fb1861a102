"""Threads that prepare new documents, so that reading one never holds the event loop.

Parsing, validating and planning a document a client sends, and answering its
introspection, is pure Python whose cost the document chooses (graphql-core's
check that fields can merge compares them pairwise). Each runs here, on the
loop's default executor (not the query threads, which are admitted per
client), at most `threads` at once, so that the loop competes for the
interpreter lock with few; the executor's threads end with the loop. Each
runs under a time bound that starts when the work does: past it the work
is stopped where it stands and the request refused. One client (one address)
has one thread at a time, its other documents waiting their turn (at most
CLIENT_QUEUE, then 429), so a client sending slow documents holds one thread
at most; a full queue, or a wait for a thread past QUEUE_SECONDS, refuses (503).

The stop is an exception raised in the working thread at its next bytecode
(CPython's PyThreadState_SetAsyncExc): graphql-core cannot be told to give up,
and a thread that ran on would hold its worker for as long as the document
likes. It is armed only while the job runs, under a lock, and cleared before
the thread takes another job, so it can land nowhere else.
"""

import asyncio
import ctypes
import threading
from collections import Counter
from collections.abc import Callable
from typing import Any

PREPARE_THREADS = 2  # jobs on a thread at once
PREPARE_QUEUE = 1024  # jobs waiting (a coroutine each; one per client reaches the threads at once): more, 503
PREPARE_PER_CLIENT = 1  # threads one client's jobs take at once: the others wait their turn
CLIENT_QUEUE = 256  # jobs of one client in preparation or waiting (a test suite fires many at once): more, 429
PREPARE_SECONDS = 2.0  # one document's preparation, once it has a thread
QUEUE_SECONDS = 10.0  # the wait for a thread
BATCH_PREPARE_SECONDS = 5.0  # the preparations of one batch, together


class Overdue(BaseException):
    """Raised inside a job that ran past its time (never seen outside this module). A
    BaseException, as KeyboardInterrupt is: code that catches every Exception to report a
    failure of its own (graphql-core does, here and there) must not swallow it."""


class Busy(Exception):
    """No room: `status` 429 (this client has a document in preparation) or 503 (queue full)."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


class TooSlow(Exception):
    """The job did not finish within its time and was stopped."""


class _Job:
    def __init__(self, function: Callable[..., Any], args: tuple[Any, ...]) -> None:
        self.function = function
        self.args = args
        self.thread: int | None = None  # the thread running it, while it may be stopped
        self.started: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        self.stopped = False  # an exception was sent to it
        self.abandoned = False  # no one waits for it any more: not to be started


def _set(started: asyncio.Future[None]) -> None:
    if not started.done():
        started.set_result(None)


class Preparer:
    def __init__(self, threads: int = PREPARE_THREADS, queue: int = PREPARE_QUEUE,
                 per_client: int = PREPARE_PER_CLIENT, client_queue: int = CLIENT_QUEUE,
                 queue_seconds: float = QUEUE_SECONDS) -> None:
        self.threads = threads
        self.queue = queue
        self.per_client = per_client
        self.client_queue = client_queue
        self.queue_seconds = queue_seconds
        self._lock = threading.Lock()
        # Counted on the loop: jobs waiting or on a thread, in all and per client, and each
        # client's turn for a thread.
        self._jobs = 0
        self._by_client: Counter[str] = Counter()
        self._turns: dict[str, asyncio.Semaphore] = {}
        self._running = asyncio.Semaphore(threads)

    async def run(self, seconds: float, client: str, function: Callable[..., Any], *args: Any) -> Any:
        """function(*args) on a preparing thread for `client`; TooSlow past `seconds` of work,
        Busy when there is no room for it."""
        if self._by_client[client] >= self.client_queue:
            raise Busy(429, f"this client has {self.client_queue} documents waiting to be prepared, the most "
                            f"one client may have: retry when one is answered")
        if self._jobs >= self.threads + self.queue:
            raise Busy(503, f"{self._jobs} documents are being prepared: retry later")
        self._jobs += 1
        self._by_client[client] += 1
        turn = self._turns.setdefault(client, asyncio.Semaphore(self.per_client))
        loop = asyncio.get_running_loop()
        deadline = loop.time() + self.queue_seconds
        submitted = False
        try:
            try:
                async with asyncio.timeout_at(deadline):
                    await turn.acquire()  # the client's own turn first: one thread per client at most
                    try:
                        await self._running.acquire()
                    except BaseException:
                        turn.release()
                        raise
            except TimeoutError:
                raise Busy(503, f"no thread to prepare the document within {self.queue_seconds:g} seconds: "
                                f"retry later") from None
            job = _Job(function, args)
            future = loop.run_in_executor(None, self._work, job, loop)
            submitted = True
            future.add_done_callback(lambda done: self._finished(done, client, turn))
            try:
                try:
                    async with asyncio.timeout_at(deadline):
                        await asyncio.wait((job.started, future), return_when=asyncio.FIRST_COMPLETED)
                except TimeoutError:
                    raise Busy(503, f"no thread to prepare the document within {self.queue_seconds:g} "
                                    f"seconds: retry later") from None
                async with asyncio.timeout(seconds):
                    return await asyncio.shield(future)
            except TimeoutError:
                self._stop(job)
                raise TooSlow(f"preparing the document took more than {seconds:g} seconds") from None
            except BaseException:
                self._stop(job)  # refused, or its request was cancelled: nobody reads the result
                raise
        finally:
            if not submitted:
                self._release(client)

    def _finished(self, future: asyncio.Future[Any], client: str, turn: asyncio.Semaphore) -> None:
        """A job's thread is done with it (its waiter may have left long before)."""
        self._running.release()
        turn.release()
        self._release(client)
        if not future.cancelled():
            future.exception()  # read, so that a stopped job's exception is not reported as lost

    def _release(self, client: str) -> None:
        self._jobs -= 1
        self._by_client[client] -= 1
        if not self._by_client[client]:  # nobody of this client waits on its turn either
            del self._by_client[client]
            del self._turns[client]

    def _work(self, job: _Job, loop: asyncio.AbstractEventLoop) -> Any:
        try:
            with self._lock:
                if job.abandoned:
                    raise Overdue
                job.thread = threading.get_ident()
            loop.call_soon_threadsafe(_set, job.started)
            try:
                return job.function(*job.args)
            finally:
                self._disarm(job)
        except Overdue:
            self._disarm(job)  # again: the exception may have landed inside the first one
            raise TooSlow("stopped") from None

    def _disarm(self, job: _Job) -> None:
        with self._lock:
            if job.thread is not None and job.stopped:
                ctypes.pythonapi.PyThreadState_SetAsyncExc(ctypes.c_ulong(job.thread), None)  # one not yet raised
            job.thread = None
            job.stopped = False

    def _stop(self, job: _Job) -> None:
        with self._lock:
            job.abandoned = True
            if job.thread is not None and not job.stopped:
                job.stopped = True
                ctypes.pythonapi.PyThreadState_SetAsyncExc(ctypes.c_ulong(job.thread), ctypes.py_object(Overdue))
