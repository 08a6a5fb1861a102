"""Everything at once for a bounded time: queries on 8 threads, tool calls taken and
answered on 4 host threads (respond, fail, or no answer and a detach), the bridge
detached and attached at random, and engines created and released meanwhile.

ZIRI_STRESS_SECONDS sets how long (5 by default; `tools/check stress` runs longer).
"""

import gc
import json
import os
import random
import threading
import time

import pytest
from _graphql import SchemaEngine

pytestmark = pytest.mark.slow

SECONDS = float(os.environ.get("ZIRI_STRESS_SECONDS", "5"))
JOIN_DEADLINE = SECONDS + 120  # seconds for every thread to end once told to stop
CATALOGUE = json.dumps({"server": "s", "tools": [{"name": "t"}, {"name": "u", "readOnly": False}]})
POOL_SIZE = 3
DETACHED = {"isError": True, "json": None, "text": "CallBridge is detached"}
PLACEHOLDER_START = "SchemaEngine stub resolved s."


def task_count():
    return len(os.listdir("/proc/self/task"))


class Engines:
    """A few live engines, each replaced now and then by a new one.

    Every engine has a serial number, so that replies can say which engine's
    call they answer. A replaced engine is detached first, as a host would on
    shutdown; its last reference may then go on any thread.
    """

    def __init__(self):
        self.lock = threading.Lock()
        self.serial = 0
        self.pool = [self._new() for _ in range(POOL_SIZE)]

    def _new(self):
        engine = SchemaEngine(CATALOGUE)
        engine.attach_call_bridge()
        self.serial += 1
        return self.serial, engine

    def pick(self, rng):
        with self.lock:
            return rng.choice(self.pool)

    def replace(self, rng):
        with self.lock:
            slot = rng.randrange(POOL_SIZE)
            old = self.pool[slot]
            self.pool[slot] = self._new()
        old[1].detach_call_bridge()

    def detach_all(self):
        with self.lock:
            engines = list(self.pool)
        for _, engine in engines:
            engine.detach_call_bridge()


class Ledger:
    """Who answered what: every (engine, request id) that respond or fail accepted,
    and every reply that a query's field carried back."""

    def __init__(self):
        self.lock = threading.Lock()
        self.accepted = {}  # (serial, request id) -> times accepted
        self.carried = {}  # (serial, request id) -> times seen in a response
        self.failures = []
        self.queries = 0
        self.answers = 0

    def accept(self, key, accepted):
        with self.lock:
            self.answers += 1
            if accepted:
                self.accepted[key] = self.accepted.get(key, 0) + 1

    def carry(self, key):
        with self.lock:
            self.carried[key] = self.carried.get(key, 0) + 1

    def fail(self, message):
        with self.lock:
            self.failures.append(message)


def executor(index, engines, ledger, stop):
    rng = random.Random(index)
    counter = 0
    while not stop.is_set():
        serial, engine = engines.pick(rng)
        counter += 1
        tokens = {"a": f"q{index}-{counter}-a", "b": f"q{index}-{counter}-b"}
        shape = rng.randrange(3)
        if shape == 0:
            query, variables = "{ __typename }", None
            tokens = {}
        elif shape == 1:
            query = f'{{ a: s_t(token: "{tokens["a"]}") b: s_u(token: "{tokens["b"]}", n: [1, 2]) }}'
            variables = None
        else:
            query = 'query ($t: String) { a: s_t(token: $t) servers b: s_u(token: "%s") }' % tokens["b"]
            variables = json.dumps({"t": tokens["a"]})
        response = engine.execute(query, variables)
        try:
            body = json.loads(response)
        except ValueError:
            ledger.fail(f"response is not JSON: {response[:200]!r}")
            continue
        if body.get("errors") != [] or not isinstance(body.get("data"), dict):
            ledger.fail(f"unexpected envelope: {response[:200]}")
            continue
        if shape == 0 and body["data"] != {"__typename": "Query"}:
            ledger.fail(f"wrong built-in: {response[:200]}")
        for key, token in tokens.items():
            check_field(body["data"].get(key), serial, token, ledger)
        with ledger.lock:
            ledger.queries += 1


