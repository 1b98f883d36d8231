"""The workout document: Workout, Node and NodeKind in every accepted form, null
rules, missing and duplicate fields, unknown members, JsonObject, and invalid-type words."""

import json

import pytest

import tavrik_workout_sdk as sdk
from conftest import SET_NODE, doc, node, read_error

LEAF = '{"type":"Leaf","measures":[{"type":"Reps","value":5}]}'
LEAF_DICT = {"type": "Leaf", "measures": [{"type": "Reps", "value": 5}]}
NAMES = "one of `Set`, `Exercise`, `Block`, `Session`, `Day`, `Week`, `Phase`, `Program`, `Custom`"
WORKOUT_VALUES = {"id": '"w"', "version": '"1"', "sport": '"run"', "date": "null", "root": SET_NODE,
                  "streams": "null", "laps": "[]", "metadata": "{}"}
NODE_VALUES = {"id": '"n"', "kind": '{"type":"Set"}', "name": '"x"', "children": "[]", "payload": LEAF,
               "metadata": "{}"}


def members(base, changes):
    """An object text from `base` (the required members), changed: a value None removes."""
    fields = dict(base)
    for name, value in changes.items():
        if value is None:
            fields.pop(name)
        else:
            fields[name] = value
    return "{" + ",".join(f'"{name}":{value}' for name, value in fields.items()) + "}"


def workout(**changes):
    return members({"id": '"w"', "version": '"1"', "root": SET_NODE}, changes)


def node_obj(**changes):
    return members({"id": '"n"', "kind": '{"type":"Set"}', "payload": LEAF}, changes)


def end(text, fragment):
    """Column of the last byte of the first `fragment` in a one-line ASCII text."""
    return text.index(fragment) + len(fragment)


def parsed(text):
    return sdk.parse_workout(text)


def reads(*texts):
    """Every text reads."""
    for text in texts:
        sdk.count_sets(text)


def written(text):
    return json.loads(sdk.to_json(text))


# ---- object form ----

def test_minimal_document_is_written_with_its_members_only():
    text = '{"id":"w","version":"1","root":{"id":"r","kind":{"type":"Session"},"payload":{"type":"Temporal"}}}'
    assert sdk.to_json(text) == ('{\n  "id": "w",\n  "version": "1",\n  "root": {\n    "id": "r",\n    "kind": {\n'
                   '      "type": "Session"\n    },\n    "payload": {\n      "type": "Temporal"\n    }\n  }\n}')


def test_members_in_any_order_are_written_in_declaration_order():
    root = '{"metadata":{"n":1},"payload":' + LEAF + ',"children":[],"name":"Squat","kind":{"type":"Set"},"id":"s"}'
    text = ('{"metadata":{"b":1,"a":2},"laps":[],"streams":null,"root":' + root
            + ',"date":"2024-05-01","sport":"run","version":"1","id":"w"}')
    out = written(text)
    assert list(out) == ["id", "version", "sport", "date", "root", "metadata"]
    assert out["root"] == {"id": "s", "kind": {"type": "Set"}, "name": "Squat", "payload": LEAF_DICT,
                           "metadata": {"n": 1}}


@pytest.mark.parametrize("member, expected", [
    ("id", "a string"), ("version", "a string"), ("sport", None), ("date", None), ("root", "struct Node"),
    ("streams", None), ("laps", "a sequence"), ("metadata", "a map"),
])
def test_workout_member_null(member, expected):
    text = workout(**{member: "null"})
    if expected is None:
        assert member not in parsed(text)
    else:
        assert read_error(text) == (f"invalid type: null, expected {expected}", 1, end(text, f'"{member}":null'))


@pytest.mark.parametrize("member, expected", [
    ("id", "a string"), ("kind", "adjacently tagged enum NodeKind"), ("name", None), ("children", "a sequence"),
    ("payload", "internally tagged enum NodePayload"), ("metadata", "a map"),
])
def test_node_member_null(member, expected):
    text = doc(root=node_obj(**{member: "null"}))
    if expected is None:
        assert member not in parsed(text)["root"]
    else:
        assert read_error(text) == (f"invalid type: null, expected {expected}", 1, end(text, f'"{member}":null'))


@pytest.mark.parametrize("absent, name", [
    (("id",), "id"), (("version",), "version"), (("root",), "root"), (("id", "root"), "id"),
    (("version", "root"), "version"), (("id", "version", "root"), "id"),
])
def test_workout_missing_field_at_the_closing_brace(absent, name):
    text = workout(**dict.fromkeys(absent), extra='[1,{"x":2}]')
    assert read_error(text) == (f"missing field `{name}`", 1, len(text))
    assert read_error(text[:-1] + " \n }") == (f"missing field `{name}`", 2, 2)


