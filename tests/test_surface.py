"""The module and SchemaEngine as Python sees them: construction, arguments, errors."""

import inspect
import json
import subprocess
import sys
import textwrap

import pytest

import _graphql
from _graphql import SchemaEngine
from conftest import run_in_thread

CATALOGUE = json.dumps([{"server": "s", "name": "t"}, {"server": "s", "name": "u"}])


def test_module_attributes():
    assert _graphql.__all__ == ["SchemaEngine", "graphql_stub"]
    assert _graphql.graphql_stub() == "dive-ziri _graphql extension loaded"
    assert SchemaEngine.__name__ == SchemaEngine.__qualname__ == "SchemaEngine"
    assert SchemaEngine.__module__ == "_graphql"
    assert str(inspect.signature(SchemaEngine)) == "(catalogue_json=None)"
    assert SchemaEngine.__doc__.startswith("Minimal GraphQL schema engine exposed to Python.")


@pytest.mark.parametrize(
    "name, signature",
    [
        ("build", "(catalogue_json)"),
        ("from_tool_metadata", "(catalogue_json)"),
        ("describe", "()"),
        ("tool_count", "()"),
        ("attach_call_bridge", "()"),
        ("detach_call_bridge", "()"),
        ("receive_tool_call", "(timeout_ms=Ellipsis)"),
        ("respond_tool_call", "(request_id, result_json)"),
        ("fail_tool_call", "(request_id, message)"),
        ("execute", "(query, variables_json=None)"),
    ],
)
def test_method_signatures(name, signature):
    method = getattr(SchemaEngine, name)
    assert str(inspect.signature(getattr(SchemaEngine(), name))) == signature
    assert method.__doc__ is None or method.__doc__ == ""


def test_method_table_order():
    names = [n for n in vars(SchemaEngine) if not n.startswith("__")]
    assert names == [
        "build", "from_tool_metadata", "describe", "tool_count", "attach_call_bridge",
        "detach_call_bridge", "receive_tool_call", "respond_tool_call", "fail_tool_call",
        "execute",
    ]


def test_type_is_final_and_has_no_instance_dict():
    with pytest.raises(TypeError):
        type("Sub", (SchemaEngine,), {})
    engine = SchemaEngine()
    with pytest.raises(AttributeError):
        engine.extra = 1
    with pytest.raises(TypeError):
        __import__("weakref").ref(engine)


@pytest.mark.parametrize(
    "make",
    [
        lambda: SchemaEngine(),
        lambda: SchemaEngine(None),
        lambda: SchemaEngine(""),
        lambda: SchemaEngine("  \n "),
        lambda: SchemaEngine(catalogue_json=None),
        lambda: SchemaEngine.build(""),
        lambda: SchemaEngine.from_tool_metadata("\u3000"),
    ],
)
def test_empty_engines(make):
    engine = make()
    assert type(engine) is SchemaEngine
    assert engine.tool_count() == 0
    assert engine.describe() == "dive-ziri GraphQL schema engine stub (0 tool fields)"


@pytest.mark.parametrize(
    "make",
    [
        lambda: SchemaEngine(CATALOGUE),
        lambda: SchemaEngine(catalogue_json=CATALOGUE),
        lambda: SchemaEngine.build(CATALOGUE),
        lambda: SchemaEngine.build(catalogue_json=CATALOGUE),
        lambda: SchemaEngine.from_tool_metadata(CATALOGUE),
    ],
)
def test_constructors_load_the_catalogue(make):
    engine = make()
    assert engine.tool_count() == 2
    assert engine.describe() == "dive-ziri GraphQL schema engine stub (2 tool fields)"


@pytest.mark.parametrize("text", ["{", "[1,", "{} x", "[" * 128 + "]" * 128])
def test_invalid_catalogue_raises_value_error(text):
    with pytest.raises(ValueError, match=r"^invalid catalogue JSON: .* at line \d+ column \d+$"):
        SchemaEngine(text)


def test_catalogue_nesting_boundary():
    assert SchemaEngine("[" * 127 + "]" * 127).tool_count() == 0
    with pytest.raises(ValueError, match="recursion limit exceeded"):
        SchemaEngine.build("[" * 128 + "]" * 128)


