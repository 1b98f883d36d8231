#!/usr/bin/env bash
# Builds the module into .venv with only what the build needs (scripts/install.sh adds the
# development tools later and reuses this build), showing the build's progress, then shows
# what the module answers for the example workouts (or for the files given).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/python.sh

start=$SECONDS
say() { printf 'demo: %s (%ds)\n' "$*" $((SECONDS - start)) >&2; }

venv=$(tavrik_venv)
tavrik_make_venv "$venv" "${TAVRIK_PYTHON_VERSION:-}"
python=$venv/bin/python
pip=("$python" -m pip --disable-pip-version-check)

# The build's own tools, at the versions development pins.
mapfile -t tools < <(grep -E '^(scikit-build-core|cmake|ninja)==' requirements-dev.txt)
say "installing the build tools: ${tools[*]}"
"${pip[@]}" install --quiet "${tools[@]}"

# The same options as install.sh, so that its later build starts from this one; only the
# companion package's native helpers are left for that later build.
werror=OFF
if [ "${CI:-}" = true ]; then
    werror=ON
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
say "building the module (C++23; the first build takes a minute or two)"
status=0
"${pip[@]}" install -v --no-build-isolation -C cmake.define.TAVRIK_WERROR=$werror \
    -C cmake.define.TAVRIK_SANITIZE=OFF -C cmake.define.TAVRIK_NATIVE=OFF . 2>&1 | tee "$log" |
    grep --line-buffered -oE '\*\*\* .*|\[[0-9]+/[0-9]+\] [A-Z][a-z]+ .*' |
    sed -u 's/^/demo:   /' >&2 || status=${PIPESTATUS[0]}
if [ "$status" -ne 0 ]; then
    tail -n 40 "$log" >&2
    say "the build failed (exit $status)"
    exit 1
fi
say "built (the tavrik-workout command comes with ./scripts/install.sh); running examples/demo.py"
exec "$python" examples/demo.py "$@"
