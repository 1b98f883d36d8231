"""The lint's rules: a code in a family, a short name, and what each finding means."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True, slots=True)
class Rule:
    code: str
    name: str
    summary: str
    fixable: bool = False


FAMILIES = {
    "R": "reading: what the normal form cannot keep, and documents that do not read",
    "S": "structure: the tree's rules and node ids",
    "D": "recorded data: streams, laps and positions",
    "V": "values no plan means",
}

RULES: dict[str, Rule] = {rule.code: rule for rule in (
    Rule("R001", "unreadable", "the document does not read as a workout"),
    Rule("R002", "unknown-member", "a member the model does not know: the normal form drops it"),
    Rule("R003", "repeated-key", "a key given twice in a map: the later value wins", fixable=True),
    Rule("R004", "lossy-number", "a number in a free-form value that the normal form changes"),
    Rule("S001", "kind-payload-mismatch", "a node kind with a payload of another variant"),
    Rule("S002", "set-without-measures", "a set payload with no measure"),
    Rule("S003", "empty-block", "a block with no child"),
    Rule("S004", "set-under-block", "a set directly under a block"),
    Rule("S005", "misplaced-under-exercise", "a block or session under an exercise"),
    Rule("S006", "duplicate-id", "a node id used by an earlier node"),
    Rule("S007", "empty-id", "a node with an empty id"),
    Rule("D001", "timestamps-not-increasing", "a timestamp not after the one before it"),
    Rule("D002", "channel-length", "a channel with more or fewer samples than timestamps"),
    Rule("D003", "lap-index-out-of-range", "a lap index beyond the recorded samples"),
    Rule("D004", "lap-ends-before-start", "a lap whose end index is before its start index"),
    Rule("D005", "position-out-of-range", "a latitude beyond ±90 or a longitude beyond ±180"),
    Rule("V001", "non-positive-amount", "a zero or negative duration, distance, weight or rep count"),
    Rule("V002", "heart-rate-range", "a heart rate outside 20 to 250 bpm"),
    Rule("V003", "percent-over-100", "a PercentOfMax intensity above 100"),
    Rule("V004", "negative-rest", "a negative rest"),
)}

# The structural messages of the module, by the words that end (or start) each.
STRUCTURE = (
    ("does not match payload variant", "S001"),
    ("Set node must have at least one measure", "S002"),
    ("Block node must have at least one child", "S003"),
    ("Set should not be a direct child of Block (wrap in Exercise)", "S004"),
    ("should not be a child of Exercise", "S005"),
)


def structure_code(message: str) -> str:
    for words, code in STRUCTURE:
        if message.endswith(words):
            return code
    return "S001"


class UnknownSelector(ValueError):
    """A --select or --ignore entry that names no rule and no family."""


def expand(selectors: list[str]) -> set[str]:
    """The codes that selectors name: a code, a prefix of codes (a family such as "R", or
    "S00"), a rule's name, or ALL."""
    codes: set[str] = set()
    names = {rule.name: code for code, rule in RULES.items()}
    for selector in selectors:
        selector = selector.strip()
        if not selector:
            continue
        if selector.upper() == "ALL":
            codes.update(RULES)
        elif selector in names:
            codes.add(names[selector])
        else:
            matched = {code for code in RULES if code.startswith(selector.upper())}
            if not matched:
                raise UnknownSelector(f"unknown rule selector '{selector}': expected a code such as R002, "
                                      f"a family ({', '.join(FAMILIES)}), a rule name or ALL")
            codes.update(matched)
    return codes
