"""Signing in to remote MCP servers that ask for an OAuth 2.1 token, through the SDK's client.

The SDK's `mcp.client.auth` does the protocol: protected-resource and
authorization-server metadata, client registration (dynamic, by metadata
document, or none for a client registered beforehand), the authorization code
with PKCE, refresh, client credentials, and scopes as the server asks for them
(its `WWW-Authenticate` challenge, else its `scopes_supported`, again on a 403
that asks for more). This module chooses and bounds it:

- "authorization_code": a person signs in with `gateway login NAME`; the
  tokens and the client's registration are kept in one file per server that
  only its owner can read (`token_dir()`). The serving gateway loads them,
  refreshes a token a minute before it expires, and never asks a person: a
  server whose tokens are gone or refused is marked down with `SignInNeeded`,
  which says to run `login` again.
- "client_credentials": the machine's own ID and secret (or private key, as a
  signed assertion); nothing is written, a new token is asked for whenever one
  is needed.

A server that keeps asking for a sign-in is asked at most MOST_SIGN_INS times
per session. Tokens are handed to the HTTP client only: no log line, error or
health answer shows one, and the gateway's own clients' tokens never reach a
server.
"""

import asyncio
import functools
import hashlib
import html
import json
import logging
import os
import re
import secrets
import shlex
import stat
import sys
import time
from collections.abc import AsyncGenerator, Awaitable, Callable
from http.server import BaseHTTPRequestHandler, HTTPServer
from pathlib import Path
from typing import Any
from urllib.parse import parse_qs, urlsplit

import httpx
from mcp.client.auth import OAuthClientProvider
from mcp.shared.auth import OAuthClientInformationFull, OAuthClientMetadata, OAuthToken
from pydantic import AnyUrl, ValidationError

from .config import AuthConfig, ServerConfig

logger = logging.getLogger(__name__)

TOKEN_DIR_VARIABLE = "GATEWAY_TOKEN_DIR"
REFRESH_AHEAD = 60.0  # seconds before its expiry when a token is refreshed
MOST_SIGN_INS = 3  # per session: a server whose 403s never end is not asked forever
SIGN_IN_SECONDS = 300.0  # time a person has to finish signing in
CALLBACK_PATH = "/callback"
CLIENT_NAME = "MCP GraphQL gateway"


class SignInNeeded(Exception):
    """The server needs a person to sign in, which only `gateway login` asks for."""

    def __init__(self, server: str, why: str) -> None:
        program = "ziri-gateway" if Path(sys.argv[0]).name == "ziri-gateway" else "python3 -m gateway"
        super().__init__(f"{why}: run `{program} login {shlex.quote(server)}` (with the same --config)")


class TokenFileError(Exception):
    pass


def token_dir() -> Path:
    """Where sign-ins are kept: $GATEWAY_TOKEN_DIR, else $XDG_STATE_HOME/ziri-gateway/tokens
    (~/.local/state/ziri-gateway/tokens)."""
    if chosen := os.environ.get(TOKEN_DIR_VARIABLE):
        return Path(chosen)
    state = os.environ.get("XDG_STATE_HOME") or str(Path.home() / ".local" / "state")
    return Path(state) / "ziri-gateway" / "tokens"


