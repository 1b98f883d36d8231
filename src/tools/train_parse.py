"""Runs parse_workout over the documents named on the command line, for the profile that
the build compiles its walk with: the examples are plans, sessions and a recording, valid
and not, as users send them."""

import sys

import tavrik_workout_sdk

ROUNDS = 20


def main() -> None:
    texts = []
    for path in sys.argv[1:]:
        with open(path, encoding="utf-8") as file:
            texts.append(file.read())
    if not texts:
        sys.exit("train_parse.py: no documents given")
    for _ in range(ROUNDS):
        for text in texts:
            try:
                tavrik_workout_sdk.parse_workout(text)
            except ValueError:
                pass


if __name__ == "__main__":
    main()