@pytest.mark.parametrize("absent, name", [
    (("id",), "id"), (("kind",), "kind"), (("payload",), "payload"), (("kind", "payload"), "kind"),
    (("id", "payload"), "id"), (("id", "kind", "payload"), "id"),
])
def test_node_missing_field_at_the_closing_brace(absent, name):
    text = doc(root=node_obj(**dict.fromkeys(absent), name='"x"'))
    assert read_error(text) == (f"missing field `{name}`", 1, len(text) - 1)


@pytest.mark.parametrize("name", list(WORKOUT_VALUES))
def test_workout_duplicate_field_at_the_repeated_key(name):
    head = workout(**{name: WORKOUT_VALUES[name]})[:-1] + f',"{name}"'
    assert read_error(head + ":" + WORKOUT_VALUES[name] + "}") == (f"duplicate field `{name}`", 1, len(head))
    # raised before the value is read; whitespace before the colon is consumed
    assert read_error(head + " \t:tru}") == (f"duplicate field `{name}`", 1, len(head) + 2)


@pytest.mark.parametrize("name", list(NODE_VALUES))
def test_node_duplicate_field_at_the_repeated_key(name):
    head = '{"id":"w","version":"1","root":' + node_obj(**{name: NODE_VALUES[name]})[:-1] + f',"{name}"'
    assert read_error(head + ":" + NODE_VALUES[name] + "}}") == (f"duplicate field `{name}`", 1, len(head))


def test_escaped_member_names_match_fields():
    head = r'{"id":"w","\u0069d"'
    assert read_error(head + ':"x"}') == ("duplicate field `id`", 1, len(head))
    out = parsed(r'{"\u0069d":"w","vers\u0069on":"1","r\u006f\u006ft":' + SET_NODE + "}")
    assert (out["id"], out["version"]) == ("w", "1")


# ---- positional forms ----

WORKOUT_ELEMENTS = ['"w"', '"1"', "null", "null", SET_NODE, "null", "[]", "{}"]
NODE_ELEMENTS = ['"n"', '{"type":"Set"}', "null", "[]", LEAF, "{}"]


def positional(elements, **replaced):
    elements = list(elements)
    for index, value in replaced.items():
        elements[int(index[1:])] = value
    return "[" + ",".join(elements) + "]"


def test_positional_workout_and_node_read():
    texts = [positional(WORKOUT_ELEMENTS[:n]) for n in (6, 7, 8)]
    texts.append('["w","1","run","2024-05-01",' + SET_NODE + ',null,[],{"b":2,"a":1}]')
    texts += [doc(root=positional(NODE_ELEMENTS[:n])) for n in (5, 6)]
    texts.append(doc(root='["n",{"type":"Set"},"B",[' + positional(NODE_ELEMENTS[:5]) + "]," + LEAF + "]"))
    reads(*texts)
    assert parsed(texts[0]) == {"id": "w", "version": "1", "root": parsed(doc())["root"]}
    assert parsed(texts[3])["metadata"] == {"a": 1, "b": 2} and list(parsed(texts[3])) == [
        "id", "version", "sport", "date", "root", "metadata"]
    child = {"id": "n", "kind": {"type": "Set"}, "payload": LEAF_DICT}
    assert written(texts[6])["root"] == {"id": "n", "kind": {"type": "Set"}, "name": "B", "children": [child],
                                         "payload": LEAF_DICT}


@pytest.mark.parametrize("n", range(6))
def test_positional_workout_too_short(n):
    text = positional(WORKOUT_ELEMENTS[:n])
    assert read_error(text) == (f"invalid length {n}, expected struct Workout with 8 elements", 1, len(text))


@pytest.mark.parametrize("n, index", [(0, 0), (1, 1), (2, 2), (3, 4), (4, 4)])
def test_positional_node_too_short(n, index):
    text = doc(root=positional(NODE_ELEMENTS[:n]))
    assert read_error(text) == (f"invalid length {index}, expected struct Node with 6 elements", 1, len(text) - 1)


def test_positional_forms_too_long():
    text = positional(WORKOUT_ELEMENTS + ["1"])
    assert read_error(text) == ("trailing characters", 1, len(text) - 1)
    assert read_error(text[:-2] + "]") == ("trailing comma", 1, len(text) - 1)
    text = doc(root=positional(NODE_ELEMENTS + ['"x"']))
    assert read_error(text) == ("trailing characters", 1, len(text) - 4)


@pytest.mark.parametrize("index, expected", [
    ("e0", "a string"), ("e1", "a string"), ("e4", "struct Node"),
    ("e6", "a sequence"), ("e7", "a map"),
])
def test_positional_workout_null_elements(index, expected):
    text = positional(WORKOUT_ELEMENTS, **{index: "null"})
    column = len(positional(WORKOUT_ELEMENTS[: int(index[1:])] + ["null"])) - 1
    assert read_error(text) == (f"invalid type: null, expected {expected}", 1, column)


