"""Shared builders for workout texts and a helper that extracts read errors."""

import os
import pickle
import re
import subprocess
import sys

import pytest

import tavrik_workout_sdk as sdk

ALL_FUNCTIONS = (sdk.parse_workout, sdk.validate_workout, sdk.count_sets, sdk.to_json)

REPS = '{"type":"Reps","value":5}'

# A set node that every check accepts.
SET_NODE = '{"id":"s","kind":{"type":"Set"},"payload":{"type":"Leaf","measures":[{"type":"Reps","value":5}]}}'


def doc(root=SET_NODE, **members):
    """A workout text around `root`; extra members are given as JSON texts."""
    extra = "".join(f',"{name}":{text}' for name, text in members.items())
    return '{"id":"w","version":"1","root":' + root + extra + "}"


def node(kind='{"type":"Set"}', payload='{"type":"Leaf","measures":[{"type":"Reps","value":5}]}',
         node_id="n", children=None):
    text = '{"id":"' + node_id + '","kind":' + kind + ',"payload":' + payload
    if children is not None:
        text += ',"children":[' + ",".join(children) + "]"
    return text + "}"


_POSITION = re.compile(r"^(.*) at line (\d+) column (\d+)$", re.S)


def read_error(text, function=sdk.to_json):
    """The read error of `text` as (message, line, column)."""
    with pytest.raises(ValueError) as caught:
        function(text)
    full = str(caught.value)
    assert full.startswith("parse error: "), full
    match = _POSITION.match(full[len("parse error: "):])
    assert match, full
    return match.group(1), int(match.group(2)), int(match.group(3))


def read_message(text):
    return read_error(text)[0]


def table(*rows):
    """Parametrised cases from rows of (id, *values)."""
    return [pytest.param(*row[1:], id=row[0]) for row in rows]


# The sanitizer stage runs the suite with libasan preloaded, which every child process
# inherits: builds and worker pools under it are slow and report on code that is not ours.
UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")
no_sanitizer = pytest.mark.skipif(
    UNDER_SANITIZER, reason="spawns builds or worker processes, which inherit the preloaded libasan")


@pytest.hookimpl(tryfirst=True)
def pytest_collection_modifyitems(config, items):
    """Under pytest-xdist's loadgroup, tests go to workers one by one, save that the tests of
    a file that share a module-wide fixture (a build through pre-commit, a compiled toy
    reader, a Dask cluster, a checker's run) stay on one worker, which makes it once."""
    for item in items:
        definitions = getattr(getattr(item, "_fixtureinfo", None), "name2fixturedefs", {})
        if any(defs and defs[-1].scope == "module" for defs in definitions.values()):
            item.add_marker(pytest.mark.xdist_group(item.module.__name__))


def for_the_general_reader(text):
    """The same document with a skipped member nested deeper than the fast walks go (the
    general reader's limit is further), so that the general reader reads it alone."""
    assert text.startswith("{")
    return '{"skipped": ' + "[" * 100 + "]" * 100 + "," + text[1:]


def outcomes(names, case):
    """The outcome of each module function in `names` on `case`: ("ok", its result), or the
    class name and message of the ValueError or RuntimeError it raised."""
    row = []
    for name in names:
        try:
            row.append(("ok", getattr(sdk, name)(case)))
        except (ValueError, RuntimeError) as error:
            row.append((type(error).__name__, str(error)))
    return row


READER_CHILD = r"""
import pickle, sys
sys.path.insert(0, sys.argv[1])
from conftest import outcomes
names, cases = pickle.loads(sys.stdin.buffer.read())
sys.stdout.buffer.write(pickle.dumps([outcomes(names, case) for case in cases]))
"""


def in_reader_mode(mode, names, cases):
    """Per case, the outcome of each module function in `names` ("ok" and the result, or the
    exception's class name and message) in a child process whose TAVRIK_WORKOUT_READER is
    `mode`; only a development build lets the variable choose the reader."""
    env = {**os.environ, "TAVRIK_WORKOUT_READER": mode}
    child = subprocess.run([sys.executable, "-c", READER_CHILD, os.path.dirname(__file__)], input=pickle.dumps((list(names), cases)),
                           env=env, capture_output=True, timeout=120)
    assert child.returncode == 0, child.stderr.decode()[-2000:]
    return pickle.loads(child.stdout)
