"""Who may use the HTTP gateway and how much one request may ask for.

Nothing here imports Starlette, so the command line can check its flags
(a token that cannot be read, a bind that needs one) before starting anything.
"""

import asyncio
import hashlib
import hmac
import ipaddress
import os
import re
import socket
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import TextIO

TOKEN_VARIABLE = "GATEWAY_TOKEN"
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
# What an Authorization header can carry as a bearer token (RFC 6750's b64token, widened to visible ASCII).
TOKEN_TEXT = re.compile(r"[\x21-\x7e]+")
# A Host header: a bracketed IPv6 literal or a name/IPv4 address, then an optional port.
HOST_HEADER = re.compile(r"(?:\[([0-9A-Fa-f:.]+)\]|([A-Za-z0-9](?:[A-Za-z0-9.-]*[A-Za-z0-9])?))(?::([0-9]{0,5}))?")
ORIGIN = re.compile(r"(https?)://([^/?#@\s]+)")
_ESCAPES = {code: f"\\x{code:02x}" for code in (*range(0x20), *range(0x7f, 0xa0))} | {
    0x2028: "\\u2028", 0x2029: "\\u2029"}


class AccessError(ValueError):
    pass


def load_token(token_file: Path | None, environ: dict[str, str] | os._Environ[str] = os.environ) -> str | None:
    """The bearer token from --token-file or the environment; never from the command line,
    where every user of the machine could read it in the process list."""
    from_env = environ.get(TOKEN_VARIABLE)
    if token_file is not None and from_env is not None:
        raise AccessError(f"both --token-file and {TOKEN_VARIABLE} are set: give one")
    if token_file is not None:
        try:
            token = token_file.read_text(encoding="utf-8").strip()
        except (OSError, UnicodeError) as exc:
            raise AccessError(f"cannot read the token file {token_file}: "
                              f"{getattr(exc, 'strerror', None) or exc}") from None
        where = f"the token file {token_file}"
    elif from_env is not None:
        token, where = from_env.strip(), TOKEN_VARIABLE
    else:
        return None
    if not TOKEN_TEXT.fullmatch(token):
        raise AccessError(f"{where} must hold one token of visible ASCII characters")
    return token


class Bearer:
    """Checks `Authorization: Bearer <token>` in constant time."""

    def __init__(self, token: str) -> None:
        # Digests of equal length, so the comparison does not even reveal the token's length.
        self._digest = hashlib.sha256(token.encode()).digest()

    def admits(self, authorization: bytes | None) -> bool:
        """Compares the header's exact bytes after the scheme (RFC 7235: the scheme, then one or
        more spaces). Nothing else is trimmed: the server already dropped the field's outer
        spaces and tabs, and a trailing byte of any other kind makes a different token."""
        scheme, _, credentials = (authorization or b"").partition(b" ")
        presented = hashlib.sha256(credentials.lstrip(b" ")).digest()
        # Compared whatever the scheme, so a wrong scheme takes as long as a wrong token.
        return hmac.compare_digest(presented, self._digest) & (scheme.lower() == b"bearer")


def require_token_off_loopback(address: str, token: str | None) -> None:
    """Without a token only a loopback address may be served: anyone who can reach
    another address could otherwise call every tool, the writing ones too.
    A host name counts as loopback when every address it names is."""
    if token is None and not _loopback(address):
        raise AccessError(f"refusing to serve {address} without a token: it is reachable from other "
                          f"machines, and every caller could use every tool. Give --token-file FILE "
                          f"(or set {TOKEN_VARIABLE}), or serve a loopback address such as 127.0.0.1")


def _loopback(host: str) -> bool:
    try:
        return ipaddress.ip_address(host.split("%")[0]).is_loopback
    except ValueError:
        pass
    try:
        addresses = {info[4][0] for info in socket.getaddrinfo(host, None, type=socket.SOCK_STREAM)}
    except (OSError, UnicodeError):
        return False
    return bool(addresses) and all(ipaddress.ip_address(str(a).split("%")[0]).is_loopback for a in addresses)


