"""JSON Schema `pattern`s matched without backtracking, in time linear in the text.

A tool's output schema is its server's to write, and Python's `re` takes time
exponential in the text for a pattern such as `^(a+)+$`, holding the
interpreter lock all along: no thread or timeout can stop it. The pattern is
read by `re`'s own parser (so it means what `re` would make of it) and run as
a Thompson automaton: every state the text can be in, one step per character.

What an automaton cannot do (back-references, look-arounds, flags within the
pattern) is Unsupported; the caller leaves such a pattern unchecked.
"""

from collections.abc import Callable
from re import _constants as sre  # type: ignore[attr-defined]
from re import _parser  # type: ignore[attr-defined]
from typing import Any

MAX_STATES = 10_000  # states of one pattern (counted repeats are written out): past it, Unsupported
MAX_STEPS = 2_000_000  # characters times states of one search: past it, TooLong

type CharTest = Callable[[str], bool]

_CATEGORIES: dict[Any, CharTest] = {
    sre.CATEGORY_DIGIT: str.isdecimal,
    sre.CATEGORY_NOT_DIGIT: lambda c: not c.isdecimal(),
    sre.CATEGORY_SPACE: str.isspace,
    sre.CATEGORY_NOT_SPACE: lambda c: not c.isspace(),
    sre.CATEGORY_WORD: lambda c: c.isalnum() or c == "_",
    sre.CATEGORY_NOT_WORD: lambda c: not (c.isalnum() or c == "_"),
}


class Unsupported(ValueError):
    pass


class TooLong(ValueError):
    """The text is too long for this pattern's automaton within MAX_STEPS."""


def _word(text: str, at: int) -> bool:
    return 0 <= at < len(text) and (text[at].isalnum() or text[at] == "_")


_ASSERTIONS: dict[Any, Callable[[str, int], bool]] = {
    sre.AT_BEGINNING: lambda text, at: at == 0,
    sre.AT_BEGINNING_STRING: lambda text, at: at == 0,
    sre.AT_END: lambda text, at: at == len(text) or (at == len(text) - 1 and text[at] == "\n"),
    sre.AT_END_STRING: lambda text, at: at == len(text),
    sre.AT_BOUNDARY: lambda text, at: _word(text, at - 1) != _word(text, at),
    sre.AT_NON_BOUNDARY: lambda text, at: _word(text, at - 1) == _word(text, at),
}


class Pattern:
    """One pattern as an automaton; search() is re.search(pattern, text) is not None."""

    def __init__(self, pattern: str) -> None:
        try:
            parsed = _parser.parse(pattern)
        except Exception as exc:  # re.error, or a pattern too deep for the parser
            raise Unsupported(f"not a regular expression: {exc}") from None
        if parsed.state.flags & ~(sre.SRE_FLAG_UNICODE):
            raise Unsupported("flags within the pattern")
        # States: ("char", test, next), ("split", a, b), ("assert", test, next), ("match",).
        self._states: list[list[Any]] = [["match"]]
        self._start = self._sequence(list(parsed), 0)

    def search(self, text: str) -> bool:
        if (len(text) + 1) * len(self._states) > MAX_STEPS:
            raise TooLong(f"a text of {len(text)} characters")
        current: set[int] = set()
        for at in range(len(text) + 1):
            current = self._closure(current | {self._start}, text, at)
            if 0 in current:
                return True
            if at == len(text):
                return False
            char = text[at]
            current = {state[2] for state in map(self._states.__getitem__, current)
                       if state[0] == "char" and state[1](char)}
        return False

    def _closure(self, states: set[int], text: str, at: int) -> set[int]:
        """The states reachable without reading a character, the ones that read one (or match) kept."""
        kept: set[int] = set()
        seen: set[int] = set()
        stack = list(states)
        while stack:
            index = stack.pop()
            if index in seen:
                continue
            seen.add(index)
            state = self._states[index]
            if state[0] == "split":
                stack += (state[1], state[2])
            elif state[0] == "assert":
                if state[1](text, at):
                    stack.append(state[2])
            else:
                kept.add(index)
        return kept

    def _new(self, *state: Any) -> int:
        if len(self._states) >= MAX_STATES:
            raise Unsupported(f"more than {MAX_STATES} states")
        self._states.append(list(state))
        return len(self._states) - 1

    def _sequence(self, items: list[Any], then: int) -> int:
        for op, arg in reversed(items):
            then = self._item(op, arg, then)
        return then

    def _item(self, op: Any, arg: Any, then: int) -> int:
        if op is sre.LITERAL:
            return self._new("char", lambda c, code=arg: ord(c) == code, then)
        if op is sre.NOT_LITERAL:
            return self._new("char", lambda c, code=arg: ord(c) != code, then)
        if op is sre.ANY:
            return self._new("char", lambda c: c != "\n", then)
        if op is sre.IN:
            return self._new("char", _in(arg), then)
        if op is sre.AT:
            if arg not in _ASSERTIONS:
                raise Unsupported(f"assertion {arg}")
            return self._new("assert", _ASSERTIONS[arg], then)
        if op is sre.SUBPATTERN:
            _group, add_flags, del_flags, items = arg
            if add_flags or del_flags:
                raise Unsupported("flags within the pattern")
            return self._sequence(list(items), then)
        if op is sre.BRANCH:
            branches = [self._sequence(list(items), then) for items in arg[1]]
            start = branches[0]
            for other in branches[1:]:
                start = self._new("split", start, other)
            return start
        if op in (sre.MAX_REPEAT, sre.MIN_REPEAT):  # which one a search finds does not matter
            low, high, items = arg
            return self._repeat(low, high, list(items), then)
        raise Unsupported(f"{op}")

    def _repeat(self, low: int, high: Any, items: list[Any], then: int) -> int:
        if high is sre.MAXREPEAT:
            loop = self._new("split", -1, then)
            self._states[loop][1] = self._sequence(items, loop)
            start = loop
        else:
            start = then
            for _ in range(high - low):  # each optional copy: into it, or on
                start = self._new("split", self._sequence(items, start), then)
        for _ in range(low):
            start = self._sequence(items, start)
        return start


def _equal(code: int) -> CharTest:
    return lambda c: ord(c) == code


def _between(low: int, high: int) -> CharTest:
    return lambda c: low <= ord(c) <= high


def _in(items: list[tuple[Any, Any]]) -> CharTest:
    negate = False
    tests: list[CharTest] = []
    for op, arg in items:
        if op is sre.NEGATE:
            negate = True
        elif op is sre.LITERAL:
            tests.append(_equal(arg))
        elif op is sre.RANGE:
            tests.append(_between(arg[0], arg[1]))
        elif op is sre.CATEGORY and arg in _CATEGORIES:
            tests.append(_CATEGORIES[arg])
        else:
            raise Unsupported(f"{op} in a class")
    return lambda c: any(test(c) for test in tests) != negate


_COMPILED: dict[str, Pattern | Unsupported] = {}
COMPILED_KEPT = 1024


def compiled(pattern: str) -> Pattern:
    """The automaton of a pattern, kept (a tool's schema is checked against every result)."""
    found = _COMPILED.get(pattern)
    if found is None:
        try:
            found = Pattern(pattern)
        except Unsupported as exc:
            found = exc
        if len(_COMPILED) >= COMPILED_KEPT:
            _COMPILED.clear()
        _COMPILED[pattern] = found
    if isinstance(found, Unsupported):
        raise found
    return found
