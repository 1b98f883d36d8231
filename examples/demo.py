"""Shows what tavrik_workout_sdk answers for each example workout (or for the files given).

    python examples/demo.py [FILE.json ...]
"""

import pathlib
import sys

import tavrik_workout_sdk as sdk

HERE = pathlib.Path(__file__).resolve().parent
SHOWN_LINES = 8
SHOWN_ERRORS = 3


def ask(function, text):
    """(True, result) or (False, "ExceptionClass: message")."""
    try:
        return True, function(text)
    except KeyboardInterrupt:
        raise
    except BaseException as error:  # a fault (PanicException) is shown like any other answer
        return False, f"{type(error).__name__}: {error}"


def count_nodes(node):
    return 1 + sum(count_nodes(child) for child in node.get("children", []))


def show(path):
    text = path.read_text(encoding="utf-8")
    print(f"== {path.name} ({len(text.encode())} bytes)")

    ok, sets = ask(sdk.count_sets, text)
    print(f"  count_sets:       {sets}")

    ok, errors = ask(sdk.validate_workout, text)
    if ok and not errors:
        errors = "valid"
    elif ok:
        more = f" (and {len(errors) - SHOWN_ERRORS} more)" if len(errors) > SHOWN_ERRORS else ""
        errors = f"{len(errors)} errors: " + "; ".join(errors[:SHOWN_ERRORS]) + more
    print(f"  validate_workout: {errors}")

    ok, written = ask(sdk.to_json, text)
    if ok:
        lines = written.splitlines()
        print(f"  to_json:          {len(lines)} lines, starting")
        for line in lines[:SHOWN_LINES]:
            print(f"      {line}")
    else:
        print(f"  to_json:          {written}")

    ok, workout = ask(sdk.parse_workout, text)
    if ok:
        print(f"  parse_workout:    keys {list(workout)}, {count_nodes(workout['root'])} nodes")
    else:
        print(f"  parse_workout:    {workout}")
    print()


def main(arguments):
    paths = [pathlib.Path(a) for a in arguments] or sorted(HERE.glob("*.json"))
    for path in paths:
        show(path)


if __name__ == "__main__":
    main(sys.argv[1:])
