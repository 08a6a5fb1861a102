"""The README's and docs' examples, run as written and compared with what they print, so they
cannot go stale.

A ```console block is a session: `$ COMMAND` lines, each followed by what it prints (standard
output; for a `--serve` command, its first line on standard error, the server then running
for the rest of the block). A line `...` stands for any lines. The repository's tools run as
themselves (these tests are in the dev root already: DEVROOT=native), from a user's folder
outside the repository, as a user would run them; a session that installs the package runs in
the repository. `$ cat FILE` shows a file the next commands use: it is written first. Port
8000 and /tmp/ziri-venv become ones of the test's own. A ```python block followed by a
```text block prints that text.
"""

import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import DEADLINE, SANITIZER_VARIABLES, require_mcp_sdk

require_mcp_sdk()  # before support, which imports the gateway and so the SDK

from support import REPO, gateway_env  # noqa: E402

BUILD_DEADLINE = 600  # seconds for a command that compiles the engine
DOCUMENTS = [REPO / "README.md", *sorted((REPO / "docs").glob("*.md"))]
CONSOLE = re.compile(r"```console\n(.*?)```", re.S)
PROGRAM = re.compile(r"```python\n(.*?)```\n.*?```text\n(.*?)```", re.S)
# python3.11 stands for any interpreter older than 3.14: this one, reporting that version.
OLD_PYTHON = """#!/bin/sh
exec python3 -c 'import sys, runpy
sys.version_info = (3, 11, 9, "final", 0)
sys.argv[0] = "-m"
runpy.run_module("gateway", run_name="__main__", alter_sys=True)' "$@"
"""
# The dev root has no curl: where it is missing, the few options the examples use.
CURL = """#!/usr/bin/env python3
import sys, httpx
headers, data, url, args = {}, None, None, iter(sys.argv[1:])
for arg in args:
    if arg == "-H":
        name, _, value = next(args).partition(":")
        headers[name.strip()] = value.strip()
    elif arg == "-d":
        data = next(args)
    elif arg != "-s":
        url = arg
answer = httpx.request("POST" if data is not None else "GET", url, headers=headers, content=data)
sys.stdout.write(answer.text)
"""


def without_sanitizers(env: dict[str, str]) -> dict[str, str]:
    return {k: v for k, v in env.items() if k not in SANITIZER_VARIABLES}


def sessions() -> list[pytest.ParameterSet]:
    found = []
    for document in DOCUMENTS:
        for number, block in enumerate(CONSOLE.findall(document.read_text(encoding="utf-8")), 1):
            found.append(pytest.param(block, id=f"{document.relative_to(REPO)}-{number}"))
    return found


def steps(block: str) -> list[tuple[str, list[str]]]:
    """Each command with the lines it should print."""
    done: list[tuple[str, list[str]]] = []
    for line in block.splitlines():
        if line.startswith("$ "):
            done.append((line[2:], []))
        else:
            done[-1][1].append(line)
    return done


def same(expected: list[str], printed: str) -> bool:
    pattern = "".join(r"(?:.*\n)*?" if line == "..." else re.escape(line) + r"\n" for line in expected)
    return re.fullmatch(pattern, printed.rstrip("\n") + "\n" if printed.strip() else "") is not None


def free_port() -> str:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return str(sock.getsockname()[1])


@pytest.fixture
def shell(tmp_path: Path) -> tuple[Path, dict[str, str]]:
    """A user's directory, with the repository's examples beside it, and their environment."""
    work, bin_dir, home = tmp_path / "work", tmp_path / "bin", tmp_path / "home"
    for folder in (work, bin_dir, home):
        folder.mkdir(parents=True)
    (work / "examples").symlink_to(REPO / "examples")
    (bin_dir / "python3.11").write_text(OLD_PYTHON, encoding="utf-8")
    if shutil.which("curl") is None:
        (bin_dir / "curl").write_text(CURL, encoding="utf-8")
    for script in bin_dir.iterdir():
        script.chmod(0o755)
    env = gateway_env()
    env |= {"HOME": str(home), "PATH": f"{bin_dir}{os.pathsep}{env['PATH']}", "LC_ALL": "C", "DEVROOT": "native"}
    if "ASAN_OPTIONS" in env:  # the sanitized run: bash and the tools' scripts leak at exit, as shells do
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return work, env


@pytest.mark.parametrize("block", sessions())
def test_console_examples_print_what_they_show(block: str, shell: tuple[Path, dict[str, str]]) -> None:
    work, env = shell
    if "pip install" in block:
        work = REPO
    block = block.replace("8000", free_port()).replace("/tmp/ziri-venv", str(shell[0].parent / "venv"))
    block = re.sub(r"(^\$ |[;|&] )tools/", rf"\g<1>{REPO}/tools/", block, flags=re.M)
    servers: list[subprocess.Popen[str]] = []
    try:
        for command, expected in steps(block):
            if command.startswith("cat ") and expected:
                (work / shlex.split(command)[1]).write_text("\n".join(expected) + "\n", encoding="utf-8")
            if "--serve" in command:
                server = subprocess.Popen(["bash", "-c", f"exec {command}"], cwd=work, env=env, text=True,
                                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
                servers.append(server)
                assert server.stderr is not None
                said = server.stderr.readline()
                assert same(expected, said), (command, said)
                continue
            # An install builds the engine when build-wheel/ is not there yet (a fresh clone), with the
            # compiler, which the sanitized run's preloaded runtime must not enter.
            installs = "pip install" in command
            done = subprocess.run(["bash", "-c", command], cwd=work, env=without_sanitizers(env) if installs else env,
                                  text=True, capture_output=True, timeout=BUILD_DEADLINE if installs else DEADLINE)
            printed = done.stdout if done.stdout or not done.stderr else done.stderr
            assert same(expected, printed), (command, done.stdout, done.stderr)
    finally:
        for server in servers:  # the whole group: a tool that starts the gateway may not pass the signal on
            os.killpg(server.pid, signal.SIGTERM)
            try:
                server.communicate(timeout=DEADLINE)
            except subprocess.TimeoutExpired:
                os.killpg(server.pid, signal.SIGKILL)
                server.communicate()


@pytest.mark.parametrize("document", [d for d in DOCUMENTS if PROGRAM.search(d.read_text(encoding="utf-8"))],
                         ids=lambda d: str(d.relative_to(REPO)))
def test_python_examples_print_what_they_show(document: Path) -> None:
    for program, printed in PROGRAM.findall(document.read_text(encoding="utf-8")):
        done = subprocess.run([sys.executable, "-c", program], env=gateway_env(), text=True, capture_output=True,
                              timeout=DEADLINE, cwd=REPO)
        assert done.stdout == printed, done.stderr


def test_the_readme_starts_with_the_gateway_and_stays_short() -> None:
    text = (REPO / "README.md").read_text(encoding="utf-8")
    assert len(text.splitlines()) < 250
    first_screen = "\n".join(text.splitlines()[:25])
    assert "MCP" in first_screen and "GraphQL" in first_screen
    setup = re.search(r"```sh\n(.*?)```", text, re.S)
    assert setup and [line.split()[0] for line in setup.group(1).splitlines()] == ["tools/main", "tools/test"]
    for link in re.findall(r"\]\(((?:docs/)?[\w./-]+\.(?:md|png))\)", text):
        assert (REPO / link).is_file(), link
