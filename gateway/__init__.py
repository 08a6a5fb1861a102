"""One GraphQL front over the tools of MCP servers, answered by the _graphql engine."""

import sys

if sys.version_info < (3, 14):  # noqa: UP036 -- before any import that older interpreters fail on, obscurely
    _NEEDS = ("ziri-gateway needs CPython 3.14, not {}.{}; in a checkout, tools/main runs it in the dev root "
              "that has it (README, Quick start)".format(*sys.version_info[:2]))
    if sys.argv[:1] == ["-m"]:  # python3 -m gateway: one line, no traceback
        print(_NEEDS, file=sys.stderr)
        raise SystemExit(2)
    raise ImportError(_NEEDS)

from typing import TYPE_CHECKING  # noqa: E402

from .config import ConfigError, ServerConfig, in_process, load_config

if TYPE_CHECKING:
    from .lifecycle import Gateway
    from .replies import reply_of

# These pull in the MCP SDK and the engine: only when asked for, so that
# the command line can refuse bad arguments before paying for the imports.
_LAZY = {"Gateway": "lifecycle", "reply_of": "replies"}


def __getattr__(name: str) -> object:
    if name in _LAZY:
        from importlib import import_module
        return getattr(import_module(f".{_LAZY[name]}", __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = ["ConfigError", "Gateway", "ServerConfig", "in_process", "load_config", "reply_of"]
