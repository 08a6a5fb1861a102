"""The catalogue as an engine sees it: which entries become tools, and their fields."""

import json

import pytest

from _graphql import SchemaEngine


def hits(catalogue):
    engine = SchemaEngine(json.dumps(catalogue))
    found = json.loads(engine.execute("{ search }"))["data"]["search"]
    assert engine.tool_count() == len(found)
    return [(h["server"], h["tool"], h["field"], h["readOnly"]) for h in found]


@pytest.mark.parametrize(
    "catalogue, expected",
    [
        ([], []),
        ({}, []),
        (42, []),
        (None, []),
        (True, []),
        ({"server": " ", "server_id": "files", "name": "read"}, [("files", "read", "files_read", True)]),
        ({"server": {"value": " files "}, "name": "read"}, [("files", "read", "files_read", True)]),
        ({"server": "s", "name": "n", "toolName": "t"}, [("s", "n", "s_n", True)]),
        ({"server": "s", "name": "\t", "tool": {"value": "x"}}, [("s", "x", "s_x", True)]),
        ({"server": "s", "name": {"value": 3}}, []),
        ({"server": "s", "name": "t", "readOnly": "false"}, [("s", "t", "s_t", True)]),
        ({"server": "s", "name": "t", "readOnly": False, "read_only": True}, [("s", "t", "s_t", False)]),
        ({"server": "s", "name": "t", "annotations": {"readOnlyHint": False}}, [("s", "t", "s_t", False)]),
        ({"server": "s", "name": "t", "annotations": [{"readOnlyHint": False}]}, [("s", "t", "s_t", True)]),
        ({"server": "s", "name": "t", "readOnlyHint": True, "annotations": {"readOnlyHint": False}},
         [("s", "t", "s_t", True)]),
        ({"server": "g", "tools": [{"name": "a"}, {"name": "b", "server": "own"}]},
         [("g", "a", "g_a", True), ("own", "b", "own_b", True)]),
        ({"tools": [{"name": "a"}]}, []),
        ({"server": "s", "name": "t", "tools": {"name": "x"}}, [("s", "t", "s_t", True)]),
        ({"server": "outer", "tools": [{"tools": [{"name": "a"}]}, {"server": "in", "tools": [{"name": "b"}]}]},
         [("outer", "a", "outer_a", True), ("in", "b", "in_b", True)]),
        ([[{"server": "s", "name": "1"}], [[{"server": "s", "name": "2"}]]],
         [("s", "1", "s__1", True), ("s", "2", "s__2", True)]),
        ([{"server": "s", "name": "t"}] * 2, [("s", "t", "s_t", True)] * 2),
        ({"server": "3d", "name": "2fa"}, [("3d", "2fa", "_3d__2fa", True)]),
        ({"server": "my tool.beta", "name": "é日本"}, [("my tool.beta", "é日本", "my_tool_beta____", True)]),
        ({"server": "s", "name": "t", "value": {"server": "x", "name": "y"}}, [("s", "t", "s_t", True)]),
    ],
)
def test_entries_become_tools(catalogue, expected):
    assert hits(catalogue) == expected


def test_group_description_passes_down_and_first_one_wins():
    engine = SchemaEngine(json.dumps([
        {"server": "b", "name": "x"},
        {"server": "b", "name": "y", "serverDescription": " first "},
        {"server": "b", "name": "z", "server_description": "second"},
        {"server": "Alpha", "serverDescription": "group", "tools": [{"name": "x", "readOnly": False}]},
        {"server": "alpha", "name": "x"},
    ]))
    servers = json.loads(engine.execute("{ servers }"))["data"]["servers"]
    assert servers == [
        {"description": "group", "name": "Alpha", "readOnlyCount": 0, "toolCount": 1},
        {"description": "", "name": "alpha", "readOnlyCount": 1, "toolCount": 1},
        {"description": "first", "name": "b", "readOnlyCount": 3, "toolCount": 3},
    ]
