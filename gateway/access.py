"""Who may call the gateway over HTTP: its token, the Host names and browser origin it answers,
and the one test of what counts as this machine (loopback).

Nothing here imports Starlette, so the command line can check its flags
(a token that cannot be read, a bind that needs one) before starting anything.
"""

import hashlib
import hmac
import ipaddress
import os
import re
import socket
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

from .limits import Limits

TOKEN_VARIABLE = "GATEWAY_TOKEN"
# What an Authorization header can carry as a bearer token (RFC 6750's b64token, widened to visible ASCII).
TOKEN_TEXT = re.compile(r"[\x21-\x7e]+")
# A Host header: a bracketed IPv6 literal or a name/IPv4 address, then an optional port.
HOST_HEADER = re.compile(r"(?:\[([0-9A-Fa-f:.]+)\]|([A-Za-z0-9](?:[A-Za-z0-9.-]*[A-Za-z0-9])?))(?::([0-9]{0,5}))?")
# This machine's names as a Host header gives them, for checks that match names rather than test them.
LOOPBACK_NAMES = ("localhost", "127.0.0.1", "[::1]")
ORIGIN = re.compile(r"(https?)://([^/?#@\s]+)")



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


def loopback_address(address: str) -> bool:
    """Whether an IP address (an IPv6 one may carry its %zone) is one of this machine's loopback
    addresses: 127.0.0.0/8 or ::1. False for anything that is not an address: nothing is resolved."""
    try:
        return ipaddress.ip_address(address.split("%")[0]).is_loopback
    except ValueError:
        return False


def require_token_off_loopback(address: str, token: str | None) -> None:
    """Without a token only a loopback address may be served: anyone who can reach
    another address could otherwise call every tool, the writing ones too.
    A host name counts as loopback when every address it names is."""
    if token is None and not _resolves_to_loopback(address):
        raise AccessError(f"refusing to serve {address} without a token: it is reachable from other "
                          f"machines, and every caller could use every tool. Give --token-file FILE "
                          f"(or set {TOKEN_VARIABLE}), or serve a loopback address such as 127.0.0.1")


def _resolves_to_loopback(host: str) -> bool:
    if loopback_address(host):
        return True
    try:
        addresses = {info[4][0] for info in socket.getaddrinfo(host, None, type=socket.SOCK_STREAM)}
    except (OSError, UnicodeError):
        return False
    return bool(addresses) and all(loopback_address(str(a)) for a in addresses)


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
    return host == "localhost" or host.endswith(".localhost") or loopback_address(host)


def check_cors_origin(origin: str) -> str:
    """One web origin (scheme://host[:port], RFC 6454) that may call from a browser; `*` would
    let every page on the web drive the tools of a gateway without a token."""
    parts = ORIGIN.fullmatch(origin)
    if parts is None or split_host(parts.group(2)) is None:
        raise AccessError(f"--cors-origin {origin!r} is not one origin such as https://app.example "
                          f"(a scheme, a host and an optional port; no path, no wildcard)")
    return origin


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
