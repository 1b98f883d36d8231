#!/usr/bin/env bash
# Prepares .venv for the tests and the demo: creates it with a CPython 3.12 or later if it
# is missing or unusable, installs the development requirements when they changed, then
# builds the module (incrementally, in build/) and installs it.  With CI=true compiler
# warnings are errors.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/python.sh

venv=.venv
if ! tavrik_python_ok "$venv/bin/python"; then
    base=$(tavrik_python)
    echo "Creating $venv with $base" >&2
    rm -rf "$venv"
    "$base" -m venv "$venv"
fi
python=$venv/bin/python
pip=("$python" -m pip --disable-pip-version-check)

if ! cmp -s requirements-dev.txt "$venv/requirements-dev.installed"; then
    "${pip[@]}" install --quiet -r requirements-dev.txt
    cp requirements-dev.txt "$venv/requirements-dev.installed"
fi

werror=OFF
if [ "${CI:-}" = true ]; then
    werror=ON
fi
echo "Building and installing tavrik_workout_sdk (TAVRIK_WERROR=$werror)" >&2
"${pip[@]}" install --quiet --no-build-isolation -C cmake.define.TAVRIK_WERROR=$werror .