# ---- shapes and invalid-type words ----

@pytest.mark.parametrize("text, word", [
    ('"x"', 'string "x"'), ("3", "integer `3`"), ("-3", "integer `-3`"), ("true", "boolean `true`"),
    ("false", "boolean `false`"), ("null", "null"), ("1.5", "floating point `1.5`"),
])
def test_workout_and_node_of_another_shape(text, word):
    assert read_error(text) == (f"invalid type: {word}, expected struct Workout", 1, len(text))
    nested = doc(root=text)
    assert read_error(nested) == (f"invalid type: {word}, expected struct Node", 1, len(nested) - 1)


@pytest.mark.parametrize("value, word", [
    ("null", "null"), ("true", "boolean `true`"), ("false", "boolean `false`"), ("3", "integer `3`"),
    ("-3", "integer `-3`"), ("1.5", "floating point `1.5`"), ("1e16", "floating point `1e+16`"),
    ('"x"', 'string "x"'), ('""', 'string ""'), (r'"a\"b\\c"', r'string "a\"b\\c"'),
    (r'"\t\r\n\u0000"', r'string "\t\r\n\0"'), (r'"\u0001\u001f\u007f"', r'string "\u{1}\u{1f}\u{7f}"'),
    ('"é€😀 \' /"', 'string "é€😀 \' /"'),
])
def test_invalid_type_words(value, word):
    text = doc(metadata=value)
    assert read_error(text) == (f"invalid type: {word}, expected a map", 1, len(text.encode()) - 1)


@pytest.mark.parametrize("text, before, word, expected", [
    (workout(id="[1]"), '"id":', "sequence", "a string"), (workout(id='{"a":1}'), '"id":', "map", "a string"),
    (workout(version=" \t[]"), '"version": \t', "sequence", "a string"),
    (workout(metadata="[]"), '"metadata":', "sequence", "a map"),
    (doc(root=node_obj(children="{}")), '"children":', "map", "a sequence"),
    (doc(root=node_obj(metadata="[1]")), '"metadata":', "sequence", "a map"),
])
def test_arrays_and_objects_not_accepted_point_before_the_bracket(text, before, word, expected):
    assert read_error(text) == (f"invalid type: {word}, expected {expected}", 1, end(text, before))


def test_record_with_an_array_form_enters_the_array():
    text = workout(root="[ ]")
    assert read_error(text) == ("invalid length 0, expected struct Node with 6 elements", 1, end(text, "[ ]"))


# ---- NodeKind ----

def kind_of(kind):
    return written(doc(root=node(kind=kind)))["root"]["kind"]


def kind_error(kind):
    message, line, column = read_error(doc(root=node(kind=kind)))
    assert line == 1
    return message, column - end(doc(root=node(kind=kind)), '"kind":')


@pytest.mark.parametrize("variant", ["Set", "Exercise", "Block", "Session", "Day", "Week", "Phase", "Program"])
def test_unit_kinds_in_every_form(variant):
    forms = [form % variant for form in (
        '{"type":"%s"}', '{"type":"%s","value":null}', '{"value":null,"type":"%s"}', '{"type":{"%s":null}}',
        '["%s",null]', '{"x":[1,{"y":true}],"type" : "%s" ,"z":null }', '{"type":{ "%s" : null }}')]
    reads(*(doc(root=node(kind=form)) for form in forms))
    for form in forms:
        assert kind_of(form) == {"type": variant}


@pytest.mark.parametrize("kind", [
    '{"type":"Custom","value":"Mesocycle"}', '{"value":"Mesocycle","type":"Custom"}',
    '{"type":{"Custom":null},"value":"Mesocycle"}', '{"value":"Mesocycle","type":{"Custom":null}}',
    '["Custom","Mesocycle"]', r'{"\u0074ype":"Custom","n":1,"v\u0061lue":"Meso\u0063ycle"}',
])
def test_custom_kind_in_every_form(kind):
    reads(doc(root=node(kind=kind)))
    assert list(kind_of(kind).items()) == [("type", "Custom"), ("value", "Mesocycle")]


