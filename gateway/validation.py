"""The validation rules a document is checked against: GraphQL's (with Int variables allowed
where a SafeInt is expected), less the ones that find nothing to check in it.

graphql-core makes each rule anew for every document and looks up its handlers for every kind
of node, which for a short document costs more than the visit itself. A rule that only looks
at variables, fragments, directives or arguments can report nothing for a document without
them, and whether it has them shows in its text: each needs a punctuator (`$`, `...`, `@`,
`(`) that cannot appear in a document without appearing in its text. A punctuator inside a
string or a comment only keeps a rule that had nothing to do, and a fragment or a type
definition keeps every rule, so the errors given are always the ones all the rules give.
"""

import functools

from graphql import DocumentNode, OperationDefinitionNode, specified_rules
from graphql.validation import (
    FragmentsOnCompositeTypesRule,
    KnownArgumentNamesRule,
    KnownDirectivesRule,
    KnownFragmentNamesRule,
    KnownTypeNamesRule,
    NoFragmentCyclesRule,
    NoUndefinedVariablesRule,
    NoUnusedFragmentsRule,
    NoUnusedVariablesRule,
    PossibleFragmentSpreadsRule,
    UniqueArgumentNamesRule,
    UniqueDirectivesPerLocationRule,
    UniqueFragmentNamesRule,
    UniqueInputFieldNamesRule,
    UniqueVariableNamesRule,
    ValuesOfCorrectTypeRule,
    VariablesAreInputTypesRule,
    VariablesInAllowedPositionRule,
)
from graphql.validation.rules import ASTValidationRule

from .int_variables import RULES, IntAsSafeIntRule

type Rules = tuple[type[ASTValidationRule], ...]

# What each punctuator's absence makes idle. Named types occur only in variable definitions
# and type conditions, so KnownTypeNames needs one of `$` and `...`.
NEEDS: dict[str, frozenset[type[ASTValidationRule]]] = {
    "$": frozenset({VariablesAreInputTypesRule, UniqueVariableNamesRule, NoUndefinedVariablesRule,
                    NoUnusedVariablesRule, IntAsSafeIntRule}),
    "...": frozenset({FragmentsOnCompositeTypesRule, KnownFragmentNamesRule, PossibleFragmentSpreadsRule,
                      UniqueFragmentNamesRule, NoUnusedFragmentsRule, NoFragmentCyclesRule}),
    "@": frozenset({KnownDirectivesRule, UniqueDirectivesPerLocationRule}),
    "(": frozenset({KnownArgumentNamesRule, UniqueArgumentNamesRule, ValuesOfCorrectTypeRule,
                    UniqueInputFieldNamesRule}),
}
assert VariablesInAllowedPositionRule not in RULES and set(RULES) >= set().union(*NEEDS.values())
assert len(RULES) == len(specified_rules)


def rules_for(query: str, document: DocumentNode) -> Rules:
    """RULES, less those with nothing to check in `document` (parsed from `query`)."""
    if not all(isinstance(d, OperationDefinitionNode) for d in document.definitions):
        return RULES
    return _without(tuple(p for p in NEEDS if p not in query))


@functools.cache
def _without(absent: tuple[str, ...]) -> Rules:
    idle = set().union(*(NEEDS[p] for p in absent))
    if "$" in absent and "..." in absent:
        idle.add(KnownTypeNamesRule)
    return tuple(rule for rule in RULES if rule not in idle)
