"""The example toolbox server's tools, called as the plain functions they are."""

import sys
import warnings
from pathlib import Path
from typing import Any

import pytest

from conftest import require_mcp_sdk

require_mcp_sdk()

from mcp.server.fastmcp.exceptions import ToolError

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
with warnings.catch_warnings():  # the SDK's settings model warns on import, not our concern here
    warnings.simplefilter("ignore")
    import toolbox  # noqa: E402


@pytest.mark.parametrize(("call", "expected"), [
    (lambda: toolbox.add([0.1] * 10), {"sum": 1.0}),  # a naive float sum is off in the last digit
    (lambda: toolbox.add([10**20, 1]), {"sum": 10**20 + 1}),  # integers stay exact
    (lambda: toolbox.add([]), {"sum": 0}),
    (lambda: toolbox.divide(7, 2), {"quotient": 3.5}),
    (lambda: toolbox.days_between("2024-02-28", "2024-03-01"), {"days": 2}),
    (lambda: toolbox.days_between("2023-12-31", "2024-12-31"), {"days": 366}),
    (lambda: toolbox.slugify("  --Crème brûlée--  "), {"slug": "creme-brulee"}),
    (lambda: toolbox.slugify("日本"), {"slug": ""}),
    (lambda: toolbox.word_count("a b\n c\n"), {"words": 3, "lines": 2, "characters": 7}),
])
def test_tools(call: Any, expected: dict[str, Any]) -> None:
    assert call() == expected


@pytest.mark.parametrize("call", [
    lambda: toolbox.divide(1, 0), lambda: toolbox.stats([]),
    lambda: toolbox.days_between("2024-02-30", "2024-03-01"),
])
def test_tools_refuse(call: Any) -> None:
    with pytest.raises(ToolError):
        call()


@pytest.mark.parametrize(("hours", "suffix"), [(0, "+00:00"), (5.5, "+05:30"), (-3, "-03:00")])
def test_now_in_an_offset(hours: float, suffix: str) -> None:
    assert toolbox.now(hours)["iso"].endswith(suffix)


def test_notes_round_trip() -> None:
    assert toolbox.note_put("a", "1")["created"] is True
    assert toolbox.note_put("a", "2")["created"] is False
    assert toolbox.note_get("a")["body"] == "2"
    assert [toolbox.note_delete("a")["deleted"], toolbox.note_delete("a")["deleted"]] == [True, False]
    with pytest.raises(ToolError, match="no note"):
        toolbox.note_get("a")
