"""A gateway that outlives its servers: death noticed and restarted, live catalogue
generations, and answers kept at the end of the grace."""

import asyncio
import json
import logging
import os
import random
import re
import signal
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest
from conftest import DEADLINE, poll_async, require_mcp_sdk

require_mcp_sdk()

import httpx

from gateway import Gateway
from gateway.config import ServerConfig
from gateway.metrics import Metrics
from gateway.observe import Observer
from gateway.pinning import PinError, Pins
from gateway.supervision import JITTER, Backoff, Supervision
from support import REPO, gateway_env

LIVE = Path(__file__).resolve().parent / "mcp_live_server.py"
FAST = Supervision(first_wait=0.2, most_wait=1.0, ping_every=0.5)


def live(name: str = "live", **env: str) -> ServerConfig:
    return ServerConfig(name=name, command=sys.executable, args=(str(LIVE),), env=env)


async def query(gateway: Gateway, text: str) -> dict[str, Any]:
    return json.loads(await gateway.execute(text))


async def pid_of(gateway: Gateway, server: str = "live") -> int:
    return (await query(gateway, f"{{ {server}_pid {{ json }} }}"))["data"][f"{server}_pid"]["json"]["pid"]


def test_a_server_killed_while_idle_is_shown_down_fails_fast_and_comes_back(
        tmp_path: Path, caplog: pytest.LogCaptureFixture) -> None:
    hold = tmp_path / "hold"

    async def body() -> None:
        async with Gateway([live(HOLD=str(hold))], supervision=FAST) as gateway:
            first = await pid_of(gateway)
            hold.touch()  # its restart waits until the test has looked, however slow the machine
            os.kill(first, signal.SIGKILL)
            await poll_async(lambda: not gateway.health()["up"], "the death shown by health")
            await poll_async(lambda: "retryInSeconds" in gateway.health()["servers"]["live"], "the next attempt shown")
            shown = gateway.health()["servers"]["live"]
            assert shown["failure"] and 0 <= shown["retryInSeconds"] <= 2.0, shown
            down = (await query(gateway, "{ live_pid { isError text } }"))["data"]["live_pid"]
            assert down["isError"] and "is down" in down["text"], down
            hold.unlink()
            await poll_async(lambda: gateway.health()["up"], "the server back")
            assert await pid_of(gateway) != first
            assert gateway.upstreams["live"].restarts == 1

    with caplog.at_level("WARNING", logger="gateway.upstream"):
        asyncio.run(body())
    failures = [r for r in caplog.records if "failed" in r.getMessage() and "'live'" in r.getMessage()]
    assert len(failures) == 1, [r.getMessage() for r in failures]


def test_a_server_that_never_starts_is_retried_with_bounded_waits() -> None:
    async def body() -> None:
        doomed = ServerConfig(name="doomed", command=sys.executable, args=("-c", "raise SystemExit(3)"))
        supervision = Supervision(first_wait=0.05, most_wait=0.1)
        async with Gateway([doomed, live()], supervision=supervision) as gateway:
            assert gateway.health()["servers"]["live"]["up"]
            await poll_async(lambda: gateway.upstreams["doomed"].restarts >= 3, "three more attempts")
            assert not gateway.health()["servers"]["doomed"]["up"]

    asyncio.run(body())


@pytest.mark.parametrize(("first", "most"), [(0.5, 30.0), (1.0, 1.5)])  # the cap far off; below the second wait
def test_backoff_grows_to_its_cap_and_keeps_clients_apart(first: float, most: float) -> None:
    """What many clients that failed together wait: never less than the first wait's jitter allows
    nor more than the cap, about twice as long after each failure, at the cap in the end, and not
    in step with one another, at first or at the cap."""
    def waits(seed: int) -> list[float]:
        backoff = Backoff(Supervision(first_wait=first, most_wait=most, healthy_after=60.0), random.Random(seed))
        return [backoff.next_wait() for _ in range(12)]

    steps = list(zip(*(waits(seed) for seed in range(200))))  # steps[k]: every client's k-th wait
    assert all(first * (1 - JITTER) <= wait <= most for step in steps for wait in step)
    means = [sum(step) / len(step) for step in steps]
    assert means[0] == pytest.approx(first, rel=0.05)
    assert min(1.8 * means[0], most * (1 - JITTER)) <= means[1] <= 2.2 * means[0]
    assert min(steps[-1]) >= most * (1 - JITTER)
    assert max(steps[0]) - min(steps[0]) > first * JITTER and min(steps[-1]) < most * 0.9


