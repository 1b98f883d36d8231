"""Extra peak memory of one call, measured in a process of its own.

    python bench/peak_memory.py FUNCTION PATH
    python bench/peak_memory.py --buffered COUNT

Reads the UTF-8 text at PATH, then calls FUNCTION (a name from FUNCTIONS) on it once and
prints the rise of the process's peak resident set size (VmHWM) over the call in bytes,
and whether the peak could be reset first.  A fresh process per call keeps one
measurement's freed memory from hiding the next one's peak.

With --buffered, the text is a workout whose one channel gives COUNT one-digit samples
before its tag, so that they are buffered whole before they are read: the most buffer
per byte of text.  It prints the rise over validate_workout (which keeps no samples, so
its peak is the buffer), the bytes of the buffered array, their ratio, and the reset flag.
"""

import gc
import importlib
import sys


def peak_rss():
    """VmHWM in bytes (Linux)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                number, unit = line.split()[1:3]
                assert unit == "kB", line
                return int(number) * 1024
    raise OSError("no VmHWM in /proc/self/status")


def reset_peak():
    """Lowers VmHWM to the current RSS, so that reading the input (the file's bytes and
    their decoding) does not set a peak that hides part of the call's."""
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
        return True
    except OSError:
        return False


# name -> (module, attribute), imported only in the child that measures it
FUNCTIONS = {name: ("tavrik_workout_sdk", name)
             for name in ("validate_workout", "parse_workout", "count_sets", "to_json")}
FUNCTIONS.update({"orjson.loads": ("orjson", "loads"), "json.loads": ("json", "loads"),
                  "msgspec typed decode + to_builtins": ("structs_model", "decode_to_builtins"),
                  "columns.streams": ("tavrik_workout.columns", "streams")})


def buffered_text(count):
    values = "[" + "0," * (count - 1) + "0]"
    return ('{"id":"w","version":"1","root":{"id":"s","kind":{"type":"Set"},"payload":{"type":"Leaf",'
            '"measures":[{"type":"Reps","value":5}]}},"streams":{"timestamps":[0],"channels":[{"metric":"Power",'
            '"data":{"values":' + values + ',"type":"Scalar"}}]}}'), len(values)


def main_buffered(count):
    import tavrik_workout_sdk

    text, buffered = buffered_text(count)
    gc.collect()
    was_reset = reset_peak()
    before = peak_rss()
    tavrik_workout_sdk.validate_workout(text)
    rise = peak_rss() - before
    print(rise, buffered, f"{rise / buffered:.2f}", int(was_reset))


def main():
    if sys.argv[1] == "--buffered":
        main_buffered(int(sys.argv[2]))
        return
    name, path = sys.argv[1:3]
    module, attribute = FUNCTIONS[name]
    fn = getattr(importlib.import_module(module), attribute)
    with open(path, encoding="utf-8") as source:
        text = source.read()
    gc.collect()
    was_reset = reset_peak()
    before = peak_rss()
    result = fn(text)
    after = peak_rss()
    del result
    print(after - before, int(was_reset))


if __name__ == "__main__":
    main()
