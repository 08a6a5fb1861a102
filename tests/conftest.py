import asyncio
import json
import os
import pathlib
import sys
import sysconfig
import threading
import time

import pytest

# Tests run against the freshly built module in build/ (build-ft/ on a
# free-threaded interpreter, whose modules carry another suffix), unless one is
# installed.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
BUILD = pathlib.Path(__file__).resolve().parent.parent / ("build-ft" if FREE_THREADED else "build")
if BUILD.is_dir():
    sys.path.insert(0, str(BUILD))

DEADLINE = 60  # seconds; only catches a hang: a hang fails the test instead of the suite


def _pauses(what):
    """The pauses between a poll's asks: short at first, as most states come at once, longer
    later so a slow one costs little; the test fails once DEADLINE has passed."""
    began = time.monotonic()
    pause = 0.001
    while True:
        assert time.monotonic() - began < DEADLINE, f"gave up waiting for {what}"
        yield pause
        pause = min(pause * 2, 0.05)


def poll(check, what):
    """The first true value of `check()`, asked until DEADLINE: for states that come
    asynchronously, where a fixed pause would be overtaken on a busy machine."""
    pauses = _pauses(what)
    while not (value := check()):
        time.sleep(next(pauses))
    return value


async def poll_async(check, what):
    """poll() for a check on the running loop, which keeps running while it waits."""
    pauses = _pauses(what)
    while not (value := check()):
        await asyncio.sleep(next(pauses))
    return value


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: takes seconds (a browser, HAProxy, npm suites and tools, stress); "
                            "tools/test --quick leaves these out")


# Set by the sanitized run (tools/check asan) for our own interpreter and module only.
SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS")


def foreign_env(**extra: str) -> dict[str, str]:
    """The environment for someone else's program (node, a browser and its driver): without the
    sanitizer runtimes the sanitized run preloads, whose leak reports in those programs would
    otherwise become their exit status."""
    return {**{k: v for k, v in os.environ.items() if k not in SANITIZER_VARIABLES}, **extra}


def require_mcp_sdk() -> None:
    """Skips the calling test module on the free-threaded interpreter when the MCP SDK
    does not import there: its pydantic_core is a C extension that Debian builds for
    the interpreter with the GIL. Anywhere else a failing import stays an error."""
    if not FREE_THREADED:
        return
    try:
        import mcp.types  # noqa: F401
    except ImportError as error:
        pytest.skip(f"the MCP SDK does not import on the free-threaded interpreter: {error}",
                    allow_module_level=True)


class Host:
    """A host thread that serves an engine's tool calls with `answer(request)`.

    `answer` returns ("respond", text), ("fail", message) or None (leave unanswered).
    """

    def __init__(self, engine, answer):
        self.engine = engine
        self.answer = answer
        self.requests = []
        self._results = []
        self._answering = 0  # answers begun; each one's result follows
        self._answered = threading.Condition()
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self.stop.is_set():
            text = self.engine.receive_tool_call(20)
            if text is None:
                continue
            request = json.loads(text)
            self.requests.append((text, request))
            reply = self.answer(request)
            if reply is None:
                continue
            kind, payload = reply
            method = self.engine.respond_tool_call if kind == "respond" else self.engine.fail_tool_call
            with self._answered:
                self._answering += 1
            result = method(request["request_id"], payload)
            with self._answered:
                self._results.append(result)
                self._answered.notify_all()

    @property
    def results(self):
        """What the answers begun so far returned.

        The waiting call may return as soon as the reply is handed over, before
        the answer's own call does; without a GIL the test then reads on while
        this thread is still inside it, so reading waits for every begun answer.
        """
        with self._answered:
            done = self._answered.wait_for(lambda: len(self._results) == self._answering, DEADLINE)
            assert done, "an answer to a tool call did not return"
            return list(self._results)

    def close(self):
        self.stop.set()
        self.thread.join(DEADLINE)
        assert not self.thread.is_alive(), "host thread did not stop"


@pytest.fixture
def serve():
    hosts = []

    def start(engine, answer=lambda request: ("respond", '{"ok":true}')):
        host = Host(engine, answer)
        hosts.append(host)
        return host

    yield start
    for host in hosts:
        host.close()


class LoopThread:
    """An event loop on its own thread, as the gateway's sessions need one."""

    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()

    def run(self, coroutine):
        return asyncio.run_coroutine_threadsafe(coroutine, self.loop).result(DEADLINE * 2)

    def close(self):
        """Ends the loop as asyncio.run ends its own: a task still pending (a library's watcher
        the server's stop does not end) is cancelled here, not destroyed by the collector later,
        in whichever test runs then, where its error log fails tests that read the log."""
        async def cancel_the_rest():
            rest = asyncio.all_tasks() - {asyncio.current_task()}
            for task in rest:
                task.cancel()
            await asyncio.gather(*rest, return_exceptions=True)
            await self.loop.shutdown_asyncgens()

        self.run(cancel_the_rest())
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(DEADLINE)
        assert not self.thread.is_alive(), "event loop thread did not stop"
        self.loop.close()


@pytest.fixture(scope="module")
def runner():
    """The loop thread a test module's gateways run on."""
    runner = LoopThread()
    yield runner
    runner.close()


def run_in_thread(function, *args):
    """Runs function(*args) on a thread; returns a callable that joins it with a deadline."""
    box = {}

    def target():
        try:
            box["value"] = function(*args)
        except BaseException as error:  # handed to the test thread
            box["error"] = error

    thread = threading.Thread(target=target, daemon=True)
    thread.start()

    def result(timeout=DEADLINE):
        thread.join(timeout)
        assert not thread.is_alive(), "thread did not finish"
        if "error" in box:
            raise box["error"]
        return box["value"]

    return result