class TokenFile:
    """One server's sign-in, as the SDK's TokenStorage: its tokens with the time
    they expire, its client registration, and scopes a call was refused for.

    Written whole to a new file then renamed over the old one, mode 0600 in a
    0700 folder; a file that others could read (or another user owns) is
    refused rather than used, as ssh refuses a key."""

    def __init__(self, path: Path) -> None:
        self.path = path

    @classmethod
    def of(cls, config: ServerConfig) -> TokenFile:
        # The URL is part of the name: the same name in another configuration is another server.
        safe = re.sub(r"[^A-Za-z0-9_.-]", "_", config.name)[:64]
        digest = hashlib.sha256(config.url.encode()).hexdigest()[:16]
        return cls(token_dir() / f"{safe}-{digest}.json")

    def read(self) -> dict[str, Any]:
        self._check_folder()
        try:
            fd = os.open(self.path, os.O_RDONLY | os.O_NOFOLLOW)
        except FileNotFoundError:
            return {}
        except OSError as exc:
            raise TokenFileError(f"cannot read {self.path}: {exc.strerror or exc}") from None
        with os.fdopen(fd, "rb") as stream:
            status = os.fstat(stream.fileno())
            if status.st_uid != os.getuid() or status.st_mode & 0o077:
                raise TokenFileError(f"{self.path} may be read by others: it must be its owner's only "
                                     "(chmod 600), or be removed and signed in again")
            try:
                document = json.loads(stream.read())
            except ValueError:
                raise TokenFileError(f"{self.path} is not JSON: remove it and sign in again") from None
        return document if isinstance(document, dict) else {}

    def write(self, **members: Any) -> None:
        document = self.read() | members
        self.path.parent.mkdir(mode=0o700, parents=True, exist_ok=True)
        self._check_folder()
        # A name nobody can have made ready, and O_EXCL: a file (or link) planted there is never written through.
        temporary = self.path.with_name(f".{self.path.name}.{os.getpid()}.{secrets.token_hex(8)}")
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as stream:
                json.dump(document, stream)
                stream.flush()
                os.fsync(stream.fileno())
            os.replace(temporary, self.path)
        except BaseException:
            temporary.unlink(missing_ok=True)
            raise

    def _check_folder(self) -> None:
        """The folder must be the user's own and writable by nobody else: whoever can write
        there can replace a token file, or the registration that says where tokens are sent."""
        try:
            status = os.lstat(self.path.parent)
        except FileNotFoundError:
            return  # nothing to read; write() makes it, 0700
        if not stat.S_ISDIR(status.st_mode) or status.st_uid != os.getuid() or status.st_mode & 0o022:
            raise TokenFileError(f"{self.path.parent} may be written by others (or is not the user's own "
                                 "folder): make it its owner's only (chmod 700)")

    # The SDK's TokenStorage.
    async def get_tokens(self) -> OAuthToken | None:
        tokens = self.read().get("tokens")
        try:
            return OAuthToken.model_validate(tokens) if tokens else None
        except ValidationError:
            return None

    async def set_tokens(self, tokens: OAuthToken) -> None:
        expires = time.time() + tokens.expires_in if tokens.expires_in is not None else None
        self.write(tokens=tokens.model_dump(mode="json", exclude_none=True), expiresAt=expires)

    async def get_client_info(self) -> OAuthClientInformationFull | None:
        client = self.read().get("client")
        try:
            return OAuthClientInformationFull.model_validate(client) if client else None
        except ValidationError:
            return None

    async def set_client_info(self, client_info: OAuthClientInformationFull) -> None:
        self.write(client=client_info.model_dump(mode="json", exclude_none=True))

    def expires_at(self) -> float | None:
        value = self.read().get("expiresAt")
        return float(value) if isinstance(value, int | float) else None

    def forget_tokens(self) -> None:
        """Before a new sign-in: the tokens go, the client's registration stays."""
        if self.read():
            self.write(tokens=None, expiresAt=None)


class MemoryTokens:
    """TokenStorage for the client credentials flow: a new token is one request away."""

    def __init__(self) -> None:
        self._tokens: OAuthToken | None = None
        self._client: OAuthClientInformationFull | None = None

    async def get_tokens(self) -> OAuthToken | None:
        return self._tokens

    async def set_tokens(self, tokens: OAuthToken) -> None:
        self._tokens = tokens

    async def get_client_info(self) -> OAuthClientInformationFull | None:
        return self._client

    async def set_client_info(self, client_info: OAuthClientInformationFull) -> None:
        self._client = client_info