def check_field(value, serial, token, ledger):
    """A tool field holds our own echo, our own failure, or one of the two fixed errors."""
    if isinstance(value, dict) and "echo" in value:
        if value["echo"] != token or value["engine"] != serial:
            ledger.fail(f"reply delivered to the wrong field: {value} for {serial}/{token}")
        ledger.carry((value["engine"], value["id"]))
    elif isinstance(value, dict) and value.get("isError") is True and value.get("json") is None:
        text = value.get("text", "")
        if text.startswith("failed "):
            _, engine, request_id, failed_token = text.split(" ")
            if failed_token != token or int(engine) != serial:
                ledger.fail(f"failure delivered to the wrong field: {text} for {serial}/{token}")
            ledger.carry((int(engine), request_id))
        elif value != DETACHED and not text.startswith(PLACEHOLDER_START):
            ledger.fail(f"unexpected error value: {value}")
    else:
        ledger.fail(f"unexpected field value: {value!r}")


def host(index, engines, ledger, stop):
    rng = random.Random(1000 + index)
    while not stop.is_set():
        serial, engine = engines.pick(rng)
        text = engine.receive_tool_call(rng.choice((0, 1, 5, 20)))
        if text is None:
            continue
        request = json.loads(text)
        request_id = request["request_id"]
        token = request["arguments"].get("token", "")
        choice = rng.random()
        if choice < 0.7:
            reply = json.dumps({"echo": token, "engine": serial, "id": request_id})
            ledger.accept((serial, request_id), engine.respond_tool_call(request_id, reply))
        elif choice < 0.9:
            message = f"failed {serial} {request_id} {token}"
            ledger.accept((serial, request_id), engine.fail_tool_call(request_id, message))
        else:
            # No answer: the call waits until its engine is detached.
            time.sleep(rng.random() * 0.002)
            engine.detach_call_bridge()
        if rng.random() < 0.1:
            # A second answer to the same id never lands twice.
            ledger.accept((serial, request_id), engine.respond_tool_call(request_id, "{}"))


def flipper(engines, stop):
    rng = random.Random(2000)
    while not stop.is_set():
        serial, engine = engines.pick(rng)
        if rng.random() < 0.3:
            engine.detach_call_bridge()
        else:
            engine.attach_call_bridge()
        time.sleep(rng.random() * 0.005)


def replacer(engines, stop):
    rng = random.Random(3000)
    while not stop.is_set():
        time.sleep(0.02)
        engines.replace(rng)


def test_everything_at_once_for_a_while():
    gc.collect()
    threads_before, tasks_before = threading.active_count(), task_count()
    engines, ledger, stop = Engines(), Ledger(), threading.Event()
    errors = []

    def guarded(function, *args):
        def run():
            try:
                function(*args)
            except BaseException as error:  # handed to the test thread
                errors.append(error)
                stop.set()
        return threading.Thread(target=run, name=function.__name__, daemon=True)

    threads = (
        [guarded(executor, i, engines, ledger, stop) for i in range(8)]
        + [guarded(host, i, engines, ledger, stop) for i in range(4)]
        + [guarded(flipper, engines, stop), guarded(replacer, engines, stop)]
    )
    for thread in threads:
        thread.start()
    stop.wait(SECONDS)
    stop.set()
    # Calls that nobody will answer any more end when their engine is detached;
    # keep detaching until the query threads are out.
    deadline = time.monotonic() + JOIN_DEADLINE
    for thread in threads:
        while thread.is_alive() and time.monotonic() < deadline:
            engines.detach_all()
            thread.join(0.05)
    stuck = [thread.name for thread in threads if thread.is_alive()]
    assert not stuck, f"threads did not end: {stuck}"
    if errors:
        raise errors[0]

    print(f"{ledger.queries} queries, {ledger.answers} answers, {len(ledger.carried)} "
          f"replies carried, {engines.serial} engines in {SECONDS} s")
    assert ledger.failures == []
    assert ledger.queries > 0 and ledger.answers > 0
    # respond/fail accepted each id at most once, and exactly the accepted
    # answers reached a query, each once.
    assert [key for key, times in ledger.accepted.items() if times > 1] == []
    assert [key for key, times in ledger.carried.items() if times > 1] == []
    assert set(ledger.carried) == set(ledger.accepted)

    del engines, threads
    gc.collect()
    # A joined thread may stay listed in /proc for a moment after join()
    # returns, until the kernel has reaped it; a thread left running stays.
    deadline = time.monotonic() + 30
    while task_count() != tasks_before and time.monotonic() < deadline:
        time.sleep(0.01)
    assert (threading.active_count(), task_count()) == (threads_before, tasks_before)
