"""Structural validation messages and their order, and set counting over whole trees."""

import pytest

import tavrik_workout_sdk as sdk
from conftest import REPS, doc, node, read_message, table

LEAF = '{"type":"Leaf","measures":[' + REPS + "]}"
EMPTY_LEAF = '{"type":"Leaf","measures":[]}'
EXERCISE = '{"type":"Exercise"}'
BLOCK = '{"type":"Block","execution_mode":{"type":"Sequential"}}'
TEMPORAL = '{"type":"Temporal"}'
CUSTOM = '{"type":"Custom","coach":"A"}'


BUILT_IN_KINDS = {"Set", "Exercise", "Block", "Session", "Day", "Week", "Phase", "Program"}


def kind(name):
    # Any other name stands for a custom kind of that name.
    if name in BUILT_IN_KINDS:
        return '{"type":"' + name + '"}'
    return '{"type":"Custom","value":"' + name + '"}'


def tree(node_id, kind_name, payload, *children):
    return node(kind(kind_name), payload, node_id, list(children) if children else None)


@pytest.mark.parametrize("root, expected", table(
    ("sound-set", tree("r", "Set", LEAF), []),
    ("set-without-measures", tree("r", "Set", EMPTY_LEAF), ["r: Set node must have at least one measure"]),
    ("mismatch-then-measure-rule", tree("r", "Exercise", EMPTY_LEAF),
     ["r: NodeKind Exercise does not match payload variant", "r: Set node must have at least one measure"]),
    ("childless-block", tree("r", "Block", BLOCK), ["r: Block node must have at least one child"]),
    ("rules-follow-payload-not-kind", tree("r", "Set", BLOCK),
     ["r: NodeKind Set does not match payload variant", "r: Block node must have at least one child"]),
    ("exercise-needs-no-measures", tree("r", "Exercise", EXERCISE), []),
    ("temporal-kinds", tree("r", "Program", TEMPORAL, tree("a", "Phase", TEMPORAL, tree("b", "Week", TEMPORAL,
     tree("c", "Day", TEMPORAL, tree("d", "Session", TEMPORAL))))), []),
    ("day-with-custom-payload", tree("r", "Day", CUSTOM), ["r: NodeKind Day does not match payload variant"]),
    ("custom-kind-custom-payload", tree("r", "Superset", CUSTOM), []),
    ("empty-id", tree("", "Set", EMPTY_LEAF), [": Set node must have at least one measure"]),
))
def test_single_node_rules(root, expected):
    assert sdk.validate_workout(doc(root)) == expected


@pytest.mark.parametrize("parent_kind, parent_payload, child, expected", table(
    ("session-under-exercise", "Exercise", EXERCISE, tree("c", "Session", TEMPORAL), ["c: Session should not be a child of Exercise"]),
    ("block-under-exercise", "Exercise", EXERCISE, tree("c", "Block", BLOCK),
     ["c: Block should not be a child of Exercise", "c: Block node must have at least one child"]),
    ("block-kind-under-exercise", "Exercise", EXERCISE, tree("c", "Block", LEAF),
     ["c: Block should not be a child of Exercise", "c: NodeKind Block does not match payload variant"]),
    *[(f"{k.lower()}-under-exercise", "Exercise", EXERCISE, tree("c", k, p), [])
      for k, p in [("Day", TEMPORAL), ("Week", TEMPORAL), ("Phase", TEMPORAL), ("Program", TEMPORAL),
                   ("Set", LEAF), ("Exercise", EXERCISE), ("Superset", CUSTOM)]],
    ("set-under-block", "Block", BLOCK, tree("c", "Set", LEAF), ["c: Set should not be a direct child of Block (wrap in Exercise)"]),
    ("set-kind-under-block", "Block", BLOCK, tree("c", "Set", TEMPORAL),
     ["c: Set should not be a direct child of Block (wrap in Exercise)", "c: NodeKind Set does not match payload variant"]),
    ("leaf-payload-under-block", "Block", BLOCK, tree("c", "Exercise", LEAF), ["c: NodeKind Exercise does not match payload variant"]),
    ("exercise-under-block", "Block", BLOCK, tree("c", "Exercise", EXERCISE), []),
    ("rule-follows-parent-payload", "Session", BLOCK, tree("c", "Set", LEAF),
     ["p: NodeKind Session does not match payload variant", "c: Set should not be a direct child of Block (wrap in Exercise)"]),
))
def test_child_rules_look_at_the_child_kind(parent_kind, parent_payload, child, expected):
    assert sdk.validate_workout(doc(tree("p", parent_kind, parent_payload, child))) == expected


