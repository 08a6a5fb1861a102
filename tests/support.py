"""What the gateway's test modules share: test servers, a gateway started on a module's loop
thread (conftest's `runner`) and closed with running(), served over HTTP in process or as the
program; DEADLINE and poll(), defined in conftest for the engine's tests, are taken from here.

Imported after conftest.require_mcp_sdk(), since the gateway needs the MCP SDK.
"""

import asyncio
import contextlib
import json
import os
import re
import subprocess
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import _graphql  # the build/ path comes from conftest
from conftest import DEADLINE, LoopThread, poll, poll_async  # noqa: F401 (shared from here)

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO))
from gateway import Gateway, ServerConfig
from gateway.access import Access
from gateway.admission import AdmissionLimits
from gateway.http import listening_socket, make_server

TEST_SERVER = Path(__file__).resolve().parent / "mcp_test_server.py"
TOOLBOX = REPO / "examples" / "toolbox.py"


def server_entry(name: str, **env: str) -> dict[str, Any]:
    return {"command": sys.executable, "args": [str(TEST_SERVER)], "env": {"NAME": name, **env}}


def write_config(folder: Path, servers: dict[str, Any]) -> Path:
    path = folder / "servers.json"
    path.write_text(json.dumps({"mcpServers": servers}), encoding="utf-8")
    return path


def started(runner: LoopThread, configs: list[ServerConfig], **options: Any) -> Gateway:
    async def start() -> Gateway:
        gateway = Gateway(configs, **options)
        await gateway.start()
        return gateway
    return runner.run(start())


@contextlib.contextmanager
def running(runner: LoopThread, configs: list[ServerConfig], **options: Any) -> Iterator[Gateway]:
    """A gateway started on `runner`'s loop with `options`, closed on leaving."""
    gateway = started(runner, configs, **options)
    try:
        yield gateway
    finally:
        runner.run(gateway.close())


def gateway_env() -> dict[str, str]:
    env = dict(os.environ)
    module_dir = str(Path(_graphql.__file__).resolve().parent)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, str(REPO), env.get("PYTHONPATH")) if p)
    return env


@contextlib.contextmanager
def serving(runner: LoopThread, gateway: Gateway, access: Access | None = None, *,
            body_limit: int = 1 << 16, **options: Any) -> Iterator[str]:
    """Serves `gateway` on a loopback port of `runner`'s loop (with `make_server`'s `options`);
    yields its address."""
    # Room for every client these tests start at once: the queue's own bound is tested apart.
    server = make_server(gateway, grace_seconds=5, body_limit=body_limit, access=access,
                         admission=AdmissionLimits(queue=64), **options)
    sock = listening_socket("127.0.0.1:0")
    task = asyncio.run_coroutine_threadsafe(server.serve(sockets=[sock]), runner.loop)
    poll(lambda: server.started or task.done(), "the server started")
    assert not task.done(), task.result()
    try:
        yield f"http://127.0.0.1:{sock.getsockname()[1]}"
    finally:
        runner.loop.call_soon_threadsafe(server.stop)
        task.result(DEADLINE)
        sock.close()


@contextlib.contextmanager
def serving_program(config: Path, *args: str, env: dict[str, str] | None = None,
                    ) -> Iterator[tuple[subprocess.Popen[str], str]]:
    """Runs the gateway program serving `config` on a loopback port; yields the
    process (its standard error open) and the address it announced."""
    process = subprocess.Popen(
        [sys.executable, "-m", "gateway", "--config", str(config), "--serve", "127.0.0.1:0", *args],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env or gateway_env(), cwd=REPO)
    try:
        assert process.stderr is not None
        line = process.stderr.readline()
        port = re.search(r"127\.0\.0\.1:(\d+)/graphql", line)
        assert port, line
        yield process, f"http://127.0.0.1:{port.group(1)}"
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
