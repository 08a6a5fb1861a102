"""An MCP server over Streamable HTTP that is its own OAuth authorization server, for the sign-in tests.

`mcp_oauth_server.py PORT_FILE` listens on a free loopback port, writes it to
PORT_FILE and serves /mcp (tools `hello` and `meet`) behind the SDK's bearer check,
with dynamic client registration, an authorization endpoint that approves at
once (a browser that follows the redirects signs in), PKCE checked by the SDK,
and rotating refresh tokens. Access tokens live ACCESS_SECONDS (environment,
default 6), so a test sees them refreshed. It answers each call in one JSON
response, sent when the call is done, as many hosted servers do: calls that
the client sends one at a time then take turns, which `meet` shows.

Two routes outside the bearer check are for the tests: GET /state answers what
the server saw (client registrations, refresh grants served, requests that came
with a token already expired, the shortest life a token had left when used, the
Authorization header values, every token it issued); POST /forget-refresh-tokens
revokes every refresh token, so the next refresh is refused with invalid_grant
while the access tokens live on; POST /forget-access-tokens revokes every access
token, which a refresh mends.
"""

import asyncio
import os
import secrets
import socket
import sys
import time
from pathlib import Path
from typing import Any

import uvicorn
from mcp.server.auth.provider import (
    AccessToken,
    AuthorizationCode,
    AuthorizationParams,
    RefreshToken,
    TokenError,
    construct_redirect_uri,
)
from mcp.server.auth.settings import AuthSettings, ClientRegistrationOptions
from mcp.server.fastmcp import FastMCP
from mcp.shared.auth import OAuthClientInformationFull, OAuthToken
from mcp.types import ToolAnnotations
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.types import ASGIApp, Receive, Scope, Send

ACCESS_SECONDS = float(os.environ.get("ACCESS_SECONDS", "6"))
CODE_SECONDS = 300
MOST_HEADERS = 1000  # distinct Authorization values kept: a test needs a handful


class Provider:
    """Every client, code and token in memory, with the counts the tests poll."""

    def __init__(self) -> None:
        self.clients: dict[str, OAuthClientInformationFull] = {}
        self.codes: dict[str, AuthorizationCode] = {}
        self.access: dict[str, tuple[AccessToken, float]] = {}  # with its expiry to the fraction of a second
        self.refresh: dict[str, RefreshToken] = {}
        self.issued: list[str] = []
        self.registrations = 0
        self.refreshes = 0
        self.expired_uses = 0
        self.least_left: float | None = None  # the shortest life any token had left when it was used
        self.headers: set[str] = set()

    async def get_client(self, client_id: str) -> OAuthClientInformationFull | None:
        return self.clients.get(client_id)

    async def register_client(self, client_info: OAuthClientInformationFull) -> None:
        assert client_info.client_id is not None
        self.registrations += 1
        self.clients[client_info.client_id] = client_info

    async def authorize(self, client: OAuthClientInformationFull, params: AuthorizationParams) -> str:
        # No person to ask: approved at once, as a browser with a live session would be.
        code = secrets.token_urlsafe(32)
        assert client.client_id is not None
        self.codes[code] = AuthorizationCode(
            code=code, scopes=params.scopes or [], expires_at=time.time() + CODE_SECONDS,
            client_id=client.client_id, code_challenge=params.code_challenge, redirect_uri=params.redirect_uri,
            redirect_uri_provided_explicitly=params.redirect_uri_provided_explicitly, resource=params.resource)
        return construct_redirect_uri(str(params.redirect_uri), code=code, state=params.state)

    async def load_authorization_code(self, client: OAuthClientInformationFull,
                                      authorization_code: str) -> AuthorizationCode | None:
        code = self.codes.get(authorization_code)
        return code if code is not None and code.client_id == client.client_id else None

    async def exchange_authorization_code(self, client: OAuthClientInformationFull,
                                          authorization_code: AuthorizationCode) -> OAuthToken:
        del self.codes[authorization_code.code]
        return self._issue(authorization_code.client_id, authorization_code.scopes)

    async def load_refresh_token(self, client: OAuthClientInformationFull, refresh_token: str) -> RefreshToken | None:
        token = self.refresh.get(refresh_token)
        return token if token is not None and token.client_id == client.client_id else None

    async def exchange_refresh_token(self, client: OAuthClientInformationFull, refresh_token: RefreshToken,
                                     scopes: list[str]) -> OAuthToken:
        if self.refresh.pop(refresh_token.token, None) is None:
            raise TokenError("invalid_grant", "refresh token revoked")
        self.refreshes += 1
        return self._issue(refresh_token.client_id, scopes or refresh_token.scopes)

    async def load_access_token(self, token: str) -> AccessToken | None:
        found = self.access.get(token)
        if found is None:
            return None
        access, expires = found
        left = expires - time.time()
        self.least_left = left if self.least_left is None else min(self.least_left, left)
        if left <= 0:
            self.expired_uses += 1
            return None
        return access

    async def revoke_token(self, token: AccessToken | RefreshToken) -> None:
        self.access.pop(token.token, None)
        self.refresh.pop(token.token, None)

    def _issue(self, client_id: str, scopes: list[str]) -> OAuthToken:
        access, refresh = secrets.token_urlsafe(32), secrets.token_urlsafe(32)
        expires = time.time() + ACCESS_SECONDS
        self.access[access] = (AccessToken(token=access, client_id=client_id, scopes=scopes,
                                           expires_at=int(expires) + 1), expires)
        self.refresh[refresh] = RefreshToken(token=refresh, client_id=client_id, scopes=scopes)
        self.issued += [access, refresh]
        return OAuthToken(access_token=access, refresh_token=refresh, expires_in=int(ACCESS_SECONDS),
                          scope=" ".join(scopes) or None)

    def state(self) -> dict[str, Any]:
        return {"registrations": self.registrations, "refreshes": self.refreshes,
                "expiredUses": self.expired_uses,
                "leastLeft": self.least_left, "authorization": sorted(self.headers), "issued": self.issued}