def test_backoff_starts_over_after_a_healthy_period() -> None:
    backoff = Backoff(Supervision(first_wait=1.0, most_wait=30.0, healthy_after=0.0), random.Random(1))
    waits = [backoff.next_wait() for _ in range(4)]
    assert waits[-1] >= 8 * (1 - JITTER)
    backoff.came_up()
    assert backoff.next_wait() <= 1 + JITTER


def test_list_changed_swaps_generations_while_a_query_finishes_on_the_old_one(tmp_path: Path) -> None:
    gate = tmp_path / "open"

    async def body() -> None:
        async with Gateway([live()], supervision=FAST) as gateway:
            old = gateway.generation
            assert old is not None
            held = asyncio.ensure_future(query(gateway, f'{{ live_gate(path: "{gate}") {{ text }} }}'))
            await poll_async(lambda: old.users > 0, "the held query on its query thread")
            grown = await query(gateway, '{ live_grow(name: "extra") { text } }')
            assert grown["data"]["live_grow"]["text"] == "extra"
            await poll_async(lambda: gateway.generation is not old, "a new generation")
            assert (await query(gateway, "{ live_extra { text } }"))["data"]["live_extra"]["text"] == "extra"
            assert old.retired and not old.released.is_set(), "the old engine went before its query ended"
            gate.write_text("")
            assert (await held)["data"]["live_gate"]["text"] == "opened"
            await poll_async(old.released.is_set, "the old generation released")
            grown_gen = gateway.generation
            await query(gateway, '{ live_shrink(name: "extra") { text } }')
            await poll_async(lambda: gateway.generation is not grown_gen, "the generation without the tool")
            gone = await query(gateway, "{ live_extra { text } }")
            assert "live_extra" in gone["errors"][0]["message"]

    asyncio.run(body())


def test_a_burst_of_listings_makes_few_rebuilds() -> None:
    async def body() -> None:
        async with Gateway([live()], supervision=FAST) as gateway:
            upstream = gateway.upstreams["live"]
            built = gateway.generations.built
            for _ in range(50):
                gateway._listed(upstream)
            await poll_async(lambda: gateway._rebuilding is None, "the rebuilds done")
            assert gateway.generations.built - built <= 2  # the same catalogue: nothing swapped either
            assert gateway.generation is not None and gateway.generation.number == built

    asyncio.run(body())


def test_a_flood_of_list_changed_makes_one_listing_at_a_time_and_forges_no_log_line(
        caplog: pytest.LogCaptureFixture) -> None:
    async def body() -> int:
        async with Gateway([live()], supervision=FAST) as gateway:
            upstream = gateway.upstreams["live"]
            relist, listings = upstream._relist, 0

            async def counted() -> None:
                nonlocal listings
                listings += 1
                await relist()

            upstream._relist = counted  # type: ignore[method-assign]
            assert (await query(gateway, "{ live_flood(count: 300) { text } }"))["data"]["live_flood"]["text"] == "sent"
            await poll_async(lambda: listings > 0 and not upstream._relisting, "the listings done")
            return listings

    with caplog.at_level(logging.INFO, logger="gateway"):
        assert asyncio.run(body()) < 30  # one at a time: not one for each of the 300
    assert not [r for r in caplog.records if "\n" in r.getMessage()]


@pytest.mark.slow
def test_sigterm_past_the_grace_answers_every_request_with_what_finished(tmp_path: Path) -> None:
    gate = tmp_path / "never"
    config = tmp_path / "servers.json"
    config.write_text(json.dumps({"mcpServers": {"live": {"command": sys.executable, "args": [str(LIVE)]}}}))
    process = subprocess.Popen(
        [sys.executable, "-m", "gateway", "--config", str(config), "--serve", "127.0.0.1:0", "--grace", "1"],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=gateway_env(), cwd=REPO)
    try:
        assert process.stderr is not None
        line = process.stderr.readline()
        port = re.search(r"127\.0\.0\.1:(\d+)/graphql", line)
        assert port, line
        base = f"http://127.0.0.1:{port.group(1)}"
        document = f'{{ waits: live_gate(path: "{gate}") {{ isError text }} done: live_pid {{ json }} }}'

        async def in_flight() -> list[httpx.Response]:
            async with httpx.AsyncClient(timeout=DEADLINE) as client:
                requests = [asyncio.ensure_future(client.post(f"{base}/graphql", json={"query": document}))
                            for _ in range(3)]
                calls = Path(f"{gate}.calls")
                await poll_async(lambda: calls.exists() and len(calls.read_text().splitlines()) == 3,
                            "three calls waiting")
                process.send_signal(signal.SIGTERM)
                return list(await asyncio.gather(*requests))

        responses = asyncio.run(in_flight())
        process.wait(DEADLINE)
        stderr = process.stderr.read()
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    for response in responses:
        assert response.status_code == 200 and response.headers["content-type"].endswith("json")
        answer = response.json()
        assert answer["data"]["done"]["json"]["pid"] > 0
        assert answer["data"]["waits"]["isError"] and "detached" in answer["data"]["waits"]["text"], answer
    assert process.returncode == 0, stderr
    assert "Traceback" not in stderr


