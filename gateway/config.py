"""The MCP servers to start, read from the configuration shape MCP clients share."""

import json
from collections.abc import AsyncIterator, Callable
from contextlib import AbstractAsyncContextManager, asynccontextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from mcp.server.fastmcp import FastMCP

# The bundled example servers and their configuration: an installed wheel carries
# examples/ inside the package, a source checkout keeps it beside the package.
_PACKAGE = Path(__file__).resolve().parent
BUNDLED = next((folder / "servers.json" for folder in (_PACKAGE / "examples", _PACKAGE.parent / "examples")
                if (folder / "servers.json").is_file()), _PACKAGE / "examples" / "servers.json")
DEFAULT_BODY_LIMIT = 1 << 20  # largest HTTP request body, here so the command line needs no HTTP import


class ConfigError(ValueError):
    pass


@dataclass(frozen=True)
class ServerConfig:
    """A server started over stdio (command, args, env, cwd), or reached through
    streams of this process. Plain values: reading a configuration does not
    import the MCP SDK, so a bad command line fails at once."""

    name: str
    command: str = ""
    args: tuple[str, ...] = ()
    env: dict[str, str] | None = None
    cwd: Path | None = None
    streams: Callable[[], AbstractAsyncContextManager[tuple[Any, Any]]] | None = None


def in_process(name: str, server: FastMCP) -> ServerConfig:
    """A FastMCP server run on the gateway's own loop, its messages passed in memory."""
    import anyio
    from mcp.shared.memory import create_client_server_memory_streams

    @asynccontextmanager
    async def streams() -> AsyncIterator[tuple[Any, Any]]:
        lowlevel = server._mcp_server  # the SDK's own in-memory helper reaches it the same way
        async with (create_client_server_memory_streams() as (client, (read, write)),
                    anyio.create_task_group() as group):
            group.start_soon(lambda: lowlevel.run(read, write, lowlevel.create_initialization_options()))
            yield client
            group.cancel_scope.cancel()

    return ServerConfig(name, streams=streams)


def load_config(path: Path) -> list[ServerConfig]:
    """Read {"mcpServers": {name: {"command", "args", "env", "cwd"}}}.

    A server runs in the file's folder unless "cwd" names another, and a
    command, argument or environment value written as ./x or ../x is taken
    from the file's folder, so a configuration can travel with its servers.
    """
    try:
        document = json.loads(path.read_text(encoding="utf-8"))
    except OSError as exc:
        raise ConfigError(f"cannot read {path}: {exc.strerror or exc}") from None
    except ValueError as exc:
        raise ConfigError(f"{path} is not JSON: {exc}") from None
    servers = document.get("mcpServers") if isinstance(document, dict) else None
    if not isinstance(servers, dict):
        raise ConfigError(f"{path}: expected an object with an \"mcpServers\" object")
    folder = path.resolve().parent
    return [_server(folder, name, entry, path) for name, entry in servers.items()]


def _server(folder: Path, name: str, entry: object, path: Path) -> ServerConfig:
    where = f"{path}: server {name!r}"
    if not isinstance(entry, dict):
        raise ConfigError(f"{where} must be an object")
    command, args = entry.get("command"), entry.get("args", [])
    env, cwd = entry.get("env"), entry.get("cwd", ".")
    if not isinstance(command, str) or not command:
        raise ConfigError(f"{where} needs a \"command\" string")
    if not isinstance(args, list) or not all(isinstance(a, str) for a in args):
        raise ConfigError(f"{where}: \"args\" must be a list of strings")
    if env is not None and not (isinstance(env, dict) and all(isinstance(v, str) for v in env.values())):
        raise ConfigError(f"{where}: \"env\" must map names to strings")
    if not isinstance(cwd, str):
        raise ConfigError(f"{where}: \"cwd\" must be a string")

    def local(text: str) -> str:
        return str((folder / text).resolve()) if text.startswith(("./", "../")) else text

    return ServerConfig(name, command=local(command), args=tuple(local(a) for a in args),
                        env=None if env is None else {k: local(v) for k, v in env.items()},
                        cwd=(folder / cwd).resolve())
