#!/usr/bin/env bash
# Builds and installs the module (scripts/install.sh, which also reads TAVRIK_PYTHON_VERSION,
# TAVRIK_VENV, TAVRIK_SANITIZE and TAVRIK_BUILD_DIR), then runs the test suite.  Extra
# arguments go to pytest (for example: ./scripts/test.sh -k arguments -x).  Tests marked slow
# run only with CI=true or when a -m of the caller's asks for them.
#
# With TAVRIK_SANITIZE=ON the interpreter, which is not instrumented itself, starts with the
# compiler's AddressSanitizer runtime preloaded, and the first report of either sanitizer
# ends the run with a failure.  Leak detection stays off: the interpreter keeps memory
# reachable until exit by design.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/python.sh
bash scripts/install.sh
python=$(tavrik_venv)/bin/python
# One worker per core, tests handed out one by one; the tests that share a file's fixture
# (the hook repository pre-commit builds, the toy reader) stay together, see conftest.py.
# -n0 runs in-process.
pytest=(-m pytest tests -q -n auto --dist loadgroup)
# The tests marked slow (a second build of the module, minute-long runs) run in CI; locally
# only when asked for, e.g. ./scripts/test.sh -m "slow or not slow" (a later -m wins).
if [ "${CI:-}" != true ]; then
    pytest+=(-m "not slow")
fi

if [ "${TAVRIK_SANITIZE:-OFF}" = ON ]; then
    libasan=$("${CXX:-g++}" -print-file-name=libasan.so)
    if [ "${libasan#/}" = "$libasan" ] || [ ! -e "$libasan" ]; then
        echo "test.sh: ${CXX:-g++} does not know where libasan.so is" >&2
        exit 1
    fi
    export LD_PRELOAD=$libasan${LD_PRELOAD:+:$LD_PRELOAD}
    # Options given by the caller come last and so win.
    export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}
    # A report goes straight to file descriptor 2 as the process ends; capturing at the
    # level of sys.stderr only lets it reach the console instead of pytest's capture file.
    pytest+=(--capture=sys)
fi
exec "$python" "${pytest[@]}" "$@"