class SignIn:
    """The browser's part of the code flow: a listener on a loopback port for the
    redirect back, and whoever opens the authorization URL (a person's browser,
    or a test that follows the URL itself).

    The listener serves from the moment a URL is opened, so an opener that
    follows the redirect at once finds it; only the redirect carrying the state
    of the URL just opened ends the wait."""

    def __init__(self, open_url: Callable[[str], Awaitable[None]], *, port: int = 0,
                 timeout: float = SIGN_IN_SECONDS, fresh: bool = False) -> None:
        self._open = open_url
        self.timeout = timeout
        # fresh: sign in even where stored tokens are still good (`login`); they are
        # replaced only when the new sign-in has succeeded.
        self.fresh = fresh
        self._server = HTTPServer(("127.0.0.1", port), _Callback)
        self._server.timeout = 0.5  # how often the serving thread looks at its deadline
        self._server.answer = None  # type: ignore[attr-defined]
        self._server.state = None  # type: ignore[attr-defined]
        self._waiting: asyncio.Future[tuple[str, str | None]] | None = None
        self._closed = False

    @property
    def redirect_uri(self) -> str:
        return f"http://127.0.0.1:{self._server.server_address[1]}{CALLBACK_PATH}"

    def close(self) -> None:
        self._closed = True
        if self._waiting is not None and not self._waiting.done():
            # The serving thread sees the flag within its poll and lets go of the socket then.
            self._waiting.add_done_callback(lambda waiting: waiting.cancelled() or waiting.exception())
            self._waiting.add_done_callback(lambda _: self._server.server_close())
        else:
            self._server.server_close()

    def __enter__(self) -> SignIn:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    async def redirect(self, url: str) -> None:
        """The SDK's redirect handler: listen, then open the URL."""
        self._server.state = parse_qs(urlsplit(url).query).get("state", [None])[0]  # type: ignore[attr-defined]
        self._server.answer = None  # type: ignore[attr-defined]
        self._waiting = asyncio.ensure_future(asyncio.to_thread(self._serve, time.monotonic() + self.timeout))
        await self._open(url)

    async def callback(self) -> tuple[str, str | None]:
        """The SDK's callback handler: the code and state the redirect brought."""
        assert self._waiting is not None
        return await self._waiting

    def _serve(self, deadline: float) -> tuple[str, str | None]:
        server = self._server
        while server.answer is None:  # type: ignore[attr-defined]
            if self._closed:
                raise TimeoutError("the sign-in was abandoned")
            if time.monotonic() > deadline:
                raise TimeoutError(f"no sign-in came back within {self.timeout:g} s")
            server.handle_request()
        code, state, error = server.answer  # type: ignore[attr-defined]
        if error:
            raise PermissionError(f"the sign-in was refused: {error}")
        return code, state


class _Callback(BaseHTTPRequestHandler):
    """GET /callback?code=...&state=...: the one request a sign-in waits for."""

    timeout = 5  # seconds a connection may take to send its request: a silent one cannot hold the wait

    def do_GET(self) -> None:  # noqa: N802 (the name http.server calls)
        where = urlsplit(self.path)
        query = parse_qs(where.query)
        state = query.get("state", [None])[0]
        if where.path != CALLBACK_PATH or state != getattr(self.server, "state", None):
            self._page(404, "Not a sign-in this gateway is waiting for.")
            return
        error = query.get("error", [""])[0]
        description = query.get("error_description", [""])[0]
        code = query.get("code", [""])[0]
        if not error and not code:
            error = "the redirect carried no code"
        self.server.answer = (code, state, f"{error} {description}".strip())  # type: ignore[attr-defined]
        self._page(200 if not error else 400,
                   "Signed in: you may close this page." if not error else f"Not signed in: {error}")

    def _page(self, status: int, text: str) -> None:
        body = f"<!doctype html><title>Gateway sign-in</title><p>{html.escape(text)}</p>".encode()
        self.send_response(status)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args: Any) -> None:
        pass  # the request line holds the code: it is not for any log


