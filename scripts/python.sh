#!/usr/bin/env bash
# Finds a CPython 3.12 or later without trusting whatever `python3` happens to be:
# $PYTHON if set, then python3.13, python3.12 and python3 on PATH, then the versions that
# pyenv has installed, newest first.  Asked for one minor version (`tavrik_python 3.12`),
# it looks at $PYTHON_3_12, then python3.12 on PATH, then pyenv's 3.12.* versions.  Every
# candidate is run to check it, since a name on PATH may be a shim that fails or a
# different interpreter.
# Executed, it prints the interpreter's path (`scripts/python.sh 3.13` for one version).
# Sourced, it defines tavrik_python [X.Y] (which prints it), tavrik_python_ok PATH [X.Y],
# tavrik_venv, which prints the virtual environment that install.sh and test.sh use, and
# tavrik_make_venv VENV [X.Y], which creates it when it is missing or unusable.

tavrik_python_ok() {
    local wanted=${2:-}
    "$1" - "$wanted" >/dev/null 2>&1 <<'EOF'
import sys
wanted = sys.argv[1]
version = "%d.%d" % sys.version_info[:2]
ok = sys.implementation.name == "cpython" and sys.version_info >= (3, 12)
sys.exit(not ok or (wanted != "" and version != wanted))
EOF
}

_tavrik_python_path() {
    "$1" -c 'import sys; print(sys.executable)'
}

_tavrik_pyenv_root() {
    local root=${PYENV_ROOT:-}
    if [ -z "$root" ] && command -v pyenv >/dev/null 2>&1; then
        root=$(pyenv root 2>/dev/null || true)
    fi
    if [ -z "$root" ] && [ -d "$HOME/.pyenv" ]; then
        root=$HOME/.pyenv
    fi
    printf '%s\n' "$root"
}

tavrik_python() {
    local wanted=${1:-} candidate root variable names
    if [ -n "$wanted" ] && ! [[ $wanted =~ ^3\.[0-9]+$ ]]; then
        echo "python.sh: '$wanted' is not a minor version such as 3.12" >&2
        return 2
    fi
    if [ -n "$wanted" ]; then
        variable=PYTHON_${wanted//./_}
        candidate=${!variable:-}
        names=("python$wanted")
    else
        variable=PYTHON
        candidate=${PYTHON:-}
        names=(python3.13 python3.12 python3)
    fi
    if [ -n "$candidate" ]; then
        if tavrik_python_ok "$candidate" "$wanted"; then
            _tavrik_python_path "$candidate"
            return
        fi
        echo "python.sh: $variable=$candidate is not a working CPython ${wanted:-3.12 or later}; looking further" >&2
    fi
    for candidate in "${names[@]}"; do
        if command -v "$candidate" >/dev/null 2>&1 && tavrik_python_ok "$candidate" "$wanted"; then
            _tavrik_python_path "$candidate"
            return
        fi
    done
    root=$(_tavrik_pyenv_root)
    if [ -n "$root" ] && [ -d "$root/versions" ]; then
        while IFS= read -r candidate; do
            if [ -x "$candidate" ] && tavrik_python_ok "$candidate" "$wanted"; then
                _tavrik_python_path "$candidate"
                return
            fi
        done < <(printf '%s\n' "$root"/versions/${wanted:+$wanted.}*/bin/python3 | sort -r -V)
    fi
    if [ -n "$wanted" ]; then
        echo "python.sh: no CPython $wanted found; set $variable to one" >&2
    else
        echo "python.sh: no CPython 3.12 or later found; set PYTHON to one" >&2
    fi
    return 1
}

# $TAVRIK_VENV, else .venv with the version and -sanitize appended when they are asked for,
# so that builds of different kinds never replace each other.
tavrik_venv() {
    local sanitize=
    if [ "${TAVRIK_SANITIZE:-OFF}" = ON ]; then
        sanitize=-sanitize
    fi
    printf '%s\n' "${TAVRIK_VENV:-.venv${TAVRIK_PYTHON_VERSION:+-$TAVRIK_PYTHON_VERSION}$sanitize}"
}

# Makes VENV a virtual environment of a CPython 3.12 or later (of minor version X.Y when
# given) unless it already is one.
tavrik_make_venv() {  # tavrik_make_venv VENV [X.Y]
    local venv=$1 wanted=${2:-} base
    if tavrik_python_ok "$venv/bin/python" "$wanted"; then
        return
    fi
    base=$(tavrik_python "$wanted") || return
    echo "Creating $venv with $base" >&2
    rm -rf "$venv"
    "$base" -m venv "$venv" || return
    # Keeps git from listing environments whose names .gitignore does not cover.
    echo '*' >"$venv/.gitignore"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    tavrik_python "$@"
fi
