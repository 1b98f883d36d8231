"""Memory faults: exhausted memory ends a call in MemoryError, hostile documents cannot make a
call reserve more than a small multiple of their size, and a thread keeps little between calls.

The checks that fail allocations or limit the address space run in a child process (this
file run as a script, `python test_memory_faults.py CHECK ARG`), so that an abort shows up
as an exit status and not as the end of the test run.
"""

import json
import os
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import tavrik_workout_sdk as sdk

NAMES = ["parse_workout", "validate_workout", "count_sets", "to_json"]
MiB = 1 << 20
UNDER_ASAN = "libasan" in Path("/proc/self/maps").read_text()
EXAMPLES = Path(__file__).resolve().parent.parent / "examples"

# Records, lists, metadata, streams of both kinds and laps, in a few kilobytes; a name that
# is not ASCII makes reading the argument allocate its UTF-8 form.
SMALL = (EXAMPLES / "run_with_streams.workout.json").read_text(encoding="utf-8").replace("6 x 400", "6 \u00d7 400")
# Structural faults, so that validate_workout has messages to return.
FAULTY = (EXAMPLES / "session_with_structural_faults.workout.json").read_text(encoding="utf-8")

# Peak memory of one call is at most PER_BYTE times its input, plus SLACK for the first
# pages of each structure.  parse_workout's result alone is up to about 20 bytes per input
# byte (a list of floats from "0,0,0"); the module's own memory is a fraction of that.
PER_BYTE = 32
SLACK = 24 * MiB


def workout(**members):
    base = {"id": "w", "version": "1",
            "root": {"id": "s", "kind": {"type": "Set"}, "payload": {"type": "Leaf", "measures": [{"type": "Reps", "value": 5}]}}}
    return json.dumps({**base, **members})


def hostile_streams(timestamps, channels, kind="Position"):
    """Many timestamps, then many channels of one sample each: a reader that sizes each
    channel by the timestamps reserves timestamps x channels samples."""
    values = "[null]" if kind == "Position" else "[1]"
    channel = '{"metric":"%s","data":{"type":"%s","values":%s}}' % (
        "Position" if kind == "Position" else "Power", kind, values)
    head = workout(streams="@")
    return head.replace('"@"', '{"timestamps":[' + "0," * (timestamps - 1) + "0],"
                        '"channels":[' + ",".join([channel] * channels) + "]}")


def buffered_zeros(count, tag="Scalar"):
    """A channel whose samples come before its tag, so that they are buffered first."""
    values = "[" + "0," * (count - 1) + "0]"
    return workout(streams="@").replace(
        '"@"', '{"timestamps":[0],"channels":[{"metric":"Power","data":{"values":%s,"type":"%s"}}]}' % (values, tag))


def many_metadata(count):
    return workout(metadata={f"k{i}": i for i in range(count)})


# name: (text maker, size argument); all kept small enough for a quick run.
CORPUS = {
    "position-channels": (lambda k: hostile_streams(k, 2000), 300_000),
    "scalar-channels": (lambda k: hostile_streams(k, 2000, "Scalar"), 300_000),
    "buffered-zeros": (buffered_zeros, 500_000),
    "buffered-rejected": (lambda k: buffered_zeros(k, "Nope"), 500_000),
    "metadata-entries": (many_metadata, 50_000),
}


def run_child(*args, timeout=300):
    child = subprocess.run([sys.executable, __file__, *map(str, args)], capture_output=True, text=True,
                           timeout=timeout)
    assert child.returncode == 0, f"exit {child.returncode}: {child.stderr[-3000:]}"
    return json.loads(child.stdout.splitlines()[-1])


def status(field):
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    raise OSError(f"no {field} in /proc/self/status")


def outcome(call):
    try:
        return ["ok", call()]
    except ValueError as error:
        return ["ValueError", str(error)]
    except MemoryError:
        return ["MemoryError", ""]


# ---- every failing allocation of the interpreter ends in MemoryError ----

def nomemory_child(name):
    """Fails the n-th allocation (alone, then with every one after it) for n from 0 until
    the call has had enough successful runs in a row to have passed its last allocation."""
    import _testcapi

    function = getattr(sdk, name)
    text = FAULTY if name == "validate_workout" else SMALL
    expected = function(text)
    seen = {"memory": 0, "result": 0, "calls": 0}
    memory = object()
    for forever in (True, False):
        n, streak = 0, 0
        while streak < 40:
            fresh = text[:-1] + text[-1]  # without the UTF-8 form cached by the last call
            _testcapi.set_nomemory(n, 0 if forever else n + 1)
            try:
                got = function(fresh)
            except MemoryError:
                got = memory
            finally:
                _testcapi.remove_mem_hooks()
            if got is memory:
                seen["memory"] += 1
                streak = 0
            else:
                assert got == expected, f"allocation {n} failed: wrong result"
                seen["result"] += 1
                streak += 1
            n += 1
    seen["calls"] = seen["memory"] + seen["result"]
    print(json.dumps(seen))


