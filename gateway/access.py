"""Who may use the HTTP gateway and how much one request may ask for.

Nothing here imports Starlette, so the command line can check its flags
(a token that cannot be read, a bind that needs one) before starting anything.
"""

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
# What an Authorization header can carry as a bearer token (RFC 6750's b64token, widened to visible ASCII).
TOKEN_TEXT = re.compile(r"[\x21-\x7e]+")


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

    def admits(self, authorization: str | None) -> bool:
        scheme, _, credentials = (authorization or "").strip().partition(" ")
        presented = hashlib.sha256(credentials.strip().encode("utf-8", "surrogatepass")).digest()
        # Compared whatever the scheme, so a wrong scheme takes as long as a wrong token.
        return hmac.compare_digest(presented, self._digest) & (scheme.lower() == "bearer")


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


def loopback_host(host_header: str | None) -> bool:
    """Whether a Host header names this machine by a loopback address or as localhost.
    Nothing is resolved: a name that resolves to loopback is what DNS rebinding uses."""
    if host_header is None:
        return True  # HTTP/1.0 has none, and no browser sends one without it
    host = host_header.strip().lower()
    if host.startswith("["):
        host = host[1:host.find("]")] if "]" in host else host
    elif host.count(":") == 1:
        host = host.partition(":")[0]
    if host == "localhost" or host.endswith(".localhost"):
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


@dataclass(frozen=True)
class Limits:
    """How much one request may ask for; the front applies them to the validated document."""

    query_bytes: int = DEFAULT_QUERY_LIMIT
    fields: int = DEFAULT_FIELD_LIMIT
    fanout: int = DEFAULT_FANOUT_LIMIT


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
    may read answers (`cors_origin`), how much one request may ask for, and
    where the access log goes (None: nowhere)."""

    token: str | None = None
    cors_origin: str | None = None
    limits: Limits = field(default_factory=Limits)
    log: Callable[[str], None] | None = None


class AccessLog:
    """One line per request and per tool call on a stream (standard error).

    Lines hold names, numbers and addresses only; the token, the query,
    its arguments and the results never reach them.
    """

    def __init__(self, stream: TextIO | None = None) -> None:
        self._stream = stream

    def __call__(self, line: str) -> None:
        stream = self._stream or sys.stderr
        now = time.time()
        stamp = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(now)) + f".{int(now % 1 * 1000):03d}Z"
        stream.write(f"{stamp} {line}\n")
        stream.flush()
