"""deploy/haproxy.cfg as written: two gateway replicas behind HAProxy, one killed under load."""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any

import pytest

from conftest import DEADLINE, poll, require_mcp_sdk

require_mcp_sdk()

import _graphql  # noqa: E402
import httpx  # noqa: E402

REPO = Path(__file__).resolve().parent.parent
HAPROXY = shutil.which("haproxy") or shutil.which("/usr/sbin/haproxy")
TOKEN = "replica-test-token"
QUERY = "{ toolbox_sleep(seconds: 0.05) { isError } }"
CLIENTS = 6
AFTER_KILL = 30  # answers wanted once a replica is gone

pytestmark = [pytest.mark.slow, pytest.mark.skipif(HAPROXY is None, reason="HAProxy is not installed")]


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return int(sock.getsockname()[1])


class Replica:
    def __init__(self, config: Path, port: int) -> None:
        self.config = config
        self.port = port
        self.process: subprocess.Popen[bytes] | None = None

    def start(self) -> None:
        env = dict(os.environ, GATEWAY_TOKEN=TOKEN)  # the token by environment, never the command line
        module_dir = str(Path(_graphql.__file__).resolve().parent)
        env["PYTHONPATH"] = os.pathsep.join([module_dir, str(REPO)])
        self.process = subprocess.Popen(
            [sys.executable, "-m", "gateway", "--serve", f"127.0.0.1:{self.port}", "--config", str(self.config)],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def healthy() -> bool:
            assert self.process is not None and self.process.poll() is None, "the replica exited"
            try:
                answer = httpx.get(f"http://127.0.0.1:{self.port}/health", timeout=2)
            except httpx.TransportError:
                return False
            return answer.status_code == 200
        poll(healthy, f"replica on {self.port} healthy")

    def kill(self) -> None:
        assert self.process is not None
        self.process.kill()
        self.process.wait(DEADLINE)

    def stop(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(DEADLINE)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(DEADLINE)


def server_states(stats: str) -> dict[str, str]:
    """Each replica's status in HAProxy's CSV statistics (UP, DOWN, ...)."""
    text = httpx.get(f"http://{stats}/stats;csv", timeout=2).text
    header, *rows = text.splitlines()
    names = header.lstrip("# ").split(",")
    states = {}
    for row in rows:
        record = dict(zip(names, row.split(","), strict=False))
        if record.get("pxname") == "gateways" and record.get("svname", "").startswith("gw"):
            states[record["svname"]] = record["status"]
    return states


def test_a_killed_replica_loses_only_what_it_held_and_comes_back(tmp_path: Path) -> None:
    config = tmp_path / "servers.json"
    config.write_text(json.dumps({"mcpServers": {"toolbox": {
        "command": sys.executable, "args": [str(REPO / "examples" / "toolbox.py")]}}}), encoding="utf-8")
    replicas = [Replica(config, free_port()), Replica(config, free_port())]
    front, stats = f"127.0.0.1:{free_port()}", f"127.0.0.1:{free_port()}"
    env = dict(os.environ, GATEWAY_FRONT=front, HAPROXY_STATS=stats, CHECK_INTERVAL="100ms",
               GATEWAY_1=f"127.0.0.1:{replicas[0].port}", GATEWAY_2=f"127.0.0.1:{replicas[1].port}")
    balancer = None
    stop = threading.Event()
    threads: list[threading.Thread] = []
    answers: list[tuple[float, float, int, str | None, bool]] = []  # sent, done, status, replica, correct
    lock = threading.Lock()

    def client() -> None:
        with httpx.Client(base_url=f"http://{front}", timeout=DEADLINE,
                          headers={"authorization": f"Bearer {TOKEN}"}) as http:
            while not stop.is_set():
                sent = time.monotonic()
                try:
                    answer = http.post("/graphql", json={"query": QUERY})
                    status, replica = answer.status_code, answer.headers.get("x-gateway-replica")
                    correct = status == 200 and answer.json()["data"]["toolbox_sleep"]["isError"] is False
                except httpx.RemoteProtocolError as exc:
                    # HAProxy closed the client's connection without an answer: the other clean way
                    # it tells a client that the replica holding its request went away.
                    status, replica, correct = 0, str(exc), False
                with lock:
                    answers.append((sent, time.monotonic(), status, replica, correct))

    def counted(predicate: Any) -> int:
        with lock:
            return sum(1 for answer in answers if predicate(answer))

    try:
        for replica in replicas:
            replica.start()
        balancer = subprocess.Popen([HAPROXY, "-db", "-f", str(REPO / "deploy" / "haproxy.cfg")], env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        poll(lambda: _safe_states(stats) == {"gw1": "UP", "gw2": "UP"}, "both replicas UP")
        threads = [threading.Thread(target=client, daemon=True) for _ in range(CLIENTS)]
        for thread in threads:
            thread.start()
        poll(lambda: counted(lambda a: a[3] == "gw1") >= 5 and counted(lambda a: a[3] == "gw2") >= 5,
             "answers from both replicas")

        killed_at = time.monotonic()
        replicas[0].kill()
        dead_at = time.monotonic()
        poll(lambda: counted(lambda a: a[0] > killed_at and a[4]) >= AFTER_KILL,
             "answers after the kill")
        poll(lambda: _safe_states(stats).get("gw1", "").startswith("DOWN"), "gw1 DOWN")

        replicas[0].start()
        back = time.monotonic()
        poll(lambda: _safe_states(stats).get("gw1") == "UP", "gw1 UP again")
        poll(lambda: counted(lambda a: a[0] > back and a[3] == "gw1" and a[4]) >= 5,
             "answers from the restarted replica")
    finally:
        stop.set()
        for thread in threads:
            thread.join(DEADLINE)
        if balancer is not None:
            balancer.terminate()
            balancer.wait(DEADLINE)
        for replica in replicas:
            replica.stop()
    assert not any(thread.is_alive() for thread in threads), "a client did not stop"

    failed = [a for a in answers if not a[4]]
    # Only requests the killed replica held fail: sent before it died, still open when it was
    # killed, at most one per client, each a 502 or a connection closed without an answer.
    assert all(sent < dead_at and done > killed_at for sent, done, *_ in failed), failed
    assert len(failed) <= CLIENTS, failed
    clean = ("Server disconnected without sending a response.",)
    assert all(status == 502 or (status == 0 and why in clean) for _, _, status, why, _ in failed), failed
    assert sum(1 for a in answers if a[4]) > len(failed)


def _safe_states(stats: str) -> dict[str, str]:
    try:
        return server_states(stats)
    except httpx.TransportError:
        return {}
