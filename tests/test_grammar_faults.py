"""A text that the walk over the common form gives up on at a fault of the JSON grammar is
refused with the general reading's own error, message and position, whether that error
comes from the reading itself or from a grammar pass at the place where the walk stopped;
and where a typed fault comes first, or a skipped value words the fault otherwise, the
typed fault or that wording wins.

Every case is run through the four functions here (the walk first, as users get them)
and in a child process that reads the general way only (TAVRIK_WORKOUT_READER=general);
the outcomes must be equal.
"""

import json
import math
import os
import re
import subprocess
import sys

import pytest

import tavrik_workout_sdk as sdk
from conftest import in_reader_mode, outcomes

FUNCTIONS = ("validate_workout", "count_sets", "to_json", "parse_workout")

SET = {"id": "s", "kind": {"type": "Set"}, "payload": {"type": "Leaf", "measures": [{"type": "Reps", "value": 5}]}}
NODE = {
    "id": "n",
    "kind": {"type": "Session"},
    "name": "x",
    "children": [SET, {**SET, "id": "t"}],
    "payload": {"type": "Temporal"},
    "metadata": {"a": [1, {"b": True}]},
}
DOC = {"id": "w", "version": "1", "root": NODE}

# Compact, as Python writes it, and indented, as to_json writes it (the written form that
# to_json takes straight from the text), so that positions fall on several lines.
COMPACT = json.dumps(DOC)
WRITTEN = sdk.to_json(COMPACT)


def cut(text, old, new, count=1):
    assert text.count(old) >= count, old
    return text.replace(old, new, count)


def faults(base):
    """Texts with one fault each, made from `base` (compact or written)."""
    sp = " "
    name = '"name": "x"'
    metadata = '"metadata": {'
    last = base.rstrip()
    return {
        # Grammar faults where the walk stops, with everything before them taken.
        "trailing comma at the end": last[:-1].rstrip() + ",\n}",
        "trailing comma in a record": cut(base, name, name + ",}"),
        "trailing comma in a list": re.sub(r"\}(\s*)\]", r"},\1]", base, count=1),
        "trailing comma after a tag": cut(base, '"type":' + sp + '"Session"', '"type":' + sp + '"Session",'),
        "trailing comma in a map": re.sub(r'("b": true\s*\}\s*\])', r"\1,", base),
        "missing colon after an unknown key": cut(base, name, name + ',"zz" 1'),
        "missing colon after a known key": cut(base, name, '"name" "x"'),
        "missing colon after a metadata key": cut(base, metadata, metadata + '"z" 1,'),
        "missing colon after a content key": cut(base, '"value":' + sp + "5", '"value" 5'),
        "bad literal for an optional": cut(base, name, '"name":' + sp + "nul"),
        "bad literal in metadata": cut(base, "true", "tru"),
        "bad literal for a record": re.sub(r'"payload": \{\s*"type": "Temporal"\s*\}', '"payload": fals', base),
        "unclosed string": cut(base, name, '"name":' + sp + '"x}'),
        "control byte in a string": cut(base, name, '"name":' + sp + '"x\ty"'),
        "control byte in a key": cut(base, name, '"na\tme":' + sp + '"x"'),
        "missing comma between members": cut(base, name, name + ' "zz":1'),
        "missing comma between elements": cut(base, '"id":' + sp + '"t"', '"id":' + sp + '"t"}' + ' {"id":' + sp + '"u"'),
        "key not a string": cut(base, name, name + ",5:1"),
        "no value after a colon": cut(base, name, '"name":' + sp + "}"),
        "comma first in a list": cut(base, '"children":' + sp + "[", '"children":' + sp + "[,"),
        "bad number": cut(base, '"value":' + sp + "5", '"value":' + sp + "5."),
        "leading zero": cut(base, '"value":' + sp + "5", '"value":' + sp + "05"),
        "lone minus": cut(base, '"value":' + sp + "5", '"value":' + sp + "-x"),
        "number out of range": cut(base, '"value":' + sp + "5", '"value":' + sp + "1e400"),
        "trailing characters": last + "}",
        # The same faults inside a value that the typed reading skips, which it words
        # otherwise or takes.
        "trailing comma in a skipped list": cut(base, name, name + ',"zz":[1,]'),
        "trailing comma in a skipped object": cut(base, name, name + ',"zz":{"a":1,}'),
        "huge number in a skipped member": cut(base, name, name + ',"zz":1e400'),
        "number cut short in a skipped member": cut(base, name, name + ',"zz":1.}'),
        "trailing comma in a free value": cut(base, "true", "true,"),
        # A typed fault before the grammar fault, which the typed reading meets first.
        "repeated key without its colon": cut(base, name, name + ',"name" "y"'),
        "second tag without its colon": cut(base, '"type":' + sp + '"Temporal"', '"type":' + sp + '"Temporal","type" 1'),
        "second content without its colon": cut(base, '"value":' + sp + "5", '"value":' + sp + '5,"value" 6'),
        "unknown tag then a bad byte": cut(base, '"type":' + sp + '"Session"', '"type":' + sp + '"Bogus"]'),
        "missing field then a bad byte": re.sub(r'\{(\s*)"id": "t"', r'{\1"id": "t"}]', base, count=1),
        "wrong kind then a trailing comma": cut(base, name, '"name":' + sp + "5,}"),
        "integer too large then a trailing comma": cut(base, '"value":' + sp + "5", '"value":' + sp + "99999999999,}"),
        "repeated field then a bad literal": cut(base, name, name + ',"name":' + sp + "tru"),
    }


