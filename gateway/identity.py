"""The program's own name and version, as --help, --version and the MCP face show them."""

import tomllib
from functools import cache
from importlib.metadata import PackageNotFoundError
from importlib.metadata import version as installed_version
from pathlib import Path

PROGRAM = "ziri-gateway"
DISTRIBUTION = "dive-ziri-graphql"


@cache
def version() -> str:
    """The installed distribution's version, or a source checkout's own from its pyproject.toml."""
    try:
        return installed_version(DISTRIBUTION)
    except PackageNotFoundError:
        pass
    try:
        with (Path(__file__).resolve().parent.parent / "pyproject.toml").open("rb") as stream:
            return str(tomllib.load(stream)["project"]["version"])
    except (OSError, KeyError, tomllib.TOMLDecodeError):
        return "unknown"
