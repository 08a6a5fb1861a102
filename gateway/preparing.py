"""Threads that prepare new documents, so that reading one never holds the event loop.

Parsing, validating and planning a document a client sends, and answering its
introspection, is pure Python whose cost the document chooses (graphql-core's
check that fields can merge compares them pairwise). Each runs here, on one of
a few threads of its own (not the query threads, which are admitted per
client), under a time bound: past it the work is stopped where it stands and
the request refused. A full queue refuses at once.

The stop is an exception raised in the working thread at its next bytecode
(CPython's PyThreadState_SetAsyncExc): graphql-core cannot be told to give up,
and a thread that ran on would hold its worker for as long as the document
likes. It is armed only while the job runs, under a lock, and cleared before
the thread takes another job, so it can land nowhere else.
"""

import asyncio
import ctypes
import threading
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from typing import Any

PREPARE_THREADS = 2
PREPARE_QUEUE = 32  # jobs waiting for a thread; more are refused (503)
PREPARE_SECONDS = 2.0  # one document's preparation, waiting included
BATCH_PREPARE_SECONDS = 5.0  # the preparations of one batch, together


class Overdue(Exception):
    """Raised inside a job that ran past its time (never seen outside this module)."""


class Busy(Exception):
    """Every preparing thread is taken and the queue is full."""


class TooSlow(Exception):
    """The job did not finish within its time and was stopped."""


class _Job:
    def __init__(self, function: Callable[..., Any], args: tuple[Any, ...]) -> None:
        self.function = function
        self.args = args
        self.thread: int | None = None  # the thread running it, while it may be stopped
        self.stopped = False  # an exception was sent to it
        self.abandoned = False  # no one waits for it any more: not to be started


class Preparer:
    def __init__(self, threads: int = PREPARE_THREADS, queue: int = PREPARE_QUEUE) -> None:
        self.threads = threads
        self.queue = queue
        self._executor = ThreadPoolExecutor(threads, thread_name_prefix="prepare")
        self._lock = threading.Lock()
        self._jobs = 0  # submitted and not finished: counted on the loop

    async def run(self, seconds: float, function: Callable[..., Any], *args: Any) -> Any:
        """function(*args) on a preparing thread; TooSlow past `seconds`, Busy when full."""
        if self._jobs >= self.threads + self.queue:
            raise Busy(f"{self._jobs} documents are being prepared: retry later")
        job = _Job(function, args)
        self._jobs += 1
        future = asyncio.get_running_loop().run_in_executor(self._executor, self._work, job)
        future.add_done_callback(self._finished)
        try:
            async with asyncio.timeout(seconds):
                return await asyncio.shield(future)
        except TimeoutError:
            self._stop(job)
            raise TooSlow(f"preparing the document took more than {seconds:g} seconds") from None
        except BaseException:
            self._stop(job)  # its request was cancelled: nobody reads the result
            raise

    def close(self) -> None:
        self._executor.shutdown(wait=False, cancel_futures=True)

    def _finished(self, future: asyncio.Future[Any]) -> None:
        self._jobs -= 1
        if not future.cancelled():
            future.exception()  # read, so that a stopped job's exception is not reported as lost

    def _work(self, job: _Job) -> Any:
        try:
            with self._lock:
                if job.abandoned:
                    raise Overdue
                job.thread = threading.get_ident()
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