@pytest.mark.parametrize("name", NAMES)
def test_failed_interpreter_allocations_raise_memory_error(name):
    pytest.importorskip("_testcapi")
    seen = run_child("nomemory", name)
    # Every allocation of the call was failed once, so both outcomes must have occurred.
    assert seen["memory"] >= 2 and seen["result"] >= 80, seen


def test_panic_class_exists_before_any_fault():
    # Made at import, so that reporting a fault never needs memory that may be gone.
    code = ("import json, tavrik_workout_sdk\n"
            "print(json.dumps([t.__module__ for t in BaseException.__subclasses__() if t.__name__ == 'PanicException']))")
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, child.stderr
    modules = json.loads(child.stdout)
    assert len(modules) == 1 and modules[0] != "tavrik_workout_sdk", child.stdout


# ---- peak memory bounded by the input ----

def limited_child(case, *per_bytes):
    """For each function and each of `per_bytes`: the call's outcome with the address space
    limited to what the process had before its first call on the text plus that many
    times the input, after a run without a limit for comparison.  Only the soft limit is
    lowered, so it can be lifted again between calls."""
    import resource

    maker, size = CORPUS[case]
    text = maker(size)
    for name in NAMES:  # the code's pages and the interpreter's caches, before the base
        outcome(lambda: getattr(sdk, name)(SMALL))
    # Freed memory that the C library keeps stays mapped: a fixed base also counts it.
    base = status("VmSize")
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    report = {"input": len(text)}
    for name in NAMES:
        function = getattr(sdk, name)
        free = outcome(lambda: function(text))
        free = free if free[0] != "ok" else ["ok", type(free[1]).__name__]
        limited = []
        for per_byte in map(float, per_bytes):
            limit = base + int(per_byte * len(text)) + SLACK
            resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
            try:
                got = outcome(lambda: function(text))
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
            limited.append(got if got[0] != "ok" else ["ok", type(got[1]).__name__])
        report[name] = {"free": free, "limited": limited}
    print(json.dumps(report))


no_rlimit = pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves terabytes of shadow memory, "
                                                  "so an address-space limit cannot be set under it")


@no_rlimit
@pytest.mark.parametrize("case", CORPUS)
def test_hostile_documents_fit_in_a_multiple_of_their_size(case):
    report = run_child("limited", case, PER_BYTE)
    for name in NAMES:
        free, (limited,) = report[name]["free"], report[name]["limited"]
        assert free[0] != "MemoryError", (name, report)
        assert limited == free, (name, report)


@no_rlimit
def test_exhausted_address_space_ends_in_memory_error():
    # Limits that cut each call somewhere in its reading, writing or conversion: every
    # outcome is the result or MemoryError, never an abort or another exception.
    report = run_child("limited", "metadata-entries", 0.5, 2, 8)
    for name in NAMES:
        free = report[name]["free"]
        assert all(got in (free, ["MemoryError", ""]) for got in report[name]["limited"]), (name, report)


def peak_child(case, name, size):
    maker, _ = CORPUS[case]
    text = maker(int(size))
    function = getattr(sdk, name)
    try:
        Path("/proc/self/clear_refs").write_text("5")
    except OSError:
        pass  # the peak then includes the setup's: an overestimate
    before = status("VmRSS")
    got = outcome(lambda: function(text))
    print(json.dumps({"input": len(text), "grown": status("VmHWM") - before, "outcome": got[0]}))


@pytest.mark.skipif(UNDER_ASAN, reason="resident memory under AddressSanitizer includes its shadow and quarantine")
@pytest.mark.parametrize("name", ["parse_workout", "to_json"])
def test_one_sample_channels_after_many_timestamps(name):
    report = run_child("peak", "position-channels", name, 1_000_000)
    assert report["outcome"] == "ok"
    assert report["grown"] <= PER_BYTE * report["input"] + SLACK, report


@pytest.mark.skipif(UNDER_ASAN, reason="resident memory under AddressSanitizer includes its shadow and quarantine")
@pytest.mark.parametrize("case", ["buffered-zeros", "buffered-rejected"])
def test_buffered_samples_cost_at_most_eight_times_their_text(case):
    # validate_workout keeps no samples, so what it holds at its peak is the buffer.
    report = run_child("peak", case, "validate_workout", 2_000_000)
    buffered = 2 * 2_000_000
    assert report["outcome"] in ("ok", "ValueError")
    assert report["grown"] <= 8 * buffered + 4 * MiB, report


# ---- memory kept by a thread between calls ----

def free_in_malloc():
    """Bytes that the C library holds freed for later allocations (glibc's mallinfo2), or
    None without it.  After a large block is freed, glibc keeps later ones of that size in
    the thread's heap when they are freed (the interpreter's result strings among them), so
    resident memory alone would count its cache as the module's."""
    import ctypes

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
            "keepcost")]

    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        return None
    mallinfo2.restype = MallInfo2
    return mallinfo2().fordblks


@pytest.mark.skipif(UNDER_ASAN, reason="resident memory under AddressSanitizer includes its shadow and quarantine")
def test_parked_threads_keep_little():
    if free_in_malloc() is None:
        pytest.skip("the C library does not report its free memory (mallinfo2)")
    report = run_child("parked", 8)
    assert report["per_thread"] <= 4 * MiB, report


