"""A double's written text made from its token alone equals the writer's text of the value
read from the token, over tokens at every edge of the layout and of the digit counts and
over seeded random ones (tests/cpp/double_tokens.cpp, compiled with the text layer)."""

import shutil
import subprocess
from pathlib import Path

import pytest

from conftest import no_sanitizer

ROOT = Path(__file__).resolve().parent.parent
COMPILER = shutil.which("g++") or shutil.which("c++")
# The whole text layer, so that a new source file there needs no edit here.
SOURCES = ["tests/cpp/double_tokens.cpp", *sorted(str(p.relative_to(ROOT)) for p in (ROOT / "src" / "json").glob("*.cpp"))]


@no_sanitizer
@pytest.mark.slow  # compiles the text layer once more
def test_token_texts_agree_with_the_writer(tmp_path):
    if COMPILER is None:
        pytest.skip("no C++ compiler")
    binary = tmp_path / "double_tokens"
    subprocess.run([COMPILER, "-std=c++23", "-O1", "-Isrc", *SOURCES, "-o", str(binary)], cwd=ROOT, check=True)
    out = subprocess.run([str(binary)], capture_output=True, text=True)
    last = out.stdout.splitlines()[-1]
    assert out.returncode == 0 and last.endswith(" 0 disagreements"), out.stdout
    # The edges and the random tokens all reached the check.
    assert int(last.split()[1]) > 1_000_000
