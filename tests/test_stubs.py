"""The type stubs must describe the extension module as it is built."""

import ast
import importlib.util
import inspect
import json
import os
import subprocess
import sys
import sysconfig
import threading
import types
from pathlib import Path
from typing import Any

import pytest

import _graphql

STUB = Path(__file__).resolve().parent.parent / "src" / "python" / "_graphql.pyi"
TREE = ast.parse(STUB.read_text(encoding="utf-8"))
[CLASS] = [node for node in TREE.body if isinstance(node, ast.ClassDef)]
Parameter = inspect.Parameter


def functions(body: list[ast.stmt]) -> dict[str, ast.FunctionDef]:
    return {node.name: node for node in body if isinstance(node, ast.FunctionDef)}


STUB_FUNCTIONS = functions(TREE.body)
STUB_METHODS = functions(CLASS.body)
RUNTIME_METHODS = {name for name in dir(_graphql.SchemaEngine) if not name.startswith("_")}


def decorators(node: ast.FunctionDef | ast.ClassDef) -> set[str]:
    return {d.id for d in node.decorator_list if isinstance(d, ast.Name)}


def stub_default(node: ast.expr | None) -> Any:
    return Parameter.empty if node is None else ast.literal_eval(node)


def stub_parameters(node: ast.FunctionDef, bound: bool) -> list[tuple[str, Any, Any]]:
    """(name, kind, default) of each parameter, without self or cls when bound."""
    args = node.args
    positional = ([(a, Parameter.POSITIONAL_ONLY) for a in args.posonlyargs]
                  + [(a, Parameter.POSITIONAL_OR_KEYWORD) for a in args.args])
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    found: list[tuple[str, Any, Any]] = [
        (a.arg, kind, stub_default(d)) for (a, kind), d in zip(positional, defaults)]
    if args.vararg:
        found.append((args.vararg.arg, Parameter.VAR_POSITIONAL, Parameter.empty))
    found += [(a.arg, Parameter.KEYWORD_ONLY, stub_default(d))
              for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    if args.kwarg:
        found.append((args.kwarg.arg, Parameter.VAR_KEYWORD, Parameter.empty))
    return found[1:] if bound else found


def same_default(stub: Any, runtime: Any) -> bool:
    # "..." on either side means "has a default that is not spelled out".
    if stub is Parameter.empty or runtime is Parameter.empty:
        return stub is runtime
    return stub is Ellipsis or runtime is Ellipsis or (type(stub), stub) == (type(runtime), runtime)


def runtime_callable(name: str) -> Any:
    if name == "graphql_stub":
        return _graphql.graphql_stub
    if name == "__new__":
        return _graphql.SchemaEngine
    return getattr(_graphql.SchemaEngine(), name)  # bound, so self and cls drop out


# The type takes its arguments in __new__ (it has no __init__ of its own), so
# that is where the stubs describe the constructor.
CALLABLES = ["graphql_stub", "__new__", *sorted(RUNTIME_METHODS | set(STUB_METHODS) - {"__new__"})]


def stub_node(name: str) -> ast.FunctionDef:
    node = STUB_FUNCTIONS.get(name) if name == "graphql_stub" else STUB_METHODS.get(name)
    assert node is not None, f"{name} is missing from the stubs"
    return node


@pytest.mark.parametrize("name", CALLABLES)
def test_parameters_match(name: str) -> None:
    node = stub_node(name)
    assert name == "graphql_stub" or name in RUNTIME_METHODS | {"__new__"}, \
        f"{name} is in the stubs but not in the module"
    stub = stub_parameters(node, bound=name != "graphql_stub")
    runtime = [(p.name, p.kind, p.default)
               for p in inspect.signature(runtime_callable(name)).parameters.values()]
    assert [(n, k) for n, k, _ in stub] == [(n, k) for n, k, _ in runtime]
    for (param, _, stub_value), (_, _, runtime_value) in zip(stub, runtime):
        assert same_default(stub_value, runtime_value), (param, stub_value, runtime_value)


@pytest.mark.parametrize("name", sorted(set(STUB_METHODS) - {"__new__"}))
def test_classmethods_match(name: str) -> None:
    runtime = inspect.getattr_static(_graphql.SchemaEngine, name)
    is_classmethod = isinstance(runtime, (classmethod, types.ClassMethodDescriptorType))
    assert ("classmethod" in decorators(STUB_METHODS[name])) == is_classmethod


def test_module_names_match() -> None:
    [exported] = [node.value for node in TREE.body if isinstance(node, ast.Assign)
                  and [t.id for t in node.targets if isinstance(t, ast.Name)] == ["__all__"]]
    stub_all = set(ast.literal_eval(exported))
    runtime_public = {name for name in dir(_graphql) if not name.startswith("_")}
    assert stub_all == runtime_public
    assert stub_all == set(STUB_FUNCTIONS) | {CLASS.name}


def test_final_matches() -> None:
    try:
        type("Sub", (_graphql.SchemaEngine,), {})
        subclassable = True
    except TypeError:
        subclassable = False
    assert ("final" in decorators(CLASS)) == (not subclassable)
    assert _graphql.SchemaEngine.__module__ == "_graphql"


def annotated_types(name: str) -> tuple[type, ...]:
    """The return annotation of a stub function as a tuple of exact types."""
    known = {"str": str, "int": int, "bool": bool, "None": type(None),
             "SchemaEngine": _graphql.SchemaEngine}

    def walk(node: ast.expr) -> tuple[type, ...]:
        if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
            return walk(node.left) + walk(node.right)
        if isinstance(node, ast.Constant) and node.value is None:
            return (type(None),)
        assert isinstance(node, ast.Name) and node.id in known, ast.dump(node)
        return (known[node.id],)

    returns = stub_node(name).returns
    assert returns is not None, f"{name} has no return annotation"
    return walk(returns)


CATALOGUE = json.dumps([{"server": "s", "name": "t", "description": "d"}])

# Each call passes its arguments by the stub's parameter names, so a name the
# runtime does not accept fails here even if its signature text claims it.
CALLS: dict[str, Any] = {
    "graphql_stub": lambda e: _graphql.graphql_stub(),
    "__new__": lambda e: _graphql.SchemaEngine(catalogue_json=CATALOGUE),
    "build": lambda e: _graphql.SchemaEngine.build(catalogue_json=CATALOGUE),
    "from_tool_metadata": lambda e: _graphql.SchemaEngine.from_tool_metadata(catalogue_json=CATALOGUE),
    "describe": lambda e: e.describe(),
    "tool_count": lambda e: e.tool_count(),
    "attach_call_bridge": lambda e: e.attach_call_bridge(),
    "detach_call_bridge": lambda e: e.detach_call_bridge(),
    "receive_tool_call": lambda e: e.receive_tool_call(timeout_ms=0),
    "respond_tool_call": lambda e: e.respond_tool_call(request_id="no-such-call", result_json="1"),
    "fail_tool_call": lambda e: e.fail_tool_call(request_id="no-such-call", message="m"),
    "execute": lambda e: e.execute(query="{ s_t }", variables_json=None),
}


def test_every_stub_function_has_a_call() -> None:
    assert set(CALLS) == set(STUB_FUNCTIONS) | set(STUB_METHODS)


@pytest.mark.parametrize("name", sorted(CALLS))
def test_return_types_match(name: str) -> None:
    result = CALLS[name](_graphql.SchemaEngine(CATALOGUE))
    assert type(result) in annotated_types(name), (name, result)


def test_return_types_of_a_call_answered_through_the_bridge() -> None:
    engine = _graphql.SchemaEngine(CATALOGUE)
    engine.attach_call_bridge()
    outcome: list[Any] = []
    query = threading.Thread(target=lambda: outcome.append(engine.execute("{ s_t }")), daemon=True)
    query.start()
    try:
        request = engine.receive_tool_call(timeout_ms=30_000)
        assert type(request) in annotated_types("receive_tool_call")
        assert isinstance(request, str)
        answered = engine.respond_tool_call(json.loads(request)["request_id"], '{"ok": true}')
        assert type(answered) in annotated_types("respond_tool_call") and answered is True
    finally:
        engine.detach_call_bridge()
        query.join(30)
    assert not query.is_alive()
    assert type(outcome[0]) in annotated_types("execute")


# The runtime signature of receive_tool_call spells its default "timeout_ms=...",
# which stubtest cannot compare with the stub's 100; test_parameters_match still
# checks the method's parameter names and kinds.
STUBTEST_ALLOWLIST = ["_graphql.SchemaEngine.receive_tool_call"]


def test_stubtest_accepts_the_stubs(tmp_path: Path) -> None:
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        # Debian builds mypy's compiled parts (and librt) for the interpreter with the GIL.
        probe = subprocess.run([sys.executable, "-c", "import mypy.stubtest"],
                               capture_output=True, text=True, timeout=600)
        if probe.returncode != 0:
            pytest.skip("mypy does not import on the free-threaded interpreter: "
                        + probe.stderr.strip().splitlines()[-1])
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("\n".join(STUBTEST_ALLOWLIST) + "\n", encoding="utf-8")
    env = dict(os.environ)
    env["MYPYPATH"] = str(STUB.parent)
    module_dir = str(Path(_graphql.__file__).resolve().parent)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
    completed = subprocess.run([sys.executable, "-m", "mypy.stubtest", "_graphql",
                                "--allowlist", str(allowlist)], cwd=tmp_path,
                               env=env, capture_output=True, text=True, timeout=600)
    assert completed.returncode == 0, completed.stdout + completed.stderr
