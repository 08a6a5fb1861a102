"""Automatic persisted queries: a client sends a document's SHA-256 in place of its text.

The convention is Apollo's: `extensions.persistedQuery = {"version": 1, "sha256Hash": HEX}`.
A hash the gateway has not seen is answered with the error PersistedQueryNotFound; the
client then sends the text with its hash, which is checked and remembered once the document
is valid. The store is bounded in bytes and forgets the least recently used document first,
so a client that sends new documents forever costs a fixed amount of memory.
"""

import hashlib
import sys
from collections import OrderedDict
from typing import Any

from .errors import error_body

DEFAULT_STORE_BYTES = 8 << 20  # a few thousand hand-written queries
ENTRY_OVERHEAD = 200  # bytes per entry beyond its text's own: the key and the dictionary's node
NOT_FOUND = "PersistedQueryNotFound"
BAD_REQUEST = "BAD_REQUEST"  # the extension itself is malformed: a parameter error, 400 whatever the media type


class PersistedQueryError(Exception):
    """A request the store cannot answer; `code` goes into the error's extensions."""

    def __init__(self, message: str, code: str) -> None:
        super().__init__(message)
        self.code = code

    def body(self) -> dict[str, Any]:
        return error_body(str(self), code=self.code)


def requested_hash(extensions: dict[str, Any] | None) -> str | None:
    """The SHA-256 named by `extensions.persistedQuery`, lower case; None when there is none."""
    if extensions is None or extensions.get("persistedQuery") is None:
        return None
    persisted = extensions["persistedQuery"]
    if not isinstance(persisted, dict):
        raise PersistedQueryError("extensions.persistedQuery must be an object", BAD_REQUEST)
    if persisted.get("version") != 1:
        raise PersistedQueryError("Unsupported persisted query version", "PERSISTED_QUERY_VERSION")
    digest = persisted.get("sha256Hash")
    if not isinstance(digest, str) or len(digest) != 64 or not _hex(digest):
        raise PersistedQueryError("extensions.persistedQuery.sha256Hash must be 64 hexadecimal digits",
                                  BAD_REQUEST)
    return digest.lower()


def _hex(text: str) -> bool:
    return all(c in "0123456789abcdefABCDEF" for c in text)


class PersistedQueries:
    """Documents by SHA-256, least recently used first. Used from the event loop only."""

    def __init__(self, max_bytes: int = DEFAULT_STORE_BYTES) -> None:
        self.max_bytes = max_bytes
        self.bytes = 0
        self._texts: OrderedDict[str, str] = OrderedDict()

    def __len__(self) -> int:
        return len(self._texts)

    def resolve(self, query: str | None, extensions: dict[str, Any] | None) -> tuple[str | None, str | None]:
        """The request's document and the hash to remember once it proved valid (None: nothing to
        remember). A hash alone is looked up; a hash with a text must be the text's."""
        digest = requested_hash(extensions)
        if digest is None:
            return query, None
        if query is None:
            stored = self._texts.get(digest)
            if stored is None:
                raise PersistedQueryError(NOT_FOUND, "PERSISTED_QUERY_NOT_FOUND")
            self._texts.move_to_end(digest)
            return stored, None
        if hashlib.sha256(query.encode("utf-8", "surrogatepass")).hexdigest() != digest:
            raise PersistedQueryError("provided sha does not match query", "PERSISTED_QUERY_HASH_MISMATCH")
        return query, digest

    def remember(self, digest: str, query: str) -> None:
        size = _size(query)
        if digest in self._texts or size > self.max_bytes:
            return
        self._texts[digest] = query
        self.bytes += size
        while self.bytes > self.max_bytes:
            _, dropped = self._texts.popitem(last=False)
            self.bytes -= _size(dropped)


def _size(query: str) -> int:
    """What remembering `query` holds in memory: the string object itself, and the entry."""
    return sys.getsizeof(query) + ENTRY_OVERHEAD
