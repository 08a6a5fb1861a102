"""One GraphQL front over the tools of MCP servers, answered by the _graphql engine."""

from .config import ConfigError, ServerConfig, in_process, load_config
from .host import Gateway, reply_of

__all__ = ["ConfigError", "Gateway", "ServerConfig", "in_process", "load_config", "reply_of"]
