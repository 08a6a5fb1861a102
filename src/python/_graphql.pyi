"""Native GraphQL engine that serves a catalogue of tools to a Python host."""

from typing import final

__all__ = ["SchemaEngine", "graphql_stub"]

def graphql_stub() -> str:
    """Return a fixed text that shows the extension loaded."""

@final
class SchemaEngine:
    """A GraphQL schema with one top-level field per catalogue tool.

    Tool fields are resolved by host threads through the call bridge: while it
    is attached, execute() waits until every tool call of the query has been
    answered with respond_tool_call() or fail_tool_call().
    """

    def __new__(cls, catalogue_json: str | None = None) -> SchemaEngine: ...
    @classmethod
    def build(cls, catalogue_json: str) -> SchemaEngine: ...
    @classmethod
    def from_tool_metadata(cls, catalogue_json: str) -> SchemaEngine: ...
    def describe(self) -> str: ...
    def tool_count(self) -> int: ...
    def attach_call_bridge(self) -> None: ...
    def detach_call_bridge(self) -> None:
        """Stop resolving through host threads; calls still waiting fail."""

    def receive_tool_call(self, timeout_ms: int = 100) -> str | None:
        """Next tool-call request as JSON text, or None after timeout_ms."""

    def respond_tool_call(self, request_id: str, result_json: str) -> bool:
        """Answer a call with a JSON result; False when the id is not pending."""

    def fail_tool_call(self, request_id: str, message: str) -> bool:
        """Answer a call with an error result; False when the id is not pending."""

    def execute(self, query: str, variables_json: str | None = None) -> str:
        """Run a GraphQL query and return the response as JSON text."""
