"""A tool's structured results checked against its output schema, as the SDK's call_tool checks them.

The validator is made once per listing (the SDK checks the schema itself on
every call), and every keyword that runs a pattern matches it without
backtracking: the server writes both the pattern and the text it is matched
against.

Most output schemas use a few keywords only (types, properties, required
members, items, enums, anyOf). For those a plain check is made once too, a
tree of small functions that says True only where the validator would find no
error; a result it cannot vouch for goes to the validator, which decides and
words the error. jsonschema walks the schema again for every result and makes
an object for each part it descends into: several times the plain check's cost
on every call.
"""

from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

import jsonschema
from . import patterns
from .replies import CallFailed

SHOWN_OUTPUT = 120  # characters of a value or pattern worth quoting

type Quick = Callable[[Any], bool]

# Keywords that assert nothing here: words for people, and `format`, which the validator does not
# assert either (it is made without a format checker).
_SAID_ONLY = frozenset(("title", "description", "default", "examples", "deprecated", "readOnly", "writeOnly",
                        "$comment", "$schema", "format"))
# JSON types by the Python types the JSON reader makes: exact types, so a bool is no integer. An
# integer written as 1.0, which the validator counts as one, is left to the validator.
_TYPES: dict[str, tuple[type, ...]] = {"object": (dict,), "array": (list,), "string": (str,), "integer": (int,),
                                       "number": (int, float), "boolean": (bool,), "null": (type(None),)}
QUICK_DEPTH = 32  # a schema nested deeper is left to the validator alone


@dataclass(frozen=True)
class Validated:
    """A usable output schema: its validator, and its plain check where the schema allows one."""

    validator: jsonschema.protocols.Validator
    quick: Quick | None


# How a tool's structured results are checked, or why its output schema is unusable.
type OutputCheck = Validated | str


def output_checks(tools: list[dict[str, Any]]) -> dict[str, OutputCheck]:
    """One validator per tool that declares an output schema, its schema checked once."""
    checks: dict[str, OutputCheck] = {}
    for tool in tools:
        schema = tool.get("outputSchema")
        if schema is None:
            continue
        try:
            validator = jsonschema.validators.validator_for(schema)
            validator.check_schema(schema)
            checks[tool["name"]] = Validated(jsonschema.validators.extend(validator, PATTERN_KEYWORDS)(schema),
                                             quick_check(schema))
        except jsonschema.exceptions.SchemaError as exc:
            checks[tool["name"]] = f"the tool's output schema is invalid: {exc.message}"
    return checks


def _search(pattern: Any, text: str) -> bool | None:
    """re.search(pattern, text) is not None, without backtracking (patterns.py); None when the
    automaton cannot tell (a pattern it cannot run, or a text too long for it)."""
    try:
        return patterns.compiled(pattern).search(text) if isinstance(pattern, str) else None
    except (patterns.Unsupported, patterns.TooLong):
        return None


def _pattern(validator: Any, pattern: Any, instance: Any,
             schema: Any) -> Iterator[jsonschema.exceptions.ValidationError]:
    """jsonschema's `pattern`, matched without backtracking. What the automaton cannot tell is
    left unchecked rather than risk the loop."""
    if validator.is_type(instance, "string") and _search(pattern, instance) is False:
        yield jsonschema.exceptions.ValidationError(
            f"{instance[:SHOWN_OUTPUT]!r} does not match {str(pattern)[:SHOWN_OUTPUT]!r}")


def _pattern_properties(validator: Any, pattern_properties: Any, instance: Any,
                        schema: Any) -> Iterator[jsonschema.exceptions.ValidationError]:
    """jsonschema's `patternProperties`, its patterns matched without backtracking."""
    if not validator.is_type(instance, "object"):
        return
    for pattern, subschema in pattern_properties.items():
        for key, value in instance.items():
            if _search(pattern, key):
                yield from validator.descend(value, subschema, path=key, schema_path=pattern)


def _additional_properties(validator: Any, additional: Any, instance: Any,
                           schema: Any) -> Iterator[jsonschema.exceptions.ValidationError]:
    """jsonschema's `additionalProperties`, `patternProperties` matched without backtracking (a
    key no automaton can tell about counts as matched: not an extra)."""
    if not validator.is_type(instance, "object"):
        return
    properties, patterns_ = schema.get("properties", {}), schema.get("patternProperties", {})
    extras = [key for key in instance if key not in properties
              and not any(_search(pattern, key) is not False for pattern in patterns_)]
    if validator.is_type(additional, "object"):
        for extra in extras:
            yield from validator.descend(instance[extra], additional, path=extra)
    elif additional is False and extras:
        shown = ", ".join(repr(extra[:SHOWN_OUTPUT]) for extra in sorted(extras)[:10])
        yield jsonschema.exceptions.ValidationError(f"additional properties are not allowed ({shown})")


