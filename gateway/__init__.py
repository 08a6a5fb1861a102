"""One GraphQL front over the tools of MCP servers, answered by the _graphql engine."""

from typing import TYPE_CHECKING

from .config import ConfigError, ServerConfig, in_process, load_config

if TYPE_CHECKING:
    from .host import Gateway, reply_of

# The host pulls in the MCP SDK and the engine: only when asked for, so that
# the command line can refuse bad arguments before paying for the imports.
_LAZY = {"Gateway": "host", "reply_of": "host"}


def __getattr__(name: str) -> object:
    if name in _LAZY:
        from importlib import import_module
        return getattr(import_module(f".{_LAZY[name]}", __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = ["ConfigError", "Gateway", "ServerConfig", "in_process", "load_config", "reply_of"]
