"""A tool's structured results checked against its output schema, as the SDK's call_tool checks them.

The validator is made once per listing (the SDK checks the schema itself on
every call), and every keyword that runs a pattern matches it without
backtracking: the server writes both the pattern and the text it is matched
against.
"""

from collections.abc import Iterator
from typing import Any

import jsonschema
from . import patterns
from .replies import CallFailed

SHOWN_OUTPUT = 120  # characters of a value or pattern worth quoting

# A validator for a tool's structured results, or why its output schema is unusable.
type OutputCheck = jsonschema.protocols.Validator | str


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
            checks[tool["name"]] = jsonschema.validators.extend(validator, PATTERN_KEYWORDS)(schema)
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
    error = jsonschema.exceptions.best_match(check.iter_errors(structured))
    if error is not None:
        raise CallFailed(f"{where}: the structured content does not match the tool's output schema: "
                         f"{error.message}")
