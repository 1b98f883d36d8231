#!/usr/bin/env bash
# Builds and installs the module into .venv, then shows what it answers for the example
# workouts (or for the JSON files given as arguments).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/install.sh
exec .venv/bin/python examples/demo.py "$@"