MIXED_TREE = tree(
    "root", "Exercise", BLOCK,
    tree("c1", "Set", EMPTY_LEAF),
    tree("c2", "Exercise", EXERCISE, tree("c2a", "Session", TEMPORAL), tree("c2b", "Day", TEMPORAL), tree("c2c", "Block", BLOCK)),
    tree("c3", "Set", BLOCK, tree("s", "Set", LEAF)),
)
MIXED_ERRORS = [
    "root: NodeKind Exercise does not match payload variant",
    "c1: Set should not be a direct child of Block (wrap in Exercise)",
    "c3: Set should not be a direct child of Block (wrap in Exercise)",
    "c1: Set node must have at least one measure",
    "c2a: Session should not be a child of Exercise",
    "c2c: Block should not be a child of Exercise",
    "c2c: Block node must have at least one child",
    "c3: NodeKind Set does not match payload variant",
    "s: Set should not be a direct child of Block (wrap in Exercise)",
]


def test_errors_come_node_by_node_in_pre_order():
    # Per node: compatibility, then payload rules in child order, then each subtree.
    assert sdk.validate_workout(doc(MIXED_TREE)) == MIXED_ERRORS


def test_parse_workout_joins_the_same_texts():
    with pytest.raises(ValueError) as caught:
        sdk.parse_workout(doc(MIXED_TREE))
    assert caught.value.args == ("validation errors: " + "; ".join(MIXED_ERRORS),)


def test_parse_workout_accepts_a_sound_tree():
    assert sdk.parse_workout(doc(tree("r", "Set", LEAF)))["root"]["id"] == "r"


@pytest.mark.parametrize("name, shown", table(
    ("plain", '"Superset"', 'Custom("Superset")'),
    ("empty", '""', 'Custom("")'),
    ("quote", r'"a\"b"', r'Custom("a\"b")'),
    ("backslash", r'"a\\b"', r'Custom("a\\b")'),
    ("tab-newline-return", r'"a\tb\nc\rd"', r'Custom("a\tb\nc\rd")'),
    ("nul", r'"a\u0000b"', r'Custom("a\0b")'),
    ("other-controls", r'"\u0001x\u007f"', r'Custom("\u{1}x\u{7f}")'),
    ("printable-kept", '"it\'s é/✓"', 'Custom("it\'s é/✓")'),
))
def test_custom_kind_display_name(name, shown):
    text = doc(node('{"type":"Custom","value":' + name + "}", TEMPORAL, "k"))
    expected = f"k: NodeKind {shown} does not match payload variant"
    assert sdk.validate_workout(text) == [expected]
    with pytest.raises(ValueError) as caught:
        sdk.parse_workout(text)
    assert str(caught.value) == "validation errors: " + expected


@pytest.mark.parametrize("root, count", table(
    ("single-set", tree("r", "Set", LEAF), 1),
    ("childless-block", tree("r", "Block", BLOCK), 0),
    ("leaf-under-leaf", tree("r", "Set", LEAF, tree("a", "Set", LEAF), tree("b", "Set", EMPTY_LEAF)), 3),
    ("leaf-under-mismatched-kinds", tree("r", "Exercise", LEAF, tree("a", "Block", LEAF), tree("b", "Superset", LEAF)), 3),
    ("set-kind-without-leaf", tree("r", "Set", BLOCK, tree("a", "Set", EXERCISE)), 0),
    ("mixed-tree", MIXED_TREE, 2),
))
def test_count_sets_counts_leaf_payloads_whatever_the_kind(root, count):
    result = sdk.count_sets(doc(root))
    assert type(result) is int and result == count


def chain(nodes, kind_name):
    text = tree(f"d{nodes - 1}", kind_name, LEAF)
    for level in range(nodes - 2, -1, -1):
        text = tree(f"d{level}", kind_name, LEAF, text)
    return doc(text)


def test_deep_tree_at_the_nesting_limit():
    # 62 nested nodes put the deepest measure object at the 127th nesting level.
    assert sdk.validate_workout(chain(62, "Set")) == []
    assert sdk.count_sets(chain(62, "Set")) == 62
    assert sdk.validate_workout(chain(62, "Exercise")) == [
        f"d{i}: NodeKind Exercise does not match payload variant" for i in range(62)]
    assert read_message(chain(63, "Set")) == "recursion limit exceeded"
