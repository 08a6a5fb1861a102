#!/usr/bin/env python3
"""What metrics and tracing cost: the gateway with both off, metrics on, then both on, in one run.

    tools/devroot env PYTHONPATH=build python3 bench/observe_cost.py --seconds 3

The gateway of bench/http_servers.py (the toolbox server in process), loaded
by wrk as bench/http_load.py does, for `{ __typename }` and five tool fields.
Tracing exports every span by OTLP over HTTP to a receiver in this process
that reads and drops them, so building, encoding and sending the spans is in
the figure. On a machine as busy as this one the requests/s of the three
servers vary more than they differ, so the same run also times the hooks
themselves in this process: what one request and one tool call add, with
metrics on, and with metrics and tracing on (spans exported in batches by OTLP
to the receiver). Nothing is asserted.
"""

import argparse
import asyncio
import http.server
import os
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))
from http_load import FIVE_FIELDS, REPO, TYPENAME, free_port, load, wait_until_up  # noqa: E402


class Drop(http.server.BaseHTTPRequestHandler):
    """An OTLP/HTTP receiver that accepts every batch and keeps nothing."""

    def do_POST(self) -> None:
        self.rfile.read(int(self.headers["content-length"]))
        self.send_response(200)
        self.send_header("content-length", "0")
        self.end_headers()

    def log_message(self, *args: Any) -> None:
        pass


def hook_costs(endpoint: str, rounds: int = 20000) -> list[tuple[str, float]]:
    """Microseconds per request (its middleware pass and query hook) and per tool call."""
    sys.path.insert(0, str(REPO))
    from gateway.fields import FieldIndex, Hit
    from gateway.metrics import Metrics
    from gateway.observe import ObserveMiddleware, Observer
    from gateway.tracing import Tracing, provider_from_environ

    async def app(scope: dict[str, Any], receive: Any, send: Any) -> None:
        await send({"type": "http.response.start", "status": 200, "headers": []})

    async def send(message: dict[str, Any]) -> None:
        pass

    scope = {"type": "http", "method": "GET", "path": "/graphql", "route": None,
             "headers": [(b"traceparent", b"00-4bf92f3577b34da6a3ce929d0e0e4736-00f067aa0ba902b7-01")]}
    costs = []
    for label, observer in [("metrics", Observer(Metrics())),
                            ("metrics and tracing", Observer(Metrics(), Tracing(provider_from_environ(
                                {"OTEL_EXPORTER_OTLP_ENDPOINT": endpoint}))))]:
        if observer.tracing is not None:
            observer.tracing.serving(FieldIndex((Hit("toolbox_add", "toolbox", "add", True, ""),), {}))
        middleware = ObserveMiddleware(app, observer)

        async def requests() -> float:
            began = time.perf_counter()
            for _ in range(rounds):
                with observer.query(frozenset({"toolbox_add"})):
                    await middleware(dict(scope), None, send)
            return time.perf_counter() - began

        per_request = asyncio.run(requests()) / rounds
        began = time.perf_counter()
        for _ in range(rounds):
            observer.tool_call("toolbox", "add").end("ok")
        per_call = (time.perf_counter() - began) / rounds
        observer.close()
        costs += [(f"{label}: one request", per_request * 1e6), (f"{label}: one tool call", per_call * 1e6)]
    return costs


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5)
    args = parser.parse_args()
    sink = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Drop)
    receiving = threading.Thread(target=sink.serve_forever, daemon=True)
    receiving.start()
    traced = {"OTEL_EXPORTER_OTLP_ENDPOINT": f"http://127.0.0.1:{sink.server_address[1]}"}
    rows = []
    for label, kind, extra in [("both off", "gateway", {}), ("metrics on", "gateway-observed", {}),
                               ("metrics and tracing on", "gateway-observed", traced)]:
        env = {k: v for k, v in os.environ.items() if not k.startswith("OTEL_")} | extra
        port = free_port()
        process = subprocess.Popen([sys.executable, "bench/http_servers.py", kind, str(port)], cwd=REPO,
                                   env=env, stderr=subprocess.DEVNULL)
        try:
            wait_until_up(port, process)
            for query, name in ((TYPENAME, "`{ __typename }`"), (FIVE_FIELDS, "five tool fields")):
                load(port, query, 1)  # warm
                rows.append((f"{label}, {name}", *load(port, query, args.seconds)))
        finally:
            process.terminate()
            process.wait(30)
    costs = hook_costs(traced["OTEL_EXPORTER_OTLP_ENDPOINT"])
    sink.shutdown()
    receiving.join(30)
    print("| gateway, query | requests/s | p50 | p99 |")
    print("|---|---|---|---|")
    for name, rps, p50, p99 in rows:
        print(f"| {name} | {rps:,.0f} | {p50} | {p99} |")
    print()
    print("| added by the hooks | µs |")
    print("|---|---|")
    for name, micros in costs:
        print(f"| {name} | {micros:.1f} |")


if __name__ == "__main__":
    main()
