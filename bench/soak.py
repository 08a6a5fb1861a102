#!/usr/bin/env python3
"""Soak: HTTP load on the gateway while its servers are killed, their tools change and
its configuration is reloaded. Checks every answer, samples the gateway's resources.

Run from the repository root (the module built in build/):

    tools/devroot env PYTHONPATH=build python3 bench/soak.py                       # 10 minutes
    tools/devroot env PYTHONPATH=build python3 bench/soak.py --minutes 1 --sample-every 10

The gateway serves two servers of tests/mcp_live_server.py ("one", "two") on a
loopback port. Client tasks post `{ one_pid two_pid }` without pause. Every
--chaos-every seconds one of these happens, in turn: a server's process is
killed (SIGKILL), "two" gains a tool or loses the last one it gained (each a
tools/list_changed), or the configuration is rewritten with or without a
third server and the gateway gets SIGHUP.

Every answer must be a 200 with a JSON object holding "data" (a field of a
server that is down fails inside it); anything else is counted malformed, and
a request that got no answer at all, lost. The table gives the gateway's RSS,
threads (and how many of them receive tool calls: two per generation still
alive), open descriptors and child processes at each sample. At the end the
gateway gets SIGTERM; its exit status and any server process left behind
are reported. Nothing here is a test: no figure is asserted.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import uuid
from pathlib import Path

import httpx

REPO = Path(__file__).resolve().parent.parent
LIVE = REPO / "tests" / "mcp_live_server.py"
QUERY = "{ one_pid { isError json } two_pid { isError json } }"


def write_config(path: Path, mark: str, third: bool) -> None:
    names = ["one", "two"] + (["three"] if third else [])
    servers = {name: {"command": sys.executable, "args": [str(LIVE)], "env": {"SOAK_MARK": mark}} for name in names}
    path.write_text(json.dumps({"mcpServers": servers}), encoding="utf-8")


def status(pid: int) -> dict[str, str]:
    lines = Path(f"/proc/{pid}/status").read_text().splitlines()
    return dict(line.split(":\t", 1) for line in lines if ":\t" in line)


def marked(mark: str) -> list[int]:
    """Processes whose environment carries the mark: the soak's servers, wherever they were left."""
    found = []
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                if f"SOAK_MARK={mark}".encode() in (entry / "environ").read_bytes().split(b"\0"):
                    found.append(int(entry.name))
            except OSError:
                continue
    return found


def sample(pid: int, mark: str) -> dict[str, int]:
    fields = status(pid)
    names = []
    for task in Path(f"/proc/{pid}/task").iterdir():
        try:
            names.append((task / "comm").read_text().strip())
        except OSError:
            continue
    return {"rss_kb": int(fields["VmRSS"].split()[0]), "threads": int(fields["Threads"]),
            "receivers": sum(name.startswith("tool-receiver") for name in names),
            "fds": len(os.listdir(f"/proc/{pid}/fd")), "children": len(marked(mark))}


class Tally:
    def __init__(self) -> None:
        self.ok = self.failed_fields = self.malformed = self.lost = 0
        self.examples: list[str] = []

    def bad(self, kind: str, text: str) -> None:
        setattr(self, kind, getattr(self, kind) + 1)
        if len(self.examples) < 5:
            self.examples.append(f"{kind}: {text[:200]}")


async def client(base: str, tally: Tally, until: float) -> None:
    async with httpx.AsyncClient(timeout=60) as http:
        while time.monotonic() < until:
            try:
                response = await http.post(f"{base}/graphql", json={"query": QUERY})
            except httpx.HTTPError as exc:
                tally.bad("lost", repr(exc))
                continue
            try:
                answer = response.json()
                assert response.status_code == 200 and isinstance(answer.get("data"), dict)
            except (ValueError, AssertionError, AttributeError):
                tally.bad("malformed", f"{response.status_code} {response.text}")
                continue
            tally.ok += 1
            if any(isinstance(v, dict) and v.get("isError") for v in answer["data"].values()):
                tally.failed_fields += 1


