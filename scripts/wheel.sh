#!/usr/bin/env bash
# The release path, checked: `python -m build` makes the sdist and then the wheel from that
# sdist; the wheel (with its batch extra) goes into a fresh environment, and the test suite
# of the unpacked sdist runs against it, so that a file missing from the sdist fails here.
# Then cibuildwheel lists the builds its configuration in pyproject.toml asks for, on every
# platform, which fails on a malformed or misspelt option.
#
# The tools come from the development environment of TAVRIK_PYTHON_VERSION (default 3.13),
# which scripts/install.sh prepares; everything made lives in build/wheel-check/.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/python.sh
export TAVRIK_PYTHON_VERSION=${TAVRIK_PYTHON_VERSION:-3.13}
bash scripts/install.sh
tools=$(tavrik_venv)/bin
out=build/wheel-check
rm -rf "$out"
mkdir -p "$out"

"$tools/python" -m build --outdir "$out/dist" . >"$out/build.log" 2>&1 || {
    tail -n 40 "$out/build.log" >&2
    echo "wheel.sh: python -m build failed (see $out/build.log)" >&2
    exit 1
}
sdist=$(echo "$out"/dist/*.tar.gz)
wheel=$(echo "$out"/dist/*.whl)
echo "wheel.sh: built $sdist and $wheel" >&2

"$(tavrik_python "$TAVRIK_PYTHON_VERSION")" -m venv "$out/venv"
"$out/venv/bin/python" -m pip install --quiet --disable-pip-version-check \
    "$wheel[batch]" -r requirements-dev.txt
mkdir "$out/sdist"
tar -xzf "$sdist" -C "$out/sdist"
tree=$(echo "$out"/sdist/*/)
python=$PWD/$out/venv/bin/python
# From inside the unpacked sdist, where no built module lies around: the tests import the
# installed wheel.
# The slow tests ran against the stages' own builds; here they would only build again.
(cd "$tree" && "$python" -m pytest tests -q -n auto --dist loadgroup -m "not slow" "$@")

expected="cp312-manylinux_x86_64 cp313-manylinux_x86_64 cp312-manylinux_aarch64 cp313-manylinux_aarch64
cp312-macosx_x86_64 cp312-macosx_arm64 cp313-macosx_x86_64 cp313-macosx_arm64
cp312-win_amd64 cp313-win_amd64"
listed=$(for platform in linux macos windows; do
    "$tools/cibuildwheel" --print-build-identifiers --platform "$platform" | tr '\n' ' ' | sed 's/ $//'
    echo
done)
printf 'cibuildwheel builds:\n%s\n' "$listed" >&2
if [ "$listed" != "$expected" ]; then
    printf 'wheel.sh: cibuildwheel lists other builds than expected:\n%s\n' "$expected" >&2
    exit 1
fi
