"""How a session reaches its server: stdio, Streamable HTTP or SSE, the SDK's own clients."""

import sys
from collections.abc import AsyncIterator, Callable
from contextlib import AbstractAsyncContextManager, asynccontextmanager
from typing import Any, Self, TextIO

import httpx
from mcp.client.sse import sse_client
from mcp.client.stdio import StdioServerParameters, stdio_client
from mcp.client.streamable_http import streamable_http_client

from .auth import SignIn, oauth
from .config import ServerConfig

HTTP_TIMEOUT = httpx.Timeout(30.0, read=300.0)  # the SDK's own defaults for its HTTP clients


def connect(config: ServerConfig, remote: str, sign_in: SignIn | None,
            errlog: TextIO | None) -> AbstractAsyncContextManager[tuple[Any, Any]]:
    """The read and write streams of one session with `config`'s server: `remote` is the
    transport an "auto" entry uses now ("http", or "sse" once Streamable HTTP was refused);
    `errlog` takes a stdio server's standard error."""
    if config.streams is not None:
        return config.streams()
    headers = {name: value.reveal() for name, value in config.headers}
    auth = oauth(config, sign_in) if config.auth is not None else None
    transport = remote if config.transport == "auto" else config.transport
    if transport == "http":
        return _streamable_http(config.url, headers, auth)
    if transport == "sse":
        return sse_client(config.url, headers=headers, timeout=HTTP_TIMEOUT.connect or 30.0,
                          sse_read_timeout=HTTP_TIMEOUT.read or 300.0, auth=auth)
    params = StdioServerParameters(command=config.command, args=list(config.args), env=config.env,
                                   cwd=config.cwd)
    return stdio_client(params, errlog=errlog or sys.stderr)


@asynccontextmanager
async def _streamable_http(url: str, headers: dict[str, str],
                           auth: httpx.Auth | None) -> AsyncIterator[tuple[Any, Any]]:
    """The SDK's Streamable HTTP client over an HTTP client that carries the headers and the OAuth token,
    made as the SDK makes its own (redirects followed, its time-outs)."""
    async with (httpx.AsyncClient(headers=headers, timeout=HTTP_TIMEOUT, auth=auth, follow_redirects=True) as client,
                streamable_http_client(url, http_client=client) as (read, write, _session_id)):
        yield read, write


class Watched:
    """A session's read stream that says when it ends: the first sign that a server exited
    or a connection closed, even while no call is waiting on it."""

    def __init__(self, stream: Any, ended: Callable[[], None]) -> None:
        self._stream = stream
        self._ended = ended

    async def __aenter__(self) -> Self:
        await self._stream.__aenter__()
        return self

    async def __aexit__(self, *exc_info: object) -> Any:
        return await self._stream.__aexit__(*exc_info)

    def __aiter__(self) -> Self:
        return self

    async def __anext__(self) -> Any:
        try:
            return await self._stream.__anext__()
        except StopAsyncIteration:
            self._ended()
            raise

    async def receive(self) -> Any:
        return await self.__anext__()

    async def aclose(self) -> None:
        await self._stream.aclose()


def refused(exc: BaseException) -> bool:
    """Whether a session failed on a 4xx answer (inside the SDK's exception groups)."""
    while isinstance(exc, BaseExceptionGroup) and exc.exceptions:
        exc = exc.exceptions[0]
    return isinstance(exc, httpx.HTTPStatusError) and 400 <= exc.response.status_code < 500
