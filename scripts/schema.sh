#!/usr/bin/env bash
# Rebuilds and reinstalls the module (scripts/install.sh, with its environment variables),
# then copies the schema that the build generated from the model into
# schema/workout.schema.json, the copy kept in the repository for editors.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/python.sh
bash scripts/install.sh
"$(tavrik_venv)/bin/python" -c '
import pathlib, sys
from importlib.resources import files
pathlib.Path(sys.argv[1]).write_bytes((files("tavrik_workout") / "workout.schema.json").read_bytes())
' schema/workout.schema.json