CASES = [(form, name, case) for form, base in (("compact", COMPACT), ("written", WRITTEN))
         for name, case in faults(base).items()]


def in_mode(mode, cases):
    return in_reader_mode(mode, FUNCTIONS, cases)


@pytest.fixture(scope="module")
def general():
    """The outcomes of the general reading alone; only a development build
    (scripts/install.sh) lets the variable choose the reader."""
    fast_mode = subprocess.run([sys.executable, "-c", "import tavrik_workout_sdk as s\ntry:\n s.parse_workout('{')\n"
                                "except RuntimeError:\n print('hooks')\nexcept ValueError:\n pass"],
                               env={**os.environ, "TAVRIK_WORKOUT_READER": "fast"}, capture_output=True, text=True)
    if fast_mode.stdout.strip() != "hooks":
        pytest.skip("the module was built without its test hooks (scripts/install.sh builds them)")
    return in_mode("general", [case for _, _, case in CASES])


def finite(token):
    value = float(token)
    if math.isinf(value):
        raise ValueError(token)
    return value


def test_the_cases_are_faulty_where_they_say():
    """Each case is refused by the general reading (or, in a skipped value, taken), so none
    of them tests a text that reads."""
    for form, name, case in CASES:
        assert case not in (COMPACT, WRITTEN), (form, name)
        try:
            json.loads(case, parse_float=finite)
        except ValueError:
            continue
        assert name.startswith("huge number"), (form, name)


@pytest.mark.parametrize("form", ["compact", "written"])
def test_faults_are_worded_as_the_general_reading_words_them(form, general):
    for (case_form, name, case), expected in zip(CASES, general):
        if case_form != form:
            continue
        assert outcomes(FUNCTIONS, case) == expected, name


def test_skipped_values_keep_their_own_wording(general):
    """Inside an unknown member's value the typed reading skips: a trailing comma is no
    "trailing comma" there, and a number out of range is taken."""
    by_name = {(form, name): expected for (form, name, _), expected in zip(CASES, general)}
    assert by_name[("compact", "huge number in a skipped member")][0] == ("ok", [])
    skipped_list = by_name[("compact", "trailing comma in a skipped list")][0]
    assert skipped_list[0] == "ValueError" and "expected value" in skipped_list[1]
    skipped_object = by_name[("compact", "trailing comma in a skipped object")][0]
    assert skipped_object[0] == "ValueError" and "key must be a string" in skipped_object[1]
    repeated = by_name[("written", "repeated key without its colon")][0]
    assert repeated[1].startswith("parse error: duplicate field `name`"), repeated
