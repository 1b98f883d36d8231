#!/usr/bin/env bash
# Prepares a virtual environment for the tests and the demo: creates it with a CPython 3.12
# or later if it is missing or unusable, installs the development requirements when they
# changed, then builds the module (incrementally) and installs it.  With CI=true compiler
# warnings are errors.
#
# Environment (all optional; without any: .venv, the newest CPython found, build/):
#   TAVRIK_PYTHON_VERSION  a minor version such as 3.12 that the environment must run
#   TAVRIK_VENV            the environment's directory (default .venv, .venv-3.12 with a
#                          version, .venv-sanitize or .venv-3.12-sanitize with sanitizers)
#   TAVRIK_SANITIZE=ON     build with AddressSanitizer and UndefinedBehaviorSanitizer
#   TAVRIK_BUILD_DIR       the build directory (default build/{wheel_tag}, or
#                          build/sanitize-{wheel_tag} for a sanitizer build)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/python.sh

version=${TAVRIK_PYTHON_VERSION:-}
venv=$(tavrik_venv)
sanitize=${TAVRIK_SANITIZE:-OFF}
case $sanitize in
    ON | OFF) ;;
    *) echo "install.sh: TAVRIK_SANITIZE must be ON or OFF, not '$sanitize'" >&2; exit 2 ;;
esac
build_dir=${TAVRIK_BUILD_DIR:-}
if [ -z "$build_dir" ] && [ "$sanitize" = ON ]; then
    build_dir="build/sanitize-{wheel_tag}"
fi

tavrik_make_venv "$venv" "$version"
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
# The test hooks let the tests choose the reader (see CMakeLists.txt).
options=(-C cmake.define.TAVRIK_WERROR=$werror -C cmake.define.TAVRIK_SANITIZE=$sanitize
         -C cmake.define.TAVRIK_TEST_HOOKS=ON)
if [ -n "$build_dir" ]; then
    options+=(-C "build-dir=$build_dir")
fi
echo "Building and installing tavrik_workout_sdk into $venv with $("$python" -V)" \
    "(TAVRIK_WERROR=$werror, TAVRIK_SANITIZE=$sanitize)" >&2
"${pip[@]}" install --quiet --no-build-isolation "${options[@]}" ".[batch]"
