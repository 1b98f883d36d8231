"""One description drives both readers: a toy record described once is read by the
general reader and walked by the common-form walk, and its optional `note` field, which
nothing but the description mentions, reaches both.  The toy is compiled from the core's
headers and reading sources with the system's C++ compiler."""

import shutil
import subprocess
from pathlib import Path

import pytest

from conftest import no_sanitizer

ROOT = Path(__file__).resolve().parent.parent
COMPILER = shutil.which("g++") or shutil.which("c++")
# The whole text layer, so that a new source file there needs no edit here.
SOURCES = ["tests/cpp/toy_description.cpp", *sorted(str(p.relative_to(ROOT)) for p in (ROOT / "src" / "json").glob("*.cpp")),
           "src/model/arena.cpp"]


@pytest.fixture(scope="module")
def toy(tmp_path_factory):
    if COMPILER is None:
        pytest.skip("no C++ compiler")
    binary = tmp_path_factory.mktemp("toy") / "toy"
    subprocess.run([COMPILER, "-std=c++23", "-O0", "-Isrc", *SOURCES, "-o", str(binary)], cwd=ROOT, check=True)
    return binary


CASES = [
    ('{"id":"a","reps":3,"note":"hi"}', "general=ok note=hi walk=ok note=hi"),
    ('{"note":"hi","reps":3,"id":"a"}', "general=ok note=hi walk=ok note=hi"),
    ('{"id":"a","reps":3}', "general=ok note=- walk=ok note=-"),
    ('{"id":"a","reps":3,"note":null}', "general=ok note=- walk=ok note=-"),
    ('{"id":"a","reps":3,"note":5}',
     "general=invalid type: integer `5`, expected a string at line 1 column 27 note=- walk=gave-up note=-"),
    ('{"id":"a","reps":3,"note":"x","note":"y"}',
     "general=duplicate field `note` at line 1 column 36 note=- walk=gave-up note=x"),
    ('{"id":"a","note":"x"}', "general=missing field `reps` at line 1 column 21 note=- walk=gave-up note=x"),
    ('{"id":"a","reps":3,"n\\u006fte":"x"}', "general=ok note=x walk=gave-up note=-"),
]


@no_sanitizer
@pytest.mark.slow  # compiles the text layer once more
def test_a_field_in_the_description_reaches_both_readers(toy):
    out = subprocess.run([str(toy), *(text for text, _ in CASES)], capture_output=True, text=True, check=True)
    assert out.stdout.splitlines() == [expected for _, expected in CASES]


BUILT = [
    ('{"id":"a","reps":3,"note":"hi"}', "{'id': 'a', 'reps': 3, 'note': 'hi'}"),
    ('{"note":"hi","reps":3,"id":"a","x":[1]}', "{'id': 'a', 'reps': 3, 'note': 'hi'}"),
    ('{"id":"a","reps":3,"note":null}', "{'id': 'a', 'reps': 3}"),
    ('{"id":"a","reps":3,"note":5}', "gave-up"),
]


@no_sanitizer
def test_a_field_in_the_description_reaches_the_built_objects(toy):
    """parse_workout's builder makes the toy's dict in declaration order, the optional
    `note` left out when absent, with nothing but the description to go by."""
    out = subprocess.run([str(toy), "--build", *(text for text, _ in BUILT)], capture_output=True, text=True,
                         check=True)
    assert out.stdout.splitlines() == [expected for _, expected in BUILT]
