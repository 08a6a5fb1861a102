"""The example host program: its tools, its thread pool and its command line."""

import json
import os
import queue
import signal
import subprocess
import sys
import threading
from pathlib import Path
from typing import Any

import pytest

import _graphql

HOST = Path(__file__).resolve().parent.parent / "examples" / "tool_host.py"
sys.path.insert(0, str(HOST.parent))
import tool_host  # noqa: E402
from tool_host import ToolError  # noqa: E402

RUN_TIMEOUT = 60  # seconds for one run of the host program
JOIN_TIMEOUT = 30  # seconds for a thread of ours to finish
SECRET = "the contents of a file outside the root"


@pytest.fixture
def tree(tmp_path: Path) -> Path:
    """A files root with a subdirectory and symlinks leading inside and out."""
    root = tmp_path / "root"
    (root / "sub").mkdir(parents=True)
    (root / "hello.txt").write_text("hello world\nsecond line\n", encoding="utf-8")
    (root / "sub" / "inner.txt").write_text("inner\n", encoding="utf-8")
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "secret.txt").write_text(SECRET, encoding="utf-8")
    (root / "alias.txt").symlink_to("hello.txt")
    (root / "escape.txt").symlink_to(outside / "secret.txt")
    (root / "escape-dir").symlink_to(outside, target_is_directory=True)
    return root


@pytest.fixture
def files(tree: Path) -> tool_host.Files:
    return tool_host.Files(tree)


@pytest.fixture
def registry(files: tool_host.Files) -> tool_host.Registry:
    return tool_host.build_registry(files, threading.Event())


def host_env() -> dict[str, str]:
    env = dict(os.environ)
    module_dir = str(Path(_graphql.__file__).resolve().parent)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
    return env


def host_command(root: Path, *args: str) -> list[str]:
    return [sys.executable, str(HOST), "--root", str(root), *args]