async def chaos(base: str, process: subprocess.Popen[bytes], config: Path, mark: str, every: float,
                until: float, counts: dict[str, int]) -> None:
    step, grown, third = 0, [], False
    async with httpx.AsyncClient(timeout=60) as http:
        while time.monotonic() + every < until:
            await asyncio.sleep(every)
            kind = ("kill", "grow", "reload", "kill", "shrink")[step % 5]
            step += 1
            if kind == "kill":
                victims = marked(mark)
                if victims:
                    os.kill(victims[step % len(victims)], signal.SIGKILL)
            elif kind == "grow":
                grown.append(f"t{step}")
                await http.post(f"{base}/graphql", json={"query": f'{{ two_grow(name: "{grown[-1]}") {{ text }} }}'})
            elif kind == "shrink" and grown:
                await http.post(f"{base}/graphql", json={"query": f'{{ two_shrink(name: "{grown.pop()}") {{ text }} }}'})
            elif kind == "reload":
                third = not third
                write_config(config, mark, third)
                process.send_signal(signal.SIGHUP)
            counts[kind] = counts.get(kind, 0) + 1


async def sampler(pid: int, mark: str, every: float, until: float, began: float, tally: Tally,
                  rows: list[list[str]]) -> None:
    while True:
        s = sample(pid, mark)
        rows.append([f"{(time.monotonic() - began) / 60:.1f}", str(tally.ok), str(tally.malformed),
                     str(tally.lost), f"{s['rss_kb'] / 1024:.1f}", str(s["threads"]), str(s["receivers"]), str(s["fds"]),
                     str(s["children"])])
        if time.monotonic() + every > until:
            return
        await asyncio.sleep(every)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--sample-every", type=float, default=60.0, help="seconds between samples")
    parser.add_argument("--chaos-every", type=float, default=3.0, help="seconds between disturbances")
    parser.add_argument("--clients", type=int, default=6)
    args = parser.parse_args()
    mark = uuid.uuid4().hex
    with tempfile.TemporaryDirectory() as folder:
        config = Path(folder) / "servers.json"
        write_config(config, mark, third=False)
        env = {**os.environ, "PYTHONPATH": os.pathsep.join((str(REPO / "build"), str(REPO)))}
        process = subprocess.Popen(
            [sys.executable, "-m", "gateway", "--config", str(config), "--serve", "127.0.0.1:0",
             "--restart-wait", "0.2", "--restart-most", "2", "--healthy-after", "5", "--grace", "2"],
            stderr=subprocess.PIPE, env=env, cwd=REPO)
        assert process.stderr is not None
        line = process.stderr.readline().decode()
        port = re.search(r"127\.0\.0\.1:(\d+)/graphql", line)
        if port is None:
            print(line, process.stderr.read().decode(), file=sys.stderr)
            return 1
        log_lines = 0

        def drain() -> None:  # the gateway's log, counted, so its pipe never fills
            nonlocal log_lines
            for _ in process.stderr:  # type: ignore[union-attr]
                log_lines += 1

        import threading
        reader = threading.Thread(target=drain, daemon=True)
        reader.start()
        base = f"http://127.0.0.1:{port.group(1)}"
        tally, rows, counts = Tally(), [], {}
        began = time.monotonic()
        until = began + args.minutes * 60

        async def run() -> None:
            await asyncio.gather(*(client(base, tally, until) for _ in range(args.clients)),
                                 chaos(base, process, config, mark, args.chaos_every, until, counts),
                                 sampler(process.pid, mark, args.sample_every, until, began, tally, rows))

        asyncio.run(run())
        process.send_signal(signal.SIGTERM)
        code = process.wait(60)
        reader.join(10)
        left = marked(mark)
        for pid in left:
            os.kill(pid, signal.SIGKILL)
    print("| minute | answers | malformed | lost | RSS MB | threads | of them receivers | fds | servers |")
    print("|---|---|---|---|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    print(f"\n{tally.ok} well-formed answers ({tally.failed_fields} with a field failed while its server was "
          f"down), {tally.malformed} malformed, {tally.lost} lost; disturbances: {counts}; "
          f"exit status {code}; server processes left behind: {len(left)}; log lines: {log_lines}")
    for example in tally.examples:
        print("  " + example)
    return 0 if tally.malformed == tally.lost == 0 and not left else 1


if __name__ == "__main__":
    sys.exit(main())
