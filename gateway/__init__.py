"""One GraphQL front over the tools of MCP servers, answered by the _graphql engine."""

from .config import ConfigError, ServerConfig, load_config
from .host import Gateway, reply_of

__all__ = ["ConfigError", "Gateway", "ServerConfig", "load_config", "reply_of"]
