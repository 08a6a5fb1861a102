"""The pytest plugin of tools/check, which loads it with -p.

Runs the tests against the module of one build directory ($ZIRI_CHECK_BUILD) and adds the
modes of the refleak and parallel checks. It lives outside the test tree so that plain pytest
runs never load it.
"""

import gc
import os
import pathlib
import sys

import pytest
from _pytest.runner import runtestprotocol

BUILD = pathlib.Path(os.environ["ZIRI_CHECK_BUILD"]).resolve()
DEFAULT_BUILDS = [str(pathlib.Path(os.environ["ZIRI_CHECK_REPO"]).resolve() / name)
                  for name in ("build", "build-ft")]

# Imported before tests/conftest.py puts the default build first, so every test
# module gets this build's module from sys.modules.
sys.path.insert(0, str(BUILD))
import _graphql  # noqa: E402

if pathlib.Path(_graphql.__file__).resolve().parent != BUILD:
    raise ImportError(f"_graphql came from {_graphql.__file__}, not {BUILD}")


def pytest_collection_finish(session):
    # Interpreters that tests start take their path from this one: this build
    # goes first and the default builds not at all.
    sys.path[:] = [str(BUILD)] + [p for p in sys.path if p != str(BUILD) and p not in DEFAULT_BUILDS]
    if wrapper := os.environ.get("ZIRI_CHECK_PYTHON"):
        sys.executable = wrapper


def pytest_report_header(config):
    return f"_graphql under check: {_graphql.__file__}"


# parallel: tests that must keep to one thread.

# Every test of the default run also runs here, except these, which stay on one
# thread (nodeid suffix: reason).
THREAD_UNSAFE = {
    "test_bridge.py::test_runtime_threads_are_named_and_owned_per_engine": (
        "counts the runtime threads of the whole process"
    ),
    "test_bridge.py::test_engines_in_a_loop_leave_no_threads": (
        "counts the threads of the whole process"
    ),
    "test_bridge.py::test_many_fields_many_threads": (
        "runs 8 query and 4 host threads itself; four copies at once under the "
        "sanitizers take longer than the tests' 30 s join deadline"
    ),
}
# The plugin hands one fixture value to all threads of a test, and these tests
# count the request ids, requests and replies of their one engine.
SHARED_ENGINE = ("test_bridge.py", "engine")

PARALLEL = os.environ.get("ZIRI_CHECK_PARALLEL") == "1"


def pytest_configure(config):
    if PARALLEL:
        sys.setswitchinterval(1e-6)


@pytest.hookimpl(tryfirst=True)
def pytest_collection_modifyitems(config, items):
    if not PARALLEL:
        return
    for item in items:
        for suffix, reason in THREAD_UNSAFE.items():
            if item.nodeid.split("[")[0].endswith(suffix):
                item.add_marker(pytest.mark.thread_unsafe(reason=reason))
        module, fixture = SHARED_ENGINE
        if item.path.name == module and fixture in getattr(item, "fixturenames", ()):
            item.add_marker(
                pytest.mark.thread_unsafe(
                    reason="shares one engine between the threads and counts its request ids"
                )
            )


# refleak: each test again and again, counting references and blocks.

REFLEAK = os.environ.get("ZIRI_CHECK_REFLEAK")  # "WARMUP,RUNS"


def counts():
    gc.collect()
    sys._clear_internal_caches()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def leaked(deltas):
    # As CPython's own leak hunting judges it: growth in every measured run is a
    # leak; a single noisy run is not.
    return all(delta >= 1 for delta in deltas)


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    if not REFLEAK:
        return None
    warmup, runs = (int(n) for n in REFLEAK.split(","))
    item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    refs, blocks = [], []
    reports = None
    for run in range(warmup + runs):
        before = counts()
        # Tears down the test's own fixtures but keeps those of its module
        # and session, as between two tests of one module.
        reports = runtestprotocol(item, nextitem=item.parent, log=False)
        after = counts()
        if any(report.failed for report in reports):
            break
        if run >= warmup:
            refs.append(after[0] - before[0])
            blocks.append(after[1] - before[1])
    if reports is not None and not any(report.failed for report in reports):
        reports = runtestprotocol(item, nextitem=nextitem, log=False)
        found = [
            f"{name} grew in every run: {deltas}"
            for name, deltas in (("references", refs), ("memory blocks", blocks))
            if deltas and leaked(deltas)
        ]
        for report in reports:
            if report.when == "call" and found and report.passed:
                report.outcome = "failed"
                report.longrepr = "\n".join(found)
    for report in reports:
        item.ihook.pytest_runtest_logreport(report=report)
    item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True
