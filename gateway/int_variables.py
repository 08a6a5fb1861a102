"""Validation that lets an `Int` variable stand where a `SafeInt` is expected.

Every Int is a SafeInt, and clients written before an argument widened to
SafeInt declare `$n: Int`: GraphQL's own rule asks for the very same type and
would refuse them. This is that rule with Int read as SafeInt wherever the
variable is used for one. (Its check of one-of input objects is left out: the
gateway's schema makes none.)
"""

from typing import Any

from graphql.validation.rules.variables_in_allowed_position import (
    VariablesInAllowedPositionRule,
    allowed_variable_usage,
)

from graphql import (
    GraphQLError,
    GraphQLInt,
    GraphQLList,
    GraphQLNonNull,
    GraphQLType,
    OperationDefinitionNode,
    get_named_type,
    specified_rules,
    type_from_ast,
)

SAFE_INT = "SafeInt"


class IntAsSafeIntRule(VariablesInAllowedPositionRule):
    def leave_operation_definition(self, operation: OperationDefinitionNode, *_args: Any) -> None:
        schema = self.context.schema
        for usage in self.context.get_recursive_variable_usages(operation):
            node, expected = usage.node, usage.type
            definition = self.var_def_map.get(node.name.value)
            if definition is None or expected is None:
                continue
            declared = type_from_ast(schema, definition.type)
            if declared is None:
                continue
            if getattr(get_named_type(expected), "name", None) == SAFE_INT:
                declared = _widened(declared, get_named_type(expected))
            if not allowed_variable_usage(schema, declared, definition.default_value, expected, usage.default_value):
                self.report_error(GraphQLError(
                    f"Variable '${node.name.value}' of type '{type_from_ast(schema, definition.type)}' used"
                    f" in position expecting type '{expected}'.", [definition, node]))


def _widened(kind: GraphQLType, safe_int: Any) -> Any:
    if isinstance(kind, GraphQLNonNull):
        return GraphQLNonNull(_widened(kind.of_type, safe_int))
    if isinstance(kind, GraphQLList):
        return GraphQLList(_widened(kind.of_type, safe_int))
    return safe_int if kind is GraphQLInt else kind


RULES = tuple(IntAsSafeIntRule if rule is VariablesInAllowedPositionRule else rule for rule in specified_rules)