def parked_child(threads):
    threads = int(threads)
    # A large document (about 2.5 MiB) with a wide tree, so that both the output buffer
    # and the tree's blocks are large.
    sets = [{"id": f"s{i}", "kind": {"type": "Set"}, "name": "x" * 40,
             "payload": {"type": "Leaf", "measures": [{"type": "Reps", "value": i}]}} for i in range(15_000)]
    text = workout(root={"id": "r", "kind": {"type": "Exercise"}, "payload": {"type": "Exercise"},
                         "children": sets})
    sdk.to_json(text)  # the main thread's own buffers, not counted
    sdk.parse_workout(text)
    done, release = threading.Barrier(threads + 1), threading.Event()

    def work():
        sdk.to_json(text)
        sdk.parse_workout(text)
        sdk.validate_workout(text)
        done.wait()
        release.wait()

    workers = [threading.Thread(target=work) for _ in range(threads)]
    before, cached_before = status("VmRSS"), free_in_malloc()
    for worker in workers:
        worker.start()
    done.wait()
    # Thread stacks are touched only a few pages deep, which is part of the figure.
    grown = status("VmRSS") - before - (free_in_malloc() - cached_before)
    release.set()
    for worker in workers:
        worker.join()
    print(json.dumps({"per_thread": grown / threads, "input": len(text)}))


@pytest.mark.skipif(UNDER_ASAN, reason="large buffers come from the sanitizer's heap, not from mapped pages")
def test_a_large_to_json_buffer_is_not_faulted_in_afresh_on_each_call():
    report = run_child("refault")
    # Each result is kept, so that its own pages are always fresh ones, whatever the C
    # library would reuse; faulting the writer's buffer in again would cost as many more.
    assert report["faults_per_call"] < 1.25 * report["output_pages"], report


def refault_child():
    import resource

    # About 3.5 MiB of indented output, more than a thread keeps whole, in written form.
    sets = [{"id": f"s{i}", "kind": {"type": "Set"}, "name": "x" * 40,
             "payload": {"type": "Leaf", "measures": [{"type": "Reps", "value": i}]}} for i in range(11_000)]
    text = workout(root={"id": "r", "kind": {"type": "Exercise"}, "children": sets,
                         "payload": {"type": "Exercise"}})
    expected = sdk.to_json(text)
    # Another thread's call first: the buffer kept for large outputs serves every thread.
    worker = threading.Thread(target=sdk.to_json, args=(text,))
    worker.start()
    worker.join()
    calls = 5
    results = []
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(calls):
        results.append(sdk.to_json(text))
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before
    assert results == [expected] * calls
    print(json.dumps({"faults_per_call": faults / calls, "output_pages": len(expected) // 4096}))


# ---- a new runtime in the same process gets a working module ----

EMBED = Path(__file__).resolve().parent / "embed" / "reinitialize.c"


def embed_flags():
    import shutil
    import sysconfig

    compiler = shutil.which(sysconfig.get_config_var("CC").split()[0] if sysconfig.get_config_var("CC") else "cc") \
        or shutil.which("cc") or shutil.which("gcc")
    libdir = sysconfig.get_config_var("LIBDIR")
    library = sysconfig.get_config_var("LDLIBRARY")
    if not compiler or not libdir or not library:
        return None
    version = sysconfig.get_config_var("LDVERSION") or sysconfig.get_config_var("VERSION")
    flags = ["-I" + sysconfig.get_paths()["include"], "-L" + libdir, "-Wl,-rpath," + libdir,
             "-lpython" + version]
    flags += (sysconfig.get_config_var("LIBS") or "").split() + (sysconfig.get_config_var("SYSLIBS") or "").split()
    if not (Path(libdir) / library).exists():
        return None
    return [compiler, *flags]


@pytest.mark.skipif(UNDER_ASAN, reason="the embedding program would need the sanitizer runtime linked in")
def test_module_works_after_the_interpreter_is_started_again(tmp_path):
    command = embed_flags()
    if command is None:
        pytest.skip("no C compiler or no shared libpython to embed the interpreter with")
    program = tmp_path / "reinitialize"
    build = subprocess.run([command[0], str(EMBED), "-o", str(program), *command[1:]], capture_output=True, text=True)
    if build.returncode != 0:
        pytest.skip(f"the embedding program does not build here: {build.stderr[-500:]}")
    site = [p for p in sys.path if p.endswith("site-packages")]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(Path(sdk.__file__).parent)] + site),
           "PYTHONHOME": sys.base_prefix}
    run = subprocess.run([str(program), "3"], capture_output=True, text=True, env=env, timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    # Each runtime printed what count_sets gave and an error from parse_workout.
    lines = run.stdout.splitlines()
    assert lines == ["1 parse error: EOF while parsing a value at line 1 column 0"] * 3, run.stdout + run.stderr


CHILDREN = {"nomemory": nomemory_child, "limited": limited_child, "peak": peak_child, "parked": parked_child,
            "refault": refault_child}

if __name__ == "__main__":
    CHILDREN[sys.argv[1]](*sys.argv[2:])