def test_a_reload_adds_and_removes_servers_and_a_bad_file_is_refused(tmp_path: Path,
                                                                      caplog: pytest.LogCaptureFixture) -> None:
    from gateway.cli import _reload

    bad = tmp_path / "bad.json"
    bad.write_text("{", encoding="utf-8")

    async def body() -> None:
        async with Gateway([live("one")], supervision=FAST, observer=Observer(Metrics())) as gateway:
            kept = await pid_of(gateway, "one")
            await gateway.reload([live("one"), live("two")])
            assert await pid_of(gateway, "two") > 0 and await pid_of(gateway, "one") == kept
            scraped = gateway.observer.metrics.text().decode()
            assert 'gateway_upstream_restarts_total{server="two"} 0.0' in scraped  # added servers counted too
            await gateway.reload([live("two")])
            assert "one_pid" in (await query(gateway, "{ one_pid { json } }"))["errors"][0]["message"]
            await poll_async(lambda: not Path(f"/proc/{kept}").exists(), "the removed server's process gone")
            _reload(gateway, bad)
            assert set(gateway.upstreams) == {"two"} and await pid_of(gateway, "two") > 0
            running = await pid_of(gateway, "two")
            await gateway.reload([ServerConfig("two", problem='"timeout" must be a number')])
            assert await pid_of(gateway, "two") == running  # the working server keeps its entry

    with caplog.at_level("ERROR"):
        asyncio.run(body())
    assert any("not reloaded" in r.getMessage() for r in caplog.records)
    assert any("keeps its running configuration" in r.getMessage() for r in caplog.records)


@pytest.mark.slow
def test_pinning_withholds_a_changed_or_new_tool_until_pinned_again(tmp_path: Path,
                                                                     caplog: pytest.LogCaptureFixture) -> None:
    lock = tmp_path / "tools.lock"
    approved = live(EXTRA_TOOL="x", EXTRA_DESCRIPTION="Answers its own name")
    changed = live(EXTRA_TOOL="x", EXTRA_DESCRIPTION="Sends your files away")

    def said(text: str) -> bool:
        return any(text in r.getMessage() for r in caplog.records)

    async def body() -> None:
        async with Gateway([approved], pins=Pins.load(lock)) as gateway:  # the first run pins
            assert (await query(gateway, "{ live_x { text } }"))["data"]["live_x"]["text"] == "x"
        async with Gateway([changed], pins=Pins.load(lock)) as gateway:
            assert "live_x" in (await query(gateway, "{ live_x { text } }"))["errors"][0]["message"]
            assert await pid_of(gateway) > 0
            await query(gateway, '{ live_grow(name: "y") { text } }')
            await poll_async(lambda: said("live.y is not pinned"), "the new tool withheld and logged")
            assert "live_y" in (await query(gateway, "{ live_y { text } }"))["errors"][0]["message"]
        pins = Pins.load(lock)
        pins.repin()
        async with Gateway([changed], pins=pins) as gateway:
            assert (await query(gateway, "{ live_x { text } }"))["data"]["live_x"]["text"] == "x"

    with caplog.at_level("WARNING", logger="gateway.pinning"):
        asyncio.run(body())
    assert [r.getMessage() for r in caplog.records].count(
        "tool live.x changed since it was pinned: withheld until pinned again (--repin)") == 1
    for bad in ("{", '{"version": 1, "servers": []}', "[]"):
        lock.write_text(bad, encoding="utf-8")
        with pytest.raises(PinError):
            Pins.load(lock)
