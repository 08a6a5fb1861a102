"""JSON read and written on a tool call's path: orjson where it reads what the json module reads.

orjson reads a text several times faster than `json`, but refuses what `json`
accepts and the gateway must still read: a string escape naming a lone UTF-16
surrogate (`"\\ud800"`, which a server may send and `json.dumps` writes for such
a string). A text orjson refuses is read again by `json`, which still refuses
NaN and Infinity: neither is JSON. And orjson reads an integer past 64 bits as
a float, losing digits: a text with a run of 19 digits goes to `json` at once.
"""

import json
import re
from typing import Any

import orjson

# 19 digits: the shortest integer orjson may read as a float (past -2**63 or 2**64 - 1).
_LONG_DIGITS = re.compile("[0-9]{19}")

# Made once: json.dumps with any option but the defaults builds a new encoder on every call.
_ASCII_STRICT = json.JSONEncoder(allow_nan=False)


def _refuse(constant: str) -> None:
    raise ValueError(f"{constant} is not JSON")


def loads(text: str) -> Any:
    """The value of a JSON text; ValueError when it is not JSON (NaN and Infinity included)."""
    if _LONG_DIGITS.search(text) is None:
        try:
            return orjson.loads(text)
        except orjson.JSONDecodeError:
            pass
    return json.loads(text, parse_constant=_refuse)


def dumps_ascii(value: Any) -> str:
    """`value` as ASCII JSON (every other character escaped); ValueError for NaN or Infinity."""
    return _ASCII_STRICT.encode(value)


def dumps_compact(value: Any) -> str:
    """`value` as compact JSON, characters as they are; what orjson cannot write (a lone
    surrogate, a key that is not a string) written by json."""
    try:
        return orjson.dumps(value).decode()
    except orjson.JSONEncodeError:
        return json.dumps(value, separators=(",", ":"), ensure_ascii=False)
