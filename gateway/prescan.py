"""The top-level selections of a document, counted from its tokens before it is parsed.

A document over the top-level field limit is refused however it is written, but graphql-core
takes about 0.2 s of Python to parse one of 2,000 aliased tool fields, on a thread that holds
the interpreter lock against the event loop; the tokens, found by one regular expression,
give the count in a few milliseconds. The count is exact for a document that parses and
0 (nothing known) for anything the scan does not follow, so that a document it cannot read
is left to the parser. (A text that does not parse may be counted either way: it is refused
with one error or the other.)
"""

import re

# Possessive repeats, and every position matched by something: one pass over the text.
_TOKEN = re.compile(r'''
    (?:[ \t\n\r,\ufeff]++ | \#[^\n\r]*+)*+                            # ignored
    (?: ( """(?:\\"""|"(?!"")|[^"])*+"""                                 # a block string
        | "(?:\\.|[^"\\\n\r])*+"                                         # a string
        | -?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][+-]?[0-9]+)?(?![_A-Za-z.0-9]) )  # a number
      | ( [_A-Za-z][_0-9A-Za-z]* )                                      # a name
      | ( \.\.\. | [!$&()\[\]:=@{|}] )                                  # a punctuator
      | ( . )                                                            # not followed
      | \Z )                                                            # the end, after what is ignored
''', re.VERBOSE | re.DOTALL)
_OPERATIONS = frozenset({"query", "mutation", "subscription"})
_NESTING = {"(": 1, ")": -1, "[": 1, "]": -1}


def top_level_selections(text: str, operation_name: str | None) -> int:
    """The selections in the top-level selection set of the operation `operation_name` chooses
    (fields, spreads and inline fragments, as parsed), or 0 when the scan cannot tell."""
    # The last matches are the end of the text (with what is ignored before it, then alone):
    # without them a text that ends in a comment or a run of blanks would fail there, and each
    # later position would be tried in turn, rescanning the rest of the run each time and reading
    # the comment's words as tokens.
    tokens = _TOKEN.findall(text)
    while tokens and not any(tokens[-1]):
        tokens.pop()
    counts: list[tuple[str | None, int]] = []  # per operation: its name, its count
    braces = inside = 0  # selection sets open; parentheses and brackets open (arguments, values)
    header: list[str] = []  # the tokens before a definition's selection set
    count = 0
    last = len(tokens) - 1
    for at, (value, name, punctuator, other) in enumerate(tokens):
        if other:
            return 0
        if punctuator in _NESTING:
            inside += _NESTING[punctuator]
            if inside < 0:
                return 0
        elif inside:
            continue  # arguments, variables' definitions and values: no selection in them
        elif punctuator == "{":
            braces += 1
        elif punctuator == "}":
            braces -= 1
            if braces < 0:
                return 0
            if braces == 0:
                if not header or header[0] in _OPERATIONS:
                    named = len(header) > 1 and header[1] not in _PUNCTUATORS
                    counts.append((header[1] if named else None, count))
                header, count = [], 0
        elif braces == 0:
            if not value:  # a string here describes the definition
                header.append(name or punctuator)
        elif braces == 1:
            # One token starts each selection: `...`, or a field's name (not its alias, nor a
            # directive's name, nor a spread's fragment or type condition).
            if punctuator == "...":
                count += 1
            elif name and (at == last or tokens[at + 1][2] != ":"):
                before = tokens[at - 1][1] or tokens[at - 1][2]
                if before not in ("@", "...") and not (before == "on" and tokens[at - 2][2] == "..."):
                    count += 1
    if braces or inside:
        return 0
    chosen = [n for name, n in counts if operation_name is None or name == operation_name]
    return chosen[0] if len(chosen) == 1 else 0


_PUNCTUATORS = frozenset({"...", "!", "$", "&", "(", ")", "[", "]", ":", "=", "@", "{", "|", "}"})
