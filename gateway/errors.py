"""The body of every error answer, whichever entry point sends it: GraphQL's own
`{"errors": [{"message": ..., "extensions": {...}}]}`, so a client reads a refusal by
the HTTP checks, the MCP face or the command line the way it reads a query's errors."""

from typing import Any


def error_body(message: str, **extensions: Any) -> dict[str, Any]:
    """One error's response body; `extensions` (a status, a code) go under its `extensions`."""
    error: dict[str, Any] = {"message": message}
    if extensions:
        error["extensions"] = extensions
    return {"errors": [error]}
