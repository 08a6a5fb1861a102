#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses: OUT/catalogue, OUT/request, OUT/reply.

The seeds are the texts the tests already use (string literals of the C++ and
Python tests, the example catalogue), sorted by what they look like, plus a few
made here for shapes the tests reach only through loops. Each seed file is named
by the SHA-1 of its bytes, as libFuzzer names what it finds.

    python3 fuzz/make_seeds.py OUT
"""

import ast
import hashlib
import json
import pathlib
import re
import sys

REPO = pathlib.Path(__file__).resolve().parent.parent
LIMIT = 65536  # as the harnesses' -max_len
SEPARATOR = b"\x01"  # between query and variables in a request seed

OPERATION = re.compile(rb"^\s*(query|mutation|subscription|fragment|\{)")


# ---- C++ string literals -----------------------------------------------------------------

RAW = re.compile(r'R"([^(\s]*)\((.*?)\)\1"', re.S)
PLAIN = re.compile(r'"((?:[^"\\\n]|\\.)*)"')


def c_unescape(body):
    """The bytes of an ordinary C++ string literal's body (UTF-8 source)."""
    out = bytearray()
    i = 0
    simple = {"n": 10, "t": 9, "r": 13, "f": 12, "b": 8, "v": 11, "a": 7, "0": 0,
              '"': 34, "'": 39, "\\": 92, "?": 63}
    while i < len(body):
        c = body[i]
        if c != "\\":
            out += c.encode()
            i += 1
            continue
        e = body[i + 1]
        if e == "x":
            digits = re.match(r"[0-9a-fA-F]+", body[i + 2:]).group()
            out.append(int(digits, 16) & 0xFF)
            i += 2 + len(digits)
        elif e in "uU":
            width = 4 if e == "u" else 8
            out += chr(int(body[i + 2:i + 2 + width], 16)).encode("utf-8", "surrogatepass")
            i += 2 + width
        elif e in simple:
            out.append(simple[e])
            i += 2
        else:
            out += e.encode()
            i += 2
    return bytes(out)


def cpp_literals(path):
    text = path.read_text(encoding="utf-8")
    found = [m.group(2).encode() for m in RAW.finditer(text)]
    for m in PLAIN.finditer(RAW.sub("", text)):
        try:
            found.append(c_unescape(m.group(1)))
        except (AttributeError, ValueError, IndexError):
            pass
    return found


# ---- Python string constants -------------------------------------------------------------

def evaluate(node):
    """Constant str expressions, including "[" * 200 + "]" * 200 and json.dumps(literal)."""
    if isinstance(node, ast.Constant) and isinstance(node.value, (str, int)):
        return node.value
    if isinstance(node, ast.BinOp) and isinstance(node.op, (ast.Add, ast.Mult)):
        left, right = evaluate(node.left), evaluate(node.right)
        if left is None or right is None:
            return None
        if isinstance(node.op, ast.Mult) and isinstance(left, str) and isinstance(right, int):
            return left * right if len(left) * right <= LIMIT else None
        try:
            return left + right if isinstance(node.op, ast.Add) else left * right
        except TypeError:
            return None
    if (isinstance(node, ast.Call) and isinstance(node.func, ast.Attribute)
            and node.func.attr == "dumps" and len(node.args) == 1):
        try:
            return json.dumps(ast.literal_eval(node.args[0]))
        except ValueError:
            return None
    return None


def python_literals(path):
    found = []
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, (ast.Constant, ast.BinOp, ast.Call)):
            value = evaluate(node)
            if isinstance(value, str):
                found.append(value.encode("utf-8", "surrogatepass"))
    return found


# ---- sorting and writing -----------------------------------------------------------------

def is_json(data):
    try:
        json.loads(data)
        return True
    except ValueError:
        return False


def made_seeds():
    catalogue = [
        b'{"server":"s","tools":[{"name":"t"},{"tools":[{"name":"u","readOnly":false}]}]}',
        b'[{"server":{"value":" s "},"name":{"value":"t"},"description":"d"}]',
        b'{"server":"s","server":"\\u3000","name":"t","annotations":{"readOnlyHint":false}}',
        b"[" * 127 + b"]" * 127,
        b"[" * 128 + b"]" * 128,
    ]
    request = [
        b"{ __typename servers search s_t(a: 1, b: [1, 2.5, \"x\", null, true, ENUM], "
        b"c: {d: $v}) x: s_w }" + SEPARATOR + b'{"v": {"k": [1, "2"]}}',
        b"query Q($v: [Int!] = [1]) @d(if: true) { a: s_t(v: $v) { nested { deeper } } }"
        + SEPARATOR + b'{"v": [1]}',
        b"mutation { s_w # comment\n (x: \"\\u00e9\\ud83d\\ude00\") }",
        b"{ s_t(x: " + b"[" * 127 + b"]" * 127 + b") }",
        b"{ a { " + b"{" * 1000 + b"}" * 1000 + b" } }",
        b"{ s_t }" + SEPARATOR,
        b"{ s_t }" + SEPARATOR + b"[1]",
    ]
    reply = [
        b"0", b"-0", b"-0.0", b"1e308", b"1e400", b"-9223372036854775809",
        b"18446744073709551616", b"[]", b"{}", b'"\\ud800"', b'"\xed\xa0\x80"', b'"\xc3"',
        b'{"a":1,"a":2,"":null}', b"[" * 127 + b"]" * 127, b"[" * 128 + b"]" * 128,
        b' \t\r\n{"isError":true,"json":null,"text":"x"}\n',
    ]
    return catalogue, request, reply


def main(out):
    out = pathlib.Path(out)
    cpp = [(p.name, cpp_literals(p)) for p in sorted((REPO / "tests" / "cpp").glob("*.cpp"))]
    py = [(p.name, python_literals(p)) for p in sorted((REPO / "tests").glob("test_*.py"))]
    catalogue, request, reply = (set(s) for s in made_seeds())
    catalogue.add((REPO / "examples" / "catalogue.json").read_bytes())
    variables = set()

    for name, literals in cpp + py:
        for data in literals:
            if not data or len(data) > LIMIT:
                continue
            if is_json(data):
                reply.add(data)
                if name.startswith(("catalogue", "views", "test_")):
                    catalogue.add(data)
                if data.lstrip().startswith(b"{"):
                    variables.add(data)
            elif name.startswith("json"):
                reply.add(data)  # the reader's failures are replies too
            if OPERATION.match(data):
                request.add(data)

    # Queries that use variables also go with each variables text of the tests.
    for query in [q for q in request if b"$" in q and SEPARATOR not in q]:
        for text in sorted(variables)[:20]:
            request.add(query + SEPARATOR + text)

    for kind, seeds in (("catalogue", catalogue), ("request", request), ("reply", reply)):
        folder = out / kind
        folder.mkdir(parents=True, exist_ok=True)
        for old in folder.iterdir():
            old.unlink()
        for data in seeds:
            (folder / hashlib.sha1(data).hexdigest()).write_bytes(data)
        print(f"seeds: {len(seeds)} for {kind}", file=sys.stderr)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
