#!/usr/bin/env bash
# Builds and installs the module into .venv, then runs the test suite.  Extra arguments go
# to pytest (for example: ./scripts/test.sh -k arguments -x).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/install.sh
exec .venv/bin/python -m pytest tests -q "$@"