@pytest.mark.parametrize("kind, message, column", [
    ("{}", "missing field `type`", 2), ('{"x":1}', "missing field `type`", 7),
    ('{"value":"x"}', "missing field `type`", 13), ('{"type":"Custom"}', "missing field `value`", 17),
    ('{"type":"Day","type":"Set"}', "duplicate field `type`", 20),
    ('{"type":"Custom","value":"a","value":"b"}', "duplicate field `value`", 36),
    ('{"type":"Custom","value":"a","type":"Custom"}', "duplicate field `type`", 35),
    ('{"value":null,"value":null,"type":"Day"}', "duplicate field `value`", 21),
    ('{"value":null,"type":"Day","type":"Day"}', "duplicate field `type`", 33),
    ('{"value":null,"type":"Day","value":null}', "duplicate field `value`", 34),
    ('{"type":"day"}', f"unknown variant `day`, expected {NAMES}", 13),
    ('{"type":{"day":null}}', f"unknown variant `day`, expected {NAMES}", 14),
    ('["day",null]', f"unknown variant `day`, expected {NAMES}", 6),
    ('{"type":"Day","value":1}', "invalid type: integer `1`, expected unit variant NodeKind::Day", 23),
    ('{"type":"Set","value":"x"}', 'invalid type: string "x", expected unit variant NodeKind::Set', 25),
    ('{"value":1,"type":"Day"}', "invalid type: integer `1`, expected unit variant NodeKind::Day", 24),
    ('["Day",1]', "invalid type: integer `1`, expected unit variant NodeKind::Day", 8),
    ('{"type":"Custom","value":3}', "invalid type: integer `3`, expected a string", 26),
    ('{"type":"Custom","value":null}', "invalid type: null, expected a string", 29),
    ('{"value":null,"type":"Custom"}', "invalid type: null, expected a string", 30),
    ('["Custom",null]', "invalid type: null, expected a string", 14),
    ('{"type":{"Week":0}}', "invalid type: integer `0`, expected unit", 17),
    ('{"type":{"Week":null,"x":null}}', "expected value", 20), ('{"type":{}}', "expected value", 10),
    ('{"type":4}', "expected value", 9), ('{"type":null}', "expected value", 9),
    ('{"type":["Day"]}', "expected value", 9), ('{"type":true}', "expected value", 9),
    ("[]", "invalid length 0, expected adjacently tagged enum NodeKind", 2),
    ('["Day"]', "invalid length 1, expected adjacently tagged enum NodeKind", 7),
    ('["Custom"]', "invalid length 1, expected adjacently tagged enum NodeKind", 10),
    ("[3,null]", "invalid type: integer `3`, expected variant identifier", 2),
    ("[null,null]", "invalid type: null, expected variant identifier", 5),
    ('[{"Day":null},null]', "invalid type: map, expected variant identifier", 1),
    ('["Set",null,1]', "trailing characters", 13), ('["Set",null,]', "trailing comma", 13),
    ('"Set"', 'invalid type: string "Set", expected adjacently tagged enum NodeKind', 5),
    ("null", "invalid type: null, expected adjacently tagged enum NodeKind", 4),
    ("3", "invalid type: integer `3`, expected adjacently tagged enum NodeKind", 1),
    ("true", "invalid type: boolean `true`, expected adjacently tagged enum NodeKind", 4),
])
def test_kind_errors(kind, message, column):
    assert kind_error(kind) == (message, column)


# ---- unknown members and metadata ----

def test_unknown_members_are_skipped_at_every_level():
    notes = '[1,{"x":true},"\\u00e9",-2.5e-3]'
    root = node(kind='{"notes":' + notes + ',"type":"Set"}')[:-1] + ',"notes":' + notes + "}"
    assert written(doc(root=root, notes=notes)) == written(doc(root=node()))


@pytest.mark.parametrize("bad, message, column", [
    ("[1,]", "expected value", 4), ('{"a" 1}', "expected `:`", 6), ('"\\q"', "invalid escape", 3),
    ("01", "invalid number", 2), ("tru}", "expected ident", 4),
])
def test_malformed_unknown_members_fail(bad, message, column):
    for text in (doc(notes=bad), doc(root=node()[:-1] + ',"notes":' + bad + "}")):
        assert read_error(text) == (message, 1, end(text, '"notes":') + column)


def test_metadata_is_sorted_by_key_bytes_and_a_later_duplicate_wins():
    metadata = ('{"b":1,"é":2,"z":3,"Z":4,"":5,"\ue000":6,"😀":7,"ab":8,"a":9,"b":10,'
                r'"\u0061":11,"n":{"y":1,"x":{"deep":1},"x":null}}')
    root = node()[:-1] + ',"metadata":{"q":1,"p":2,"q":3}}'
    out = parsed(doc(root=root, metadata=metadata))
    assert list(out["metadata"].items()) == [("", 5), ("Z", 4), ("a", 11), ("ab", 8), ("b", 10),
                                             ("n", {"x": None, "y": 1}), ("z", 3), ("é", 2),
                                             ("\ue000", 6), ("😀", 7)]
    assert list(out["metadata"]["n"]) == ["x", "y"]
    assert list(out["root"]["metadata"].items()) == [("p", 2), ("q", 3)]
    assert list(written(doc(metadata=metadata))["metadata"]) == list(out["metadata"])
