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
from typing import Any

from graphql.language.visitor import EnterLeaveVisitor
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

from graphql import DocumentNode, OperationDefinitionNode, specified_rules

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
        return _without(())
    return _without(tuple(p for p in NEEDS if p not in query))


@functools.cache
def _without(absent: tuple[str, ...]) -> Rules:
    idle = set().union(*(NEEDS[p] for p in absent))
    if "$" in absent and "..." in absent:
        idle.add(KnownTypeNamesRule)
    return tuple(_FAST[rule] for rule in RULES if rule not in idle)


def _handler_names(rule: type[ASTValidationRule], kind: str) -> tuple[str | None, str | None]:
    """The names of `rule`'s enter and leave handlers for nodes of `kind`, as graphql-core's
    Visitor finds them: the kind's own, else the generic one, else none."""
    def found(verb: str) -> str | None:
        return next((name for name in (f"{verb}_{kind}", verb) if getattr(rule, name, None)), None)

    return found("enter"), found("leave")


def _fast(rule: type[ASTValidationRule]) -> type[ASTValidationRule]:
    """`rule` with its handler names looked up once per kind for the class: graphql-core's
    Visitor looks them up anew for every rule object, that is for every document."""
    names: dict[str, tuple[str | None, str | None]] = {}

    def get_enter_leave_for_kind(self: Any, kind: str) -> EnterLeaveVisitor:
        found: EnterLeaveVisitor | None = self.enter_leave_map.get(kind)
        if found is None:
            enter, leave = names.get(kind) or names.setdefault(kind, _handler_names(rule, kind))
            found = self.enter_leave_map[kind] = EnterLeaveVisitor(
                getattr(self, enter) if enter else None, getattr(self, leave) if leave else None)
        return found

    return type(rule.__name__, (rule,), {"get_enter_leave_for_kind": get_enter_leave_for_kind})


_FAST = {rule: _fast(rule) for rule in RULES}