def split_host(host_header: str) -> tuple[str, int | None] | None:
    """A Host header's host and port (RFC 9110 section 7.2: uri-host [":" port]); None when it
    is not one. The host is a bracketed IPv6 address, an IPv4 address or a registered name
    of letters, digits, hyphens and dots: anything else (`localhost:1@evil`, `[::1]evil`)
    is refused rather than guessed at."""
    match = HOST_HEADER.fullmatch(host_header)
    if match is None:
        return None
    bracketed, name, port = match.groups()
    if port is not None and (not port or int(port) > 65535):
        return None
    if bracketed is not None:
        try:
            ipaddress.IPv6Address(bracketed)
        except ValueError:
            return None
    return (bracketed or name).lower(), None if port is None else int(port)


def loopback_host(host_header: str | None) -> bool:
    """Whether a Host header names this machine by a loopback address or as localhost.
    Nothing is resolved: a name that resolves to loopback is what DNS rebinding uses."""
    if host_header is None:
        return True  # HTTP/1.0 has none, and no browser sends one without it
    parts = split_host(host_header)
    if parts is None:
        return False
    host = parts[0]
    if host == "localhost" or host.endswith(".localhost"):
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def check_cors_origin(origin: str) -> str:
    """One web origin (scheme://host[:port], RFC 6454) that may call from a browser; `*` would
    let every page on the web drive the tools of a gateway without a token."""
    parts = ORIGIN.fullmatch(origin)
    if parts is None or split_host(parts.group(2)) is None:
        raise AccessError(f"--cors-origin {origin!r} is not one origin such as https://app.example "
                          f"(a scheme, a host and an optional port; no path, no wildcard)")
    return origin


def printable(text: str) -> str:
    """The text with every control character escaped (C0, DEL, C1 and the Unicode line and
    paragraph separators), so that what a client sent cannot end a log line or start another."""
    return text.translate(_ESCAPES)


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


@dataclass(frozen=True)
class Access:
    """The HTTP side's controls: who may call (`token`), which browser origin
    may read answers (`cors_origin`), how much one request may ask for, where
    the access log goes (None: nowhere) and which proxies' X-Forwarded-For is
    believed (None: nobody's)."""

    token: str | None = None
    cors_origin: str | None = None
    limits: Limits = field(default_factory=Limits)
    log: Callable[[str], None] | None = None
    forwarded_allow_ips: str | None = None


class AccessLog:
    """One line per request and per tool call on a stream (standard error).

    Lines hold names, numbers and addresses only; the token, the query,
    its arguments and the results never reach them. Each line is escaped as a
    whole, so no field (a path, a tool's name) can forge a line of its own.

    Lines written on an event loop are gathered and written together once the
    loop's current turn ends: one write for many requests, where a write each
    would hand the GIL to the query threads on every line and wait to get it back.
    """

    def __init__(self, stream: TextIO | None = None) -> None:
        self._stream = stream
        self._second = -1
        self._stamp = ""  # the second `_second` as text: formatted once, not for every line
        self._pending: list[str] = []  # written on the loop, for its next turn

    def __call__(self, line: str) -> None:
        now = time.time()
        second = int(now)
        if second != self._second:
            self._second, self._stamp = second, time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(second))
        text = f"{self._stamp}.{int(now % 1 * 1000):03d}Z {printable(line)}\n"
        try:
            loop = asyncio.get_running_loop()
        except RuntimeError:  # a query thread, or no loop at all: written now
            self._write(text)
            return
        if not self._pending:
            loop.call_soon(self._flush)
        self._pending.append(text)

    def _flush(self) -> None:
        text = "".join(self._pending)
        self._pending.clear()
        self._write(text)

    def _write(self, text: str) -> None:
        stream = self._stream or sys.stderr
        stream.write(text)
        stream.flush()