# Every keyword of a tool's output schema that runs a pattern: the server writes both the pattern
# and the text it is matched against.
PATTERN_KEYWORDS = {"pattern": _pattern, "patternProperties": _pattern_properties,
                    "additionalProperties": _additional_properties}


def check_output(check: OutputCheck | None, where: str, structured: Any) -> None:
    """What the SDK's call_tool checks of a successful result's structured content (None: the
    result had none), raised as CallFailed."""
    if check is None:
        return
    if isinstance(check, str):
        raise CallFailed(f"{where}: {check}")
    if structured is None:
        raise CallFailed(f"{where} has an output schema but gave no structured content")
    if check.quick is not None and check.quick(structured):
        return
    error = jsonschema.exceptions.best_match(check.validator.iter_errors(structured))
    if error is not None:
        raise CallFailed(f"{where}: the structured content does not match the tool's output schema: "
                         f"{error.message}")


def quick_check(schema: Any, depth: int = 0) -> Quick | None:
    """A function of a value that is True only where the validator of `schema` finds no error
    (False: not known); None when `schema` uses a keyword it does not know."""
    if schema is True or schema == {}:
        return _anything
    if schema is False:
        return _nothing
    if not isinstance(schema, dict) or depth > QUICK_DEPTH:
        return None
    parts: list[Quick] = []
    for keyword, value in schema.items():
        if keyword in _SAID_ONLY:
            continue
        part = _QUICK_KEYWORDS[keyword](value, schema, depth + 1) if keyword in _QUICK_KEYWORDS else None
        if part is None:
            return None
        parts.append(part)
    if len(parts) == 1:
        return parts[0]
    return lambda value: all(part(value) for part in parts)


def _anything(value: Any) -> bool:
    return True


def _nothing(value: Any) -> bool:
    return False


def _type(named: Any, schema: dict[str, Any], depth: int) -> Quick | None:
    names = [named] if isinstance(named, str) else named
    if not isinstance(names, list) or not names or not all(isinstance(n, str) and n in _TYPES for n in names):
        return None
    types = frozenset(t for name in names for t in _TYPES[name])
    return lambda value: type(value) in types


def _properties(properties: Any, schema: dict[str, Any], depth: int) -> Quick | None:
    if not isinstance(properties, dict):
        return None
    checks = {name: quick_check(sub, depth) for name, sub in properties.items()}
    if any(check is None for check in checks.values()):
        return None
    known = {name: check for name, check in checks.items() if check is not _anything}

    def members(value: Any) -> bool:
        return type(value) is not dict or all(name not in value or check(value[name])  # type: ignore[misc]
                                              for name, check in known.items())
    return members


def _required(names: Any, schema: dict[str, Any], depth: int) -> Quick | None:
    if not isinstance(names, list) or not all(isinstance(name, str) for name in names):
        return None
    return lambda value: type(value) is not dict or all(name in value for name in names)


def _additional(additional: Any, schema: dict[str, Any], depth: int) -> Quick | None:
    if "patternProperties" in schema or not isinstance(schema.get("properties", {}), dict):
        return None
    named = schema.get("properties", {})
    check = quick_check(additional, depth)
    if check is None:
        return None
    if check is _anything:
        return _anything
    return lambda value: type(value) is not dict or all(key in named or check(member)
                                                        for key, member in value.items())


def _items(items: Any, schema: dict[str, Any], depth: int) -> Quick | None:
    check = quick_check(items, depth) if isinstance(items, dict | bool) else None  # not the list of drafts 4-7
    if check is None:
        return None
    return lambda value: type(value) is not list or all(check(item) for item in value)


def _enum(values: Any, schema: dict[str, Any], depth: int) -> Quick | None:
    # Strings and null only: for the validator 1 equals 1.0 but never True, unlike Python.
    if not isinstance(values, list) or not all(v is None or isinstance(v, str) for v in values):
        return None
    allowed = frozenset(values)
    return lambda value: (value is None or type(value) is str) and value in allowed


def _any_of(schemas: Any, schema: dict[str, Any], depth: int) -> Quick | None:
    if not isinstance(schemas, list) or not schemas:
        return None
    checks = [quick_check(sub, depth) for sub in schemas]
    if any(check is None for check in checks):
        return None
    return lambda value: any(check(value) for check in checks)  # type: ignore[misc]


_QUICK_KEYWORDS: dict[str, Callable[[Any, dict[str, Any], int], Quick | None]] = {
    "type": _type, "properties": _properties, "required": _required, "additionalProperties": _additional,
    "items": _items, "enum": _enum, "anyOf": _any_of}