class _Bounded(OAuthClientProvider):
    """What every flow adds to the SDK's: a bound on sign-ins per session, the
    answer a sign-in was for (401 or a 403 asking for more scope), and tokens
    counted as expired REFRESH_AHEAD seconds early, so a call never carries one
    that runs out on the way."""

    _sign_ins = 0
    _challenge = 0
    _accepted = 0  # answers to the caller's own requests that were not refused

    async def async_auth_flow(self, request: httpx.Request) -> AsyncGenerator[httpx.Request, httpx.Response]:
        if self._initialized and self.context.is_token_valid():
            # The SDK's flow holds one lock from sending a request until its answer's head, so
            # a server that answers a call only when it is done would get one call at a time.
            # A good token needs none of the flow's state: the request goes out beside the
            # others, and only a challenge takes the flow (which sends it again).
            self._add_auth_header(request)
            response = yield request
            self._accepted += response.status_code < 400
            if not (response.status_code == 401 or (response.status_code == 403 and "insufficient_scope"
                                                    in response.headers.get("WWW-Authenticate", ""))):
                return
        flow = super().async_auth_flow(request)
        outgoing = await anext(flow)
        while True:
            response = yield outgoing
            if response.request is request:
                self._challenge = response.status_code
                self._accepted += response.status_code < 400
            try:
                outgoing = await flow.asend(response)
            except StopAsyncIteration:
                return

    async def _perform_authorization(self) -> httpx.Request:
        self._sign_ins += 1
        if self._sign_ins > MOST_SIGN_INS:
            raise PermissionError(f"the server asked for a sign-in {self._sign_ins} times in one session; "
                                  f"its answer stays {self._challenge}")
        return await super()._perform_authorization()

    async def _handle_token_response(self, response: httpx.Response) -> None:
        await super()._handle_token_response(response)
        self._early()

    async def _handle_refresh_response(self, response: httpx.Response) -> bool:
        refreshed = await super()._handle_refresh_response(response)
        self._early()
        return refreshed

    def _early(self) -> None:
        context = self.context
        if context.token_expiry_time is not None and context.current_tokens is not None:
            lifetime = context.current_tokens.expires_in or 0
            context.token_expiry_time -= min(REFRESH_AHEAD, lifetime / 2)


class CodeFlow(_Bounded):
    """The authorization code flow over a TokenFile. With a SignIn it asks a
    person (the `login` command, or a test); without one it only refreshes,
    and a sign-in it would need is SignInNeeded."""

    def __init__(self, config: ServerConfig, store: TokenFile, sign_in: SignIn | None) -> None:
        auth = config.auth or AuthConfig()
        self.name = config.name
        self.store = store
        self.sign_in = sign_in
        self._fixed_client = None
        self._mended_at = -1  # self._accepted when a refused token was last mended by a refresh
        if auth.client_id is not None:  # registered beforehand: no registration, no metadata document
            secret = auth.client_secret.reveal() if auth.client_secret is not None else None
            self._fixed_client = OAuthClientInformationFull(
                client_id=auth.client_id, client_secret=secret, redirect_uris=None,
                token_endpoint_auth_method=auth.token_endpoint_auth_method if secret else "none")
        redirect = sign_in.redirect_uri if sign_in is not None else f"http://127.0.0.1{CALLBACK_PATH}"
        metadata = OAuthClientMetadata(
            redirect_uris=[AnyUrl(redirect)], client_name=CLIENT_NAME,
            grant_types=["authorization_code", "refresh_token"], response_types=["code"],
            token_endpoint_auth_method="none")
        super().__init__(config.url, metadata, store,
                         sign_in.redirect if sign_in is not None else None,
                         sign_in.callback if sign_in is not None else None,
                         timeout=sign_in.timeout if sign_in is not None else SIGN_IN_SECONDS,
                         client_metadata_url=None if auth.client_id else auth.client_metadata_url)

    async def _initialize(self) -> None:
        await super()._initialize()
        if self.sign_in is not None and self.sign_in.fresh:
            self.context.current_tokens = None
        if self._fixed_client is not None:
            self.context.client_info = self._fixed_client
        expires = self.store.expires_at()
        if expires is not None and self.context.current_tokens is not None:
            lifetime = self.context.current_tokens.expires_in or 0
            self.context.token_expiry_time = expires - min(REFRESH_AHEAD, lifetime / 2)

    async def _perform_authorization(self) -> httpx.Request:
        if self.sign_in is not None:
            # Scopes a call of the serving gateway was refused for are asked for now as well.
            wanted = self.store.read().get("wantedScope")
            if isinstance(wanted, str) and wanted:
                have = (self.context.client_metadata.scope or "").split()
                self.context.client_metadata.scope = " ".join(dict.fromkeys(have + wanted.split()))
            request = await super()._perform_authorization()
            self.store.write(wantedScope=None)
            return request
        if self._challenge == 403:
            self.store.write(wantedScope=self.context.client_metadata.scope)
            raise SignInNeeded(self.name, f"a call needs the scope {self.context.client_metadata.scope!r}, "
                                          "which the sign-in did not grant")
        if self.context.can_refresh_token() and self._mended_at != self._accepted:
            # A 401 despite a token we thought good (revoked early, the server's keys rotated): a
            # refresh may still mend it, a person is not asked. Once until a request gets through
            # again, so a server that refuses every token ends the session instead of a refresh per call.
            self._mended_at = self._accepted
            return await self._refresh_token()
        raise SignInNeeded(self.name, "the sign-in has ended (the server refused the token and no refresh "
                                      "was left)")

    async def _handle_token_response(self, response: httpx.Response) -> None:
        if response.status_code != 200 and self.sign_in is None:
            self._refused(response)
        await super()._handle_token_response(response)

    async def _handle_refresh_response(self, response: httpx.Response) -> bool:
        kept = self.context.current_tokens.refresh_token if self.context.current_tokens else None
        refreshed = await super()._handle_refresh_response(response)
        if not refreshed and self.sign_in is None:
            self._refused(response)
        tokens = self.context.current_tokens
        if refreshed and tokens is not None and tokens.refresh_token is None and kept is not None:
            # A server that does not rotate refresh tokens leaves the old one good (RFC 6749, 6):
            # without it the next expiry would need a person.
            tokens.refresh_token = kept
            await self.store.set_tokens(tokens)
        return refreshed

    def _refused(self, response: httpx.Response) -> None:
        """A refresh the serving gateway asked for and did not get."""
        if response.status_code in (400, 401):  # invalid_grant and its kin: only a new sign-in mends it
            self.store.forget_tokens()  # so the next session says so before any request
            raise SignInNeeded(self.name, f"the authorization server refused the refresh ({response.status_code})")
        raise ConnectionError(f"the authorization server did not refresh the token ({response.status_code})")