class Watching:
    """Notes the Authorization header of every request, before any route sees it."""

    def __init__(self, app: ASGIApp, provider: Provider) -> None:
        self.app = app
        self.provider = provider

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http" and len(self.provider.headers) < MOST_HEADERS:
            for name, value in scope["headers"]:
                if name.lower() == b"authorization":
                    self.provider.headers.add(value.decode("latin-1"))
        await self.app(scope, receive, send)


def build(port: int, provider: Provider) -> ASGIApp:
    base = f"http://127.0.0.1:{port}"
    server = FastMCP(
        "secure", log_level="WARNING", host="127.0.0.1", port=port, auth_server_provider=provider,
        json_response=True,
        auth=AuthSettings(issuer_url=base, resource_server_url=f"{base}/mcp",  # type: ignore[arg-type]
                          client_registration_options=ClientRegistrationOptions(enabled=True)))

    @server.tool(name="hello", annotations=ToolAnnotations(readOnlyHint=True))
    def hello(name: str) -> str:
        return f"hello {name}"

    arrived: list[asyncio.Event] = []

    @server.tool(name="meet", annotations=ToolAnnotations(readOnlyHint=True))
    async def meet(n: int) -> str:
        """"met" once n calls are here at the same time; "alone" if they are not within 5 s."""
        here = asyncio.Event()
        arrived.append(here)
        if len(arrived) % n == 0:
            for event in arrived[-n:]:
                event.set()
        try:
            await asyncio.wait_for(here.wait(), 5)
            return "met"
        except TimeoutError:
            return "alone"

    @server.custom_route("/state", methods=["GET"])
    async def state(request: Request) -> Response:
        return JSONResponse(provider.state())

    @server.custom_route("/forget-refresh-tokens", methods=["POST"])
    async def forget_refresh(request: Request) -> Response:
        provider.refresh.clear()
        return JSONResponse({"forgotten": True})

    @server.custom_route("/forget-access-tokens", methods=["POST"])
    async def forget_access(request: Request) -> Response:
        provider.access.clear()
        return JSONResponse({"forgotten": True})

    return Watching(server.streamable_http_app(), provider)


def main(port_file: Path) -> None:
    # Bound first: the issuer's URL names the port, and no other process can take it in between.
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    uv = uvicorn.Server(uvicorn.Config(build(port, Provider()), log_level="warning", lifespan="on"))

    async def run() -> None:
        serving = asyncio.ensure_future(uv.serve(sockets=[sock]))
        while not uv.started and not serving.done():
            await asyncio.sleep(0.01)
        port_file.write_text(str(port), encoding="utf-8")
        await serving

    asyncio.run(run())


if __name__ == "__main__":
    main(Path(sys.argv[1]))
