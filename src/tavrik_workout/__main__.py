import sys

from tavrik_workout.cli import main

# The guard keeps worker processes started by "spawn" from running the command again.
if __name__ == "__main__":
    sys.exit(main())