@functools.cache
def _machine_flows() -> tuple[type[Any], type[Any], type[Any]]:
    """The client-credentials providers, bounded like the code flow, made once. Imported
    here: they bring PyJWT and its cryptography, which only this flow uses."""
    from mcp.client.auth.extensions.client_credentials import (
        ClientCredentialsOAuthProvider,
        PrivateKeyJWTOAuthProvider,
        SignedJWTParameters,
    )

    class SecretCredentials(_Bounded, ClientCredentialsOAuthProvider):
        pass

    class KeyCredentials(_Bounded, PrivateKeyJWTOAuthProvider):
        pass

    return SecretCredentials, KeyCredentials, SignedJWTParameters


def oauth(config: ServerConfig, sign_in: SignIn | None = None) -> httpx.Auth:
    """The HTTP client's auth for one session of a server whose entry has "auth".

    Made anew for each session, so a `login` run meanwhile is read by the next one.
    Raises SignInNeeded at once when the code flow has nothing stored and no
    person to ask, before any request (and any registration) is made."""
    auth = config.auth
    assert auth is not None
    if auth.flow == "client_credentials":
        _SecretCredentials, _KeyCredentials, SignedJWTParameters = _machine_flows()
        assert auth.client_id is not None
        if auth.private_key is not None:
            signer = SignedJWTParameters(issuer=auth.client_id, subject=auth.client_id,
                                         signing_key=auth.private_key.reveal(),
                                         signing_algorithm=auth.signing_algorithm)
            provider: httpx.Auth = _KeyCredentials(config.url, MemoryTokens(), auth.client_id,
                                                   signer.create_assertion_provider())
            return provider
        assert auth.client_secret is not None
        provider = _SecretCredentials(config.url, MemoryTokens(), auth.client_id, auth.client_secret.reveal(),
                                      token_endpoint_auth_method=auth.token_endpoint_auth_method)
        return provider
    store = TokenFile.of(config)
    if sign_in is None and not store.read().get("tokens"):
        raise SignInNeeded(config.name, "not signed in")
    return CodeFlow(config, store, sign_in)


class _QuietSignInNeeded(logging.Filter):
    """The SDK logs every failure of its flow with a traceback; a sign-in that
    is needed is said once, in one line, by the server's failure report."""

    def filter(self, record: logging.LogRecord) -> bool:
        return not (record.exc_info and isinstance(record.exc_info[1], SignInNeeded))


logging.getLogger("mcp.client.auth.oauth2").addFilter(_QuietSignInNeeded())
