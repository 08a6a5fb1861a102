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
A thread's turn runs the client's documents it finds waiting one after another,
for up to TURN_SECONDS, then the clients waiting for a thread go first.

The stop is an exception raised in the working thread at its next bytecode
(CPython's PyThreadState_SetAsyncExc): graphql-core cannot be told to give up,
and a thread that ran on would hold its worker for as long as the document
likes. It is armed only while the job runs, under a lock, and cleared before
the thread takes another job, so it can land nowhere else.
"""

import asyncio
import contextlib
import ctypes
import functools
import threading
import time
from collections import Counter, deque
from collections.abc import Callable
from typing import Any

PREPARE_THREADS = 2  # jobs on a thread at once
PREPARE_QUEUE = 1024  # jobs waiting (a coroutine each; one per client reaches the threads at once): more, 503
PREPARE_PER_CLIENT = 1  # threads one client's jobs take at once: the others wait their turn
CLIENT_QUEUE = 256  # jobs of one client in preparation or waiting (a test suite fires many at once): more, 429
PREPARE_SECONDS = 2.0  # one document's preparation, once it has a thread
QUEUE_SECONDS = 10.0  # the wait for a thread
BATCH_PREPARE_SECONDS = 5.0  # the preparations of one batch, together
# A thread's turn for one client: the jobs it finds waiting are run one after another for this long
# (the interpreter's switch interval, the time a thread keeps the lock before it offers it).
TURN_SECONDS = 0.005


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
        loop = asyncio.get_running_loop()
        self.function = function
        self.args = args
        self.thread: int | None = None  # the thread running it, while it may be stopped
        self.started: asyncio.Future[None] = loop.create_future()
        self.done: asyncio.Future[Any] = loop.create_future()  # its result, once a thread ran it
        self.stopped = False  # an exception was sent to it
        self.abandoned = False  # no one waits for it any more: not to be started


class Preparer:
    def __init__(self, threads: int = PREPARE_THREADS, queue: int = PREPARE_QUEUE,
                 per_client: int = PREPARE_PER_CLIENT, client_queue: int = CLIENT_QUEUE,
                 queue_seconds: float = QUEUE_SECONDS) -> None:
        self.threads = threads
        self.queue = queue
        self.per_client = per_client
        self.client_queue = client_queue
        self.queue_seconds = queue_seconds
        self._lock = threading.Lock()  # the jobs' queues and their threads' stops, shared with the threads
        # Counted on the loop: jobs waiting or on a thread, in all and per client; each client's
        # jobs not yet taken, the threads working for it, and the clients waiting for a thread.
        self._jobs = 0
        self._by_client: Counter[str] = Counter()
        self._queues: dict[str, deque[_Job]] = {}
        self._working: Counter[str] = Counter()
        self._free = threads
        self._next: dict[str, None] = {}  # clients waiting for a thread, in the order they came

    async def run(self, seconds: float, client: str, function: Callable[..., Any], *args: Any) -> Any:
        """function(*args) on a preparing thread for `client`; TooSlow past `seconds` of work,
        Busy when there is no room for it."""
        if self._by_client[client] >= self.client_queue:
            raise Busy(429, f"this client has {self.client_queue} documents waiting to be prepared, the most "
                            f"one client may have: retry when one is answered")
        if self._jobs >= self.threads + self.queue:
            raise Busy(503, f"{self._jobs} documents are being prepared: retry later")
        job = _Job(function, args)
        self._jobs += 1
        self._by_client[client] += 1
        with self._lock:
            self._queues.setdefault(client, deque()).append(job)
        if client not in self._next and self._working[client] < self.per_client:
            self._next[client] = None
            self._dispatch()
        try:
            try:
                async with asyncio.timeout(self.queue_seconds):
                    await asyncio.wait((job.started, job.done), return_when=asyncio.FIRST_COMPLETED)
            except TimeoutError:
                raise Busy(503, f"no thread to prepare the document within {self.queue_seconds:g} "
                                f"seconds: retry later") from None
            async with asyncio.timeout(seconds):
                return await asyncio.shield(job.done)
        except TimeoutError:
            self._stop(job)
            raise TooSlow(f"preparing the document took more than {seconds:g} seconds") from None
        except BaseException:
            self._stop(job)  # refused, or its request was cancelled: nobody reads the result
            raise

    def _dispatch(self) -> None:
        """Gives free threads to the clients waiting for one, in the order they came."""
        loop = asyncio.get_running_loop()
        while self._free and self._next:
            client = next(iter(self._next))
            del self._next[client]
            self._free -= 1
            self._working[client] += 1
            future = loop.run_in_executor(None, self._drain, client, self._queues[client], loop)
            future.add_done_callback(functools.partial(self._drained, client=client))

    def _drained(self, future: asyncio.Future[None], client: str) -> None:
        """A thread gave back its turn: the client's jobs left wait behind the other clients."""
        self._free += 1
        self._working[client] -= 1
        if not future.cancelled():
            future.exception()  # read: a fault of the thread's own is the job's, already told
        with self._lock:
            left = bool(self._queues.get(client))
        if left:
            self._next[client] = None
        self._forget(client)
        self._dispatch()

    def _finished(self, job: _Job, client: str, result: Any, error: BaseException | None) -> None:
        """A job a thread ran or skipped (its waiter may have left long before)."""
        self._jobs -= 1
        self._by_client[client] -= 1
        self._forget(client)
        if job.done.done() or job.abandoned:
            return
        if error is None:
            job.done.set_result(result)
        else:
            job.done.set_exception(error)

    def _forget(self, client: str) -> None:
        if not self._by_client[client] and not self._working[client]:
            self._by_client.pop(client, None)
            self._working.pop(client, None)
            self._queues.pop(client, None)

    def _drain(self, client: str, queue: deque[_Job], loop: asyncio.AbstractEventLoop) -> None:
        """One client's jobs in turn, for up to TURN_SECONDS: once a thread has the interpreter lock,
        the documents waiting behind one another are prepared without handing it back to the loop
        and waiting for it again for each; a slow one ends the turn, so the other clients' come soon."""
        began = time.monotonic()
        while time.monotonic() - began < TURN_SECONDS:
            with self._lock:
                if not queue:
                    return
                job = queue.popleft()
                wanted = not job.abandoned
                if wanted:
                    job.thread = threading.get_ident()
            if not wanted:
                _post(loop, self._finished, job, client, None, None)
                continue
            _post(loop, _set, job.started)
            result, error = self._work(job)
            _post(loop, self._finished, job, client, result, error)

    def _work(self, job: _Job) -> tuple[Any, BaseException | None]:
        try:
            try:
                return job.function(*job.args), None
            except Overdue:
                raise
            except BaseException as exc:  # the job's own failure, for its waiter
                return None, exc
            finally:
                self._disarm(job)
        except Overdue:
            self._disarm(job)  # again: the exception may have landed inside the first one
            return None, TooSlow("stopped")

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


def _set(started: asyncio.Future[None]) -> None:
    if not started.done():
        started.set_result(None)


def _post(loop: asyncio.AbstractEventLoop, callback: Callable[..., None], *args: Any) -> None:
    with contextlib.suppress(RuntimeError):  # the loop closed while the thread worked: nobody waits
        loop.call_soon_threadsafe(callback, *args)
