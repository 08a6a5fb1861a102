"""The call bridge from the host's side: receiving, answering, detaching, concurrency."""

import gc
import json
import os
import threading
import time

import pytest

from _graphql import SchemaEngine
from conftest import DEADLINE, poll, run_in_thread

CATALOGUE = json.dumps({"server": "s", "tools": [{"name": "t"}, {"name": "u"}]})
DETACHED = {"isError": True, "json": None, "text": "CallBridge is detached"}


@pytest.fixture
def engine():
    engine = SchemaEngine(CATALOGUE)
    engine.attach_call_bridge()
    return engine


def receive(engine, count):
    """Takes `count` requests, failing instead of waiting forever."""
    requests = []
    deadline = time.monotonic() + DEADLINE
    while len(requests) < count:
        assert time.monotonic() < deadline, "requests did not arrive"
        text = engine.receive_tool_call(50)
        if text is not None:
            requests.append(json.loads(text))
    return requests


def test_receive_times_out_with_none():
    # How long the default limit waits is measured by bench/run.py, not here.
    engine = SchemaEngine()
    assert engine.receive_tool_call() is None
    assert engine.receive_tool_call(0) is None


def test_ids_count_across_queries_detach_and_attach(engine, serve):
    host = serve(engine)
    engine.execute("{ s_t }")
    engine.detach_call_bridge()
    engine.execute("{ s_t }")  # a placeholder costs no id
    engine.attach_call_bridge()
    engine.attach_call_bridge()
    engine.execute("{ s_u }")
    assert [r["request_id"] for _, r in host.requests] == ["tool-call-1", "tool-call-2"]


def test_all_requests_arrive_before_any_reply(engine):
    result = run_in_thread(engine.execute, "{ a: s_t b: s_u c: s_t }")
    requests = receive(engine, 3)
    # Answered in reverse order; each value still lands under its own key.
    for request in reversed(requests):
        assert engine.respond_tool_call(request["request_id"], json.dumps(request["request_id"]))
    data = json.loads(result())["data"]
    assert data == {"a": "tool-call-1", "b": "tool-call-2", "c": "tool-call-3"}


def test_answering_twice_or_unknown_ids(engine):
    result = run_in_thread(engine.execute, "{ s_t }")
    (request,) = receive(engine, 1)
    rid = request["request_id"]
    assert engine.respond_tool_call("tool-call-999", "1") is False
    assert engine.fail_tool_call(rid, "broken") is True
    assert engine.respond_tool_call(rid, "1") is False
    assert engine.fail_tool_call(rid, "again") is False
    assert json.loads(result())["data"]["s_t"]["text"] == "broken"


def test_reply_before_receive_is_kept():
    engine = SchemaEngine(CATALOGUE)
    engine.attach_call_bridge()
    result = run_in_thread(engine.execute, "{ s_t }")
    # The id is registered before the request is queued, so it can be answered
    # before anyone has received it.
    poll(lambda: engine.respond_tool_call("tool-call-1", '"early"'), "tool-call-1 pending")
    assert json.loads(result())["data"]["s_t"] == "early"
    assert json.loads(engine.receive_tool_call(0))["request_id"] == "tool-call-1"


def test_detach_fails_waiting_calls(engine):
    result = run_in_thread(engine.execute, "{ a: s_t b: s_u }")
    first, second = receive(engine, 2)
    engine.detach_call_bridge()
    assert json.loads(result())["data"] == {"a": DETACHED, "b": DETACHED}
    assert engine.respond_tool_call(first["request_id"], "1") is False
    assert engine.fail_tool_call(second["request_id"], "x") is False
    # Detached now: tool fields take placeholders and queue nothing.
    assert json.loads(engine.execute("{ s_t }"))["data"]["s_t"]["text"].startswith("SchemaEngine stub")
    assert engine.receive_tool_call(0) is None


def test_queued_request_survives_detach(engine):
    result = run_in_thread(engine.execute, "{ a: s_t b: s_u }")
    # The query's calls start one after the other on its thread, each queuing
    # its request before the next takes its id: once tool-call-2 can be
    # answered, tool-call-1 is queued. Nobody receives either.
    poll(lambda: engine.respond_tool_call("tool-call-2", '"early"'), "tool-call-2 pending")
    engine.detach_call_bridge()
    assert json.loads(result())["data"] == {"a": DETACHED, "b": "early"}
    for number in (1, 2):
        text = engine.receive_tool_call(0)
        assert text is not None and json.loads(text)["request_id"] == f"tool-call-{number}"
        assert engine.respond_tool_call(f"tool-call-{number}", "1") is False


def test_detach_on_a_new_engine_changes_nothing():
    engine = SchemaEngine(CATALOGUE)
    assert engine.detach_call_bridge() is None
    assert engine.attach_call_bridge() is None
    assert engine.receive_tool_call(0) is None


def test_full_queue_suspends_until_one_receive(engine):
    fields = " ".join(f"f{i}: s_t" for i in range(1025))
    result = run_in_thread(engine.execute, "{ " + fields + " }")
    requests = receive(engine, 1025)
    assert [r["request_id"] for r in requests] == [f"tool-call-{i}" for i in range(1, 1026)]
    for request in requests:
        engine.respond_tool_call(request["request_id"], "7")
    data = json.loads(result())["data"]
    assert len(data) == 1025 and set(data.values()) == {7}


