#!/usr/bin/env bash
# Finds a CPython 3.12 or later without trusting whatever `python3` happens to be:
# $PYTHON if set, then python3.13, python3.12 and python3 on PATH, then the versions that
# pyenv has installed, newest first.  Every candidate is run to check it, since a name on
# PATH may be a shim that fails or an older interpreter.
# Executed, it prints the interpreter's path.  Sourced, it defines tavrik_python (which
# prints it) and tavrik_python_ok PATH.

tavrik_python_ok() {
    "$1" -c 'import sys; sys.exit(sys.implementation.name != "cpython" or sys.version_info < (3, 12))' \
        >/dev/null 2>&1
}

_tavrik_python_path() {
    "$1" -c 'import sys; print(sys.executable)'
}

tavrik_python() {
    local candidate root
    if [ -n "${PYTHON:-}" ]; then
        if tavrik_python_ok "$PYTHON"; then
            _tavrik_python_path "$PYTHON"
            return
        fi
        echo "python.sh: PYTHON=$PYTHON is not a working CPython 3.12 or later; looking further" >&2
    fi
    for candidate in python3.13 python3.12 python3; do
        if command -v "$candidate" >/dev/null 2>&1 && tavrik_python_ok "$candidate"; then
            _tavrik_python_path "$candidate"
            return
        fi
    done
    root=${PYENV_ROOT:-}
    if [ -z "$root" ] && command -v pyenv >/dev/null 2>&1; then
        root=$(pyenv root 2>/dev/null || true)
    fi
    if [ -z "$root" ] && [ -d "$HOME/.pyenv" ]; then
        root=$HOME/.pyenv
    fi
    if [ -n "$root" ] && [ -d "$root/versions" ]; then
        while IFS= read -r candidate; do
            if [ -x "$candidate" ] && tavrik_python_ok "$candidate"; then
                _tavrik_python_path "$candidate"
                return
            fi
        done < <(printf '%s\n' "$root"/versions/*/bin/python3 | sort -r -V)
    fi
    echo "python.sh: no CPython 3.12 or later found; set PYTHON to one" >&2
    return 1
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    tavrik_python
fi
