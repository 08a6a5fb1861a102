"""How much one GraphQL request may ask for: the front applies these bounds to the validated
document, whichever entry point (HTTP, the MCP face, the command line) brought it."""

from dataclasses import dataclass

DEFAULT_QUERY_LIMIT = 256 << 10  # bytes; a hand-written query is a few kilobytes
DEFAULT_FIELD_LIMIT = 1000  # top-level fields of one request
# Bytes of tool-call arguments one request sends out, variables substituted: measured, a request
# peaks at about 3.2-3.8 times its fan-out in the gateway (bench/front.py --fanout), so ~60 MB at most.
DEFAULT_FANOUT_LIMIT = 16 << 20
# Fields of one answer, lists counted with their items (cost.py): GraphiQL's introspection of a
# schema of 1,000 tools costs about 60,000.
DEFAULT_COST_LIMIT = 200_000
# Bytes of one answer, counted as it is built: an answer is held whole (and about four times its
# text as Python values) until its client has read it.
DEFAULT_RESPONSE_LIMIT = 32 << 20


@dataclass(frozen=True)
class Limits:
    """How much one request may ask for; the front applies them to the validated document."""

    query_bytes: int = DEFAULT_QUERY_LIMIT
    fields: int = DEFAULT_FIELD_LIMIT
    fanout: int = DEFAULT_FANOUT_LIMIT
    cost: int = DEFAULT_COST_LIMIT
    response_bytes: int = DEFAULT_RESPONSE_LIMIT


def utf8_length_over(text: str, limit: int) -> bool:
    """Whether `text` takes more than `limit` bytes in UTF-8, without encoding it when its length decides."""
    if len(text) > limit:  # a character is at least one byte
        return True
    if len(text) * 4 <= limit:  # and at most four
        return False
    return len(text.encode("utf-8", "surrogatepass")) > limit