# (callable, exception, message fragment, note or None)
ARGUMENT_ERRORS = [
    (lambda e: SchemaEngine.build(None), TypeError, "must be str", "catalogue_json"),
    (lambda e: SchemaEngine.from_tool_metadata(None), TypeError, "must be str", "catalogue_json"),
    (lambda e: SchemaEngine(b"[]"), TypeError, "must be str", "catalogue_json"),
    (lambda e: SchemaEngine.build(), TypeError, "missing required argument 'catalogue_json'", None),
    (lambda e: SchemaEngine("", ""), TypeError, "SchemaEngine.__new__() takes at most 1", None),
    (lambda e: SchemaEngine(x=""), TypeError, "unexpected keyword argument 'x'", None),
    (lambda e: SchemaEngine.build("", catalogue_json=""), TypeError, "given by name", None),
    (lambda e: e.execute(), TypeError, "SchemaEngine.execute() missing required argument 'query'", None),
    (lambda e: e.execute(1), TypeError, "must be str, not int", "query"),
    (lambda e: e.execute("{a}", 2), TypeError, "must be str", "variables_json"),
    (lambda e: e.execute("\ud800"), UnicodeEncodeError, "surrogate", "query"),
    (lambda e: e.execute("{a}", "{}", None), TypeError, "takes at most 2 arguments", None),
    (lambda e: e.receive_tool_call(timeout_ms=None), TypeError, "", "timeout_ms"),
    (lambda e: e.receive_tool_call(1.5), TypeError, "", "timeout_ms"),
    (lambda e: e.receive_tool_call(-1), OverflowError, "", "timeout_ms"),
    (lambda e: e.receive_tool_call(2**64), OverflowError, "", "timeout_ms"),
    (lambda e: e.respond_tool_call("x"), TypeError, "missing required argument 'result_json'", None),
    (lambda e: e.respond_tool_call(request_id=1, result_json="1"), TypeError, "must be str", "request_id"),
    (lambda e: e.fail_tool_call("x", message=None), TypeError, "must be str", "message"),
    (lambda e: e.describe(1), TypeError, "takes no arguments", None),
    (lambda e: _graphql.graphql_stub(1), TypeError, "takes no arguments", None),
]


@pytest.mark.parametrize("call, error, fragment, parameter", ARGUMENT_ERRORS)
def test_argument_errors(call, error, fragment, parameter):
    engine = SchemaEngine()
    with pytest.raises(error, match=None) as info:
        call(engine)
    assert fragment in str(info.value)
    notes = getattr(info.value, "__notes__", [])
    if parameter is None:
        assert notes == []
    else:
        assert notes == [f"while processing '{parameter}'"]


class Index:
    """An integer only through __index__, as a NumPy integer is."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_integer_like_timeouts_are_accepted():
    engine = SchemaEngine()
    assert engine.receive_tool_call(True) is None
    assert engine.receive_tool_call(timeout_ms=0) is None
    assert engine.receive_tool_call(Index(0)) is None


def test_the_largest_timeout_waits_for_a_request():
    # A limit too large to add to the clock must wait as long as it takes, not
    # wrap around into a deadline already past.
    engine = SchemaEngine(CATALOGUE)
    engine.attach_call_bridge()
    received = run_in_thread(engine.receive_tool_call, 2**64 - 1)
    result = run_in_thread(engine.execute, "{ s_t }")
    request = json.loads(received())
    assert engine.respond_tool_call(request["request_id"], "1")
    assert json.loads(result())["data"] == {"s_t": 1}


def run_python(code, *options):
    return subprocess.run(
        [sys.executable, *options, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=60,
        env={"PYTHONPATH": ":".join(sys.path)},
    )


def test_import_is_warning_free_and_repeatable():
    # A free-threaded interpreter turns the GIL on, with a warning (an error
    # here), when it imports a module that does not declare it runs without.
    result = run_python("""
        import sys, sysconfig
        free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
        assert sys._is_gil_enabled() is not free_threaded
        import _graphql
        assert sys._is_gil_enabled() is not free_threaded
        first = _graphql.SchemaEngine
        del sys.modules["_graphql"]
        import _graphql
        assert _graphql.SchemaEngine is first
        assert _graphql.__all__ == ["SchemaEngine", "graphql_stub"]
        print("ok")
    """, "-W", "error")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_sub_interpreters_refuse_the_module():
    result = run_python("""
        from concurrent import interpreters
        interp = interpreters.create()
        try:
            interp.exec("import _graphql")
        except interpreters.ExecutionFailed as e:
            print(e.excinfo.type.__name__)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ImportError"


def test_internal_fault_type_derives_from_base_exception():
    # Not a module attribute (it is met only when raised), so found among the
    # subclasses: directly under BaseException, where `except Exception` misses it.
    [fault] = [t for t in BaseException.__subclasses__() if t.__module__ == "_graphql"]
    assert fault.__name__ == "InternalFault"
    assert fault.__bases__ == (BaseException,)
    assert fault not in vars(_graphql).values()