def test_replies_before_receives_never_drop_a_request(engine):
    # One call more than the queue holds, each answered as soon as it is pending:
    # the last call has its reply but must still queue its request, so the query
    # waits for one receive, and every request reaches the host in call order.
    fields = " ".join(f"f{i}: s_t(i: {i})" for i in range(1, 1026))
    done = threading.Event()

    def query():
        try:
            return engine.execute("{ " + fields + " }")
        finally:
            done.set()

    result = run_in_thread(query)
    for i in range(1, 1026):
        poll(lambda: engine.respond_tool_call(f"tool-call-{i}", str(i)), f"tool-call-{i} pending")
    assert not done.wait(0.2), "the query ended before its last request was queued"
    first = engine.receive_tool_call(0)
    assert done.wait(DEADLINE)
    requests = [json.loads(first)] + receive(engine, 1024)
    assert [r["arguments"]["i"] for r in requests] == list(range(1, 1026))
    assert [r["request_id"] for r in requests] == [f"tool-call-{i}" for i in range(1, 1026)]
    assert json.loads(result())["data"] == {f"f{i}": i for i in range(1, 1026)}
    assert engine.receive_tool_call(0) is None


def test_concurrent_receives_never_share_a_request(engine):
    fields = " ".join(f"f{i}: s_t" for i in range(50))
    result = run_in_thread(engine.execute, "{ " + fields + " }")
    seen = []
    lock = threading.Lock()

    def take():
        while True:
            text = engine.receive_tool_call(200)
            if text is None:
                return
            request = json.loads(text)
            with lock:
                seen.append(request["request_id"])
            engine.respond_tool_call(request["request_id"], "1")

    takers = [run_in_thread(take) for _ in range(4)]
    for taker in takers:
        taker()
    assert sorted(seen) == sorted(f"tool-call-{i}" for i in range(1, 51))
    assert len(json.loads(result())["data"]) == 50


def test_two_executes_at_once(engine, serve):
    serve(engine, lambda request: ("respond", json.dumps(request["request_id"])))
    first = run_in_thread(engine.execute, "{ s_t }")
    second = run_in_thread(engine.execute, "{ s_u }")
    values = {json.loads(first())["data"]["s_t"], json.loads(second())["data"]["s_u"]}
    assert values == {"tool-call-1", "tool-call-2"}


def test_gil_is_released_while_execute_waits(engine):
    result = run_in_thread(engine.execute, "{ s_t }")
    # This thread keeps running Python while the query waits for its reply.
    (request,) = receive(engine, 1)
    counted = sum(1 for _ in range(100_000))
    engine.respond_tool_call(request["request_id"], str(counted))
    assert json.loads(result())["data"]["s_t"] == 100_000


def test_engine_released_when_a_waiting_receive_ends():
    # While a receive waits, its call holds the engine (Python keeps a method's
    # self until it returns), so a release mid-wait is tested in C++, where the
    # receive holds the bridge and runtime by itself. Here: once the wait ends
    # nothing of it keeps the engine or its runtime's threads.
    # Engines of earlier tests may still be going, so the count may only fall.
    gc.collect()
    named = lambda: thread_names().count("dive-ziri-graph")
    before = named()
    engine = SchemaEngine(CATALOGUE)
    result = run_in_thread(engine.receive_tool_call, 300)
    del engine
    assert named() > before
    assert result() is None
    gc.collect()
    poll(lambda: named() <= before, "the engine's runtime gone after the receive")


def test_many_fields_many_threads(serve):
    engine = SchemaEngine(CATALOGUE)
    engine.attach_call_bridge()
    for _ in range(4):
        serve(engine, lambda request: ("respond", json.dumps(request["request_id"])))
    fields = " ".join(f"f{i}: s_t(i: {i})" for i in range(200))

    def run_queries():
        for _ in range(25):
            data = json.loads(engine.execute("{ " + fields + " }"))["data"]
            ids = [int(data[f"f{i}"].rsplit("-", 1)[1]) for i in range(200)]
            # Each field got the reply to its own request: ids grow in selection order.
            assert ids == sorted(ids) and len(set(ids)) == 200
        return True

    runners = [run_in_thread(run_queries) for _ in range(8)]
    assert all(runner() for runner in runners)


def test_detach_racing_queries_never_hangs(serve):
    engine = SchemaEngine(CATALOGUE)
    engine.attach_call_bridge()
    serve(engine, lambda request: None)  # takes requests, never answers
    stop = threading.Event()

    def flip():
        while not stop.is_set():
            engine.detach_call_bridge()
            engine.attach_call_bridge()
        engine.detach_call_bridge()
        return True

    def query():
        for _ in range(200):
            body = json.loads(engine.execute("{ a: s_t b: s_u }"))
            for value in body["data"].values():
                assert value["isError"] is True
        return True

    flipper = run_in_thread(flip)
    queries = [run_in_thread(query) for _ in range(4)]
    try:
        for q in queries:
            assert q()
    finally:
        stop.set()
        flipper()


def thread_names():
    names = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as comm:
                names.append(comm.read().strip())
        except FileNotFoundError:
            pass
    return names


def test_runtime_threads_are_named_and_owned_per_engine():
    named = lambda: thread_names().count("dive-ziri-graph")
    before = named()
    first, second = SchemaEngine(), SchemaEngine()
    per_engine = len(os.sched_getaffinity(0))
    assert named() == before + 2 * per_engine
    del first
    # The kernel may list a joined thread for a moment.
    poll(lambda: named() == before + per_engine, "the first engine's threads gone")
    assert second.execute("{ __typename }")
    del second
    poll(lambda: named() == before, "the second engine's threads gone")


def test_engines_in_a_loop_leave_no_threads():
    tasks = lambda: len(os.listdir("/proc/self/task"))
    start = threading.active_count(), tasks()
    for _ in range(200):
        SchemaEngine(CATALOGUE).execute("{ s_t }")
    assert threading.active_count() == start[0]
    poll(lambda: tasks() == start[1], "the engines' threads gone")