def run_host(root: Path, *args: str, stdin: str | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run(host_command(root, *args), input=stdin, capture_output=True, text=True,
                          env=host_env(), timeout=RUN_TIMEOUT)


def responses(stdout: str) -> list[dict[str, Any]]:
    decoder, found, position = json.JSONDecoder(), [], 0
    while stdout[position:].strip():
        while stdout[position].isspace():
            position += 1
        response, position = decoder.raw_decode(stdout, position)
        found.append(response)
    return found


def data_of(completed: subprocess.CompletedProcess[str]) -> dict[str, Any]:
    assert completed.returncode == 0, completed.stderr
    [response] = responses(completed.stdout)
    assert response["errors"] == []
    data: dict[str, Any] = response["data"]
    return data


def is_error(value: object) -> bool:
    return isinstance(value, dict) and value.get("isError") is True


# ---- the program as a whole ------------------------------------------------------------


def test_default_query_shows_the_catalogue_and_real_tool_results(
        tree: Path, registry: tool_host.Registry) -> None:
    data = data_of(run_host(tree))

    servers = {server["name"]: server for server in data["servers"]}
    assert set(servers) == {server for server, _ in registry.tools}
    for name, server in servers.items():
        tools = [tool for (owner, _), tool in registry.tools.items() if owner == name]
        assert server["toolCount"] == len(tools)
        assert server["readOnlyCount"] == sum(not tool.writes for tool in tools)
    assert len(data["search"]) == len(registry.tools)

    tool_values = {k: v for k, v in data.items() if k not in ("__typename", "servers", "search")}
    assert tool_values
    assert not [key for key, value in tool_values.items() if is_error(value)], tool_values
    [listing] = [v for v in tool_values.values() if isinstance(v, dict) and "entries" in v]
    assert [entry["name"] for entry in listing["entries"]] == sorted(os.listdir(tree))


def test_query_with_variables(tree: Path) -> None:
    query = """query ($p: String!, $xs: [Float!]!) {
      s: files_stat(path: $p)
      r: files_read_file(path: $p)
      st: math_stats(values: $xs)
    }"""
    data = data_of(run_host(tree, query, "--variables", json.dumps({"p": "hello.txt", "xs": [3, 1, 2]})))
    assert data["s"]["size"] == (tree / "hello.txt").stat().st_size
    assert data["r"]["text"] == (tree / "hello.txt").read_text(encoding="utf-8")
    assert (data["st"]["count"], data["st"]["min"], data["st"]["max"]) == (3, 1, 3)


@pytest.mark.parametrize(("field", "message"), [
    ('math_divide(a: 1, b: 0)', "division by zero"),
    ('notes_get(title: "missing")', "no note titled 'missing'"),
    ('clock_days_between(start: "2024-02-30", end: "2024-03-01")', "ISO date"),
    ('math_add(numbers: [1, "two"])', "must be a number"),
    ('text_reverse(txt: "abc")', "text.reverse"),
])
def test_a_failing_tool_becomes_an_error_value_of_its_field(tree: Path, field: str, message: str) -> None:
    data = data_of(run_host(tree, f"{{ r: {field} ok: text_reverse(text: \"ab\") }}"))
    assert is_error(data["r"]), data
    assert message in data["r"]["text"]
    assert data["ok"] == {"text": "ba"}  # one failure leaves the other fields alone


@pytest.mark.parametrize(("entry", "field", "message"), [
    ({"server": "files", "name": "delete", "readOnly": False},
     'files_delete(path: "hello.txt")', "unknown tool files.delete"),
    ({"server": "notes", "name": "put", "readOnly": True},
     'notes_put(title: "t", body: "b")', "declares it read-only"),
])
def test_a_catalogue_the_host_cannot_honour(tmp_path: Path, tree: Path, entry: dict[str, Any],
                                           field: str, message: str) -> None:
    catalogue = tmp_path / "catalogue.json"
    catalogue.write_text(json.dumps([entry]), encoding="utf-8")
    data = data_of(run_host(tree, "--catalogue", str(catalogue), f"{{ r: {field} }}"))
    assert is_error(data["r"]), data
    assert message in data["r"]["text"]
    assert (tree / "hello.txt").exists()


@pytest.mark.parametrize("tool", ["files_read_file", "files_stat", "files_list"])
def test_paths_outside_the_files_root_are_refused(tree: Path, tool: str) -> None:
    paths = ["../outside/secret.txt", str(tree.parent / "outside" / "secret.txt"),
             "sub/../../outside/secret.txt", "escape.txt", "escape-dir", "escape-dir/secret.txt"]
    names = [f"p{n}" for n in range(len(paths))]
    query = "query ({}) {{ {} }}".format(
        ", ".join(f"${name}: String!" for name in names),
        " ".join(f"{name}: {tool}(path: ${name})" for name in names))
    completed = run_host(tree, query, "--variables", json.dumps(dict(zip(names, paths))))
    data = data_of(completed)
    for name, path in zip(names, paths):
        assert is_error(data[name]), (path, data[name])
        assert "outside the files root" in data[name]["text"]
    assert SECRET not in completed.stdout
    assert str(tree) not in completed.stdout.replace(paths[1], "")  # the root stays private


def test_standard_input_runs_each_block_in_order_and_keeps_state(tree: Path) -> None:
    blocks = ['{ put: notes_put(title: "todo", body: "buy milk") }',
              '{\n  get: notes_get(title: "todo")\n  all: notes_list\n}']
    completed = run_host(tree, "-", "--timing", stdin="\n\n  \n".join(blocks) + "\n")
    assert completed.returncode == 0, completed.stderr
    first, second = responses(completed.stdout)
    assert first["data"]["put"]["created"] is True
    assert second["data"]["get"]["body"] == "buy milk"
    assert "todo" in [note["title"] for note in second["data"]["all"]["notes"]]
    timing_lines = [line for line in completed.stderr.splitlines() if line.startswith("query ")]
    assert len(timing_lines) == 2


@pytest.mark.parametrize(("args", "status", "stderr_text"), [
    (["{ nope"], 1, ""),
    (["--catalogue", "{catalogue}"], 2, "invalid catalogue JSON"),
    (["--root", "{missing}"], 2, "No such file"),
    (["--variables", "[1, 2]"], 2, "JSON object"),
    (["--workers", "0"], 2, "at least 1"),
])
def test_exit_status(tmp_path: Path, tree: Path, args: list[str], status: int, stderr_text: str) -> None:
    broken = tmp_path / "broken.json"
    broken.write_text("{ this is not json", encoding="utf-8")
    places = {"{catalogue}": str(broken), "{missing}": str(tmp_path / "missing")}
    args = [places.get(a, a) for a in args]
    completed = run_host(tree, *args)
    assert completed.returncode == status, completed.stderr
    assert stderr_text in completed.stderr
    assert "Traceback" not in completed.stderr
    if status == 1:
        [response] = responses(completed.stdout)
        assert response["errors"]


def test_ctrl_c_while_a_query_waits_ends_the_program_quietly(tree: Path) -> None:
    process = subprocess.Popen(host_command(tree, "-", "--workers", "2"), stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               env=host_env())
    assert process.stdin and process.stdout and process.stderr
    lines: queue.Queue[str | None] = queue.Queue()

    def read_stdout() -> None:
        assert process.stdout
        for line in process.stdout:
            lines.put(line)
        lines.put(None)

    reader = threading.Thread(target=read_stdout, daemon=True)
    reader.start()
    try:
        # A first answered query shows the host is up and listening for Ctrl-C.
        process.stdin.write("{ __typename }\n\n")
        process.stdin.flush()
        while (line := lines.get(timeout=RUN_TIMEOUT)) != "}\n":
            assert line is not None, process.stderr.read()
        # The tool would sleep longer than we wait for the process to end.
        process.stdin.write("{ clock_sleep(seconds: 60) }\n\n")
        process.stdin.flush()
        threading.Event().wait(0.5)  # give the query a moment to reach the worker
        process.send_signal(signal.SIGINT)
        status = process.wait(timeout=JOIN_TIMEOUT)
        stderr = process.stderr.read()
    finally:
        if process.poll() is None:
            process.kill()
            process.wait(timeout=JOIN_TIMEOUT)
    reader.join(JOIN_TIMEOUT)
    assert status == 130, stderr
    assert "interrupted" in stderr
    assert "Traceback" not in stderr


# ---- the host's thread pool, in process -----------------------------------------------


def bundled_engine() -> _graphql.SchemaEngine:
    return _graphql.SchemaEngine.from_tool_metadata(
        tool_host.DEFAULT_CATALOGUE.read_text(encoding="utf-8"))


def test_bundled_catalogue_matches_the_implemented_tools(registry: tool_host.Registry) -> None:
    response = json.loads(bundled_engine().execute("{ search { server tool readOnly } }"))
    assert response["errors"] == []
    declared = {(e["server"], e["tool"]): e["readOnly"] for e in response["data"]["search"]}
    assert declared == {key: not tool.writes for key, tool in registry.tools.items()}


def in_thread(target: Any) -> Any:
    """Run target on a thread, bounded, and hand back its result or exception."""
    outcome: list[Any] = []

    def run() -> None:
        try:
            outcome.append(target())
        except BaseException as exc:
            outcome.append(exc)

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(JOIN_TIMEOUT)
    assert not thread.is_alive(), "timed out"
    if isinstance(outcome[0], BaseException):
        raise outcome[0]
    return outcome[0]


@pytest.mark.parametrize("workers", [1, 4])
def test_more_calls_than_workers_are_all_answered(files: tool_host.Files, workers: int) -> None:
    stopping = threading.Event()
    host = tool_host.ToolHost(bundled_engine(), tool_host.build_registry(files, stopping),
                              workers, stopping)
    words = [f"word{n}" for n in range(8)]
    query = "{ " + " ".join(f'w{n}: text_reverse(text: "{w}")' for n, w in enumerate(words)) + " }"

    def run() -> dict[str, Any]:
        with host:
            return host.execute(query)

    response = in_thread(run)
    assert response["errors"] == []
    assert [response["data"][f"w{n}"]["text"] for n in range(len(words))] == [w[::-1] for w in words]
    assert not [thread for thread in host.threads if thread.is_alive()]


def test_closing_the_host_ends_a_query_in_flight(files: tool_host.Files) -> None:
    stopping = threading.Event()
    host = tool_host.ToolHost(bundled_engine(), tool_host.build_registry(files, stopping), 2, stopping)
    host.__enter__()
    query = threading.Thread(target=host.execute, args=("{ s: clock_sleep(seconds: 60) }",),
                             daemon=True)
    try:
        query.start()
        query.join(0.5)  # let the call reach a worker
    finally:
        in_thread(lambda: host.__exit__(None, None, None))
    query.join(JOIN_TIMEOUT)
    assert not query.is_alive()
    assert not [thread for thread in host.threads if thread.is_alive()]


# ---- the tools ---------------------------------------------------------------------------


@pytest.mark.parametrize("path", [
    "..", "../outside/secret.txt", "sub/../../outside/secret.txt", "/etc/passwd",
    "escape.txt", "escape-dir", "escape-dir/secret.txt",
])
def test_confinement_refuses(files: tool_host.Files, path: str) -> None:
    with pytest.raises(ToolError, match="outside the files root"):
        files.stat(path)


@pytest.mark.parametrize(("path", "relative"), [
    (".", "."), ("sub/../hello.txt", "hello.txt"), ("./sub/inner.txt", "sub/inner.txt"),
    ("alias.txt", "hello.txt"),
])
def test_confinement_allows(files: tool_host.Files, path: str, relative: str) -> None:
    assert files.stat(path)["path"] == relative


def test_a_root_reached_through_a_symlink_still_works(tmp_path: Path, tree: Path) -> None:
    link = tmp_path / "link-to-root"
    link.symlink_to(tree, target_is_directory=True)
    files = tool_host.Files(link)
    assert files.read_file("hello.txt")["text"].startswith("hello")
    with pytest.raises(ToolError, match="outside the files root"):
        files.stat("../outside/secret.txt")


@pytest.mark.parametrize(("call", "message"), [
    (lambda f: f.read_file("missing.txt"), "No such file"),
    (lambda f: f.read_file("sub"), "is a directory"),
    (lambda f: f.list("hello.txt"), "not a directory"),
    (lambda f: f.read_file("hello.txt", max_bytes=0), "max_bytes"),
    (lambda f: f.stat("bad\0name"), "null"),
    (lambda f: f.stat(7), "path must be a string"),
])
def test_file_tool_failures(files: tool_host.Files, call: Any, message: str) -> None:
    with pytest.raises(ToolError, match=message):
        call(files)


@pytest.mark.parametrize(("content", "max_bytes", "text", "truncated"), [
    (b"abcde", 5, "abcde", False),
    (b"abcdef", 5, "abcde", True),
    ("éé".encode(), 3, "é\ufffd", True),  # a cut through a character must not raise
])
def test_read_file_limit(files: tool_host.Files, tree: Path, content: bytes, max_bytes: int,
                         text: str, truncated: bool) -> None:
    (tree / "data.txt").write_bytes(content)
    result = files.read_file("data.txt", max_bytes=max_bytes)
    assert (result["text"], result["truncated"], result["size"]) == (text, truncated, len(content))


def test_list_reports_links_as_links(files: tool_host.Files, tree: Path) -> None:
    kinds = {entry["name"]: entry["type"] for entry in files.list(".")["entries"]}
    expected = {p.name: "symlink" if p.is_symlink() else "dir" if p.is_dir() else "file"
                for p in tree.iterdir()}
    assert kinds == expected


@pytest.mark.parametrize(("start", "end", "days"), [
    ("2024-02-28", "2024-03-01", 2), ("2024-03-01", "2024-02-28", -2), ("2023-12-31", "2024-12-31", 366),
])
def test_days_between(start: str, end: str, days: int) -> None:
    assert tool_host.Clock(threading.Event()).days_between(start, end) == {"days": days}


@pytest.mark.parametrize(("hours", "suffix"), [(0, "+00:00"), (5.5, "+05:30"), (-3, "-03:00")])
def test_now_in_an_offset(hours: float, suffix: str) -> None:
    assert tool_host.Clock(threading.Event()).now(hours)["iso"].endswith(suffix)


def test_sleep_ends_when_the_host_shuts_down() -> None:
    cancel = threading.Event()
    cancel.set()
    with pytest.raises(ToolError, match="cancelled"):
        tool_host.Clock(cancel).sleep(60)


@pytest.mark.parametrize(("call", "expected"), [
    (lambda m: m.add([0.1] * 10), {"sum": 1.0}),  # a naive float sum is off in the last digit
    (lambda m: m.add([10**20, 1]), {"sum": 10**20 + 1}),  # integers stay exact
    (lambda m: m.add([]), {"sum": 0}),
    (lambda m: m.divide(7, 2), {"quotient": 3.5}),
])
def test_arithmetic(call: Any, expected: dict[str, Any]) -> None:
    assert call(tool_host.Arithmetic()) == expected


@pytest.mark.parametrize("call", [
    lambda m: m.add([True, 2]), lambda m: m.add("12"), lambda m: m.divide("1", 2),
    lambda m: m.divide(1, 0), lambda m: m.stats([]), lambda m: m.stats([1, None]),
])
def test_arithmetic_refuses(call: Any) -> None:
    with pytest.raises(ToolError):
        call(tool_host.Arithmetic())


@pytest.mark.parametrize(("text", "slug"), [
    ("Hello, World!", "hello-world"), ("  --Crème brûlée--  ", "creme-brulee"), ("日本", ""),
])
def test_slugify(text: str, slug: str) -> None:
    assert tool_host.TextTools().slugify(text) == {"slug": slug}


@pytest.mark.parametrize(("text", "counts"), [("", (0, 0, 0)), ("a b\n c\n", (3, 2, 7))])
def test_word_count(text: str, counts: tuple[int, int, int]) -> None:
    result = tool_host.TextTools().word_count(text)
    assert (result["words"], result["lines"], result["characters"]) == counts


def test_notes_round_trip() -> None:
    notes = tool_host.Notes()
    assert notes.put("a", "1")["created"] is True
    assert notes.put("a", "2")["created"] is False
    assert notes.get("a")["body"] == "2"
    assert [notes.delete("a")["deleted"], notes.delete("a")["deleted"]] == [True, False]
    with pytest.raises(ToolError, match="no note"):
        notes.get("a")


def test_notes_take_concurrent_writes() -> None:
    notes = tool_host.Notes()
    titles = [f"t{n}" for n in range(200)]
    writers = [threading.Thread(target=lambda part=part: [notes.put(t, t) for t in part])
               for part in (titles[0::2], titles[1::2])]
    for writer in writers:
        writer.start()
    for writer in writers:
        writer.join(JOIN_TIMEOUT)
        assert not writer.is_alive()
    assert set(titles) <= {note["title"] for note in notes.list()["notes"]}


@pytest.mark.parametrize(("server", "tool", "arguments", "operation", "message"), [
    ("math", "modulo", {}, "query", "unknown tool math.modulo"),
    ("math", "add", {"values": [1]}, "query", "math.add: "),
    ("math", "add", [1, 2], "query", "arguments must be an object"),
    ("notes", "put", {"title": "t", "body": "b"}, "query", "declares it read-only"),
])
def test_registry_refuses(registry: tool_host.Registry, server: str, tool: str, arguments: Any,
                          operation: str, message: str) -> None:
    with pytest.raises(ToolError, match=message):
        registry.call(server, tool, arguments, operation)


def test_registry_runs_a_writing_tool_as_a_mutation(registry: tool_host.Registry) -> None:
    result = registry.call("notes", "put", {"title": "t", "body": "b"}, "mutation")
    assert result == {"title": "t", "created": True}


@pytest.mark.parametrize(("text", "blocks"), [
    ("a\n\nb\n", ["a\n", "b\n"]),
    ("\n \n x\n y\n  \n\n\n z", [" x\n y\n", " z"]),
    ("", []),
])
def test_query_blocks(text: str, blocks: list[str]) -> None:
    assert list(tool_host.query_blocks(text.splitlines(keepends=True))) == blocks
