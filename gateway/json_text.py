"""JSON read and written on a tool call's path: orjson where it reads what the json module reads.

orjson reads a text several times faster than `json`, but refuses what `json`
accepts and the gateway must still read: a string escape naming a lone UTF-16
surrogate (`"\\ud800"`, which a server may send and `json.dumps` writes for such
a string). A text orjson refuses is read again by `json`, which still refuses
NaN and Infinity: neither is JSON. And orjson reads an integer past 64 bits as
a float, losing digits: a text with a run of 19 digits goes to `json` at once.
"""

import json
from typing import Any

import orjson

# 19 digits: the shortest integer orjson may read as a float (past -2**63 or 2**64 - 1). Found as a
# run once each byte is marked digit or not, a fifth of a regex's time (which tries every
# position): a reply may be --max-result long, and it is read on the loop.
_DIGIT_MARKS = bytes(1 if 0x30 <= byte <= 0x39 else 0 for byte in range(256))
_LONG_RUN = b"\x01" * 19

# Made once: json.dumps with any option but the defaults builds a new encoder on every call.
_ASCII_STRICT = json.JSONEncoder(allow_nan=False)


def _refuse(constant: str) -> None:
    raise ValueError(f"{constant} is not JSON")


def long_digits(data: bytes) -> bool:
    """Whether `data` holds a run of 19 digits or more."""
    return _LONG_RUN in data.translate(_DIGIT_MARKS)


def loads(text: str) -> Any:
    """The value of a JSON text; ValueError when it is not JSON (NaN and Infinity included)."""
    # In UTF-8 a digit is its ASCII byte and no other character's byte is one.
    if not long_digits(text.encode("utf-8", "surrogatepass")):
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
