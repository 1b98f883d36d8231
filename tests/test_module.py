"""The module's surface: attributes, initialisation, and the argument rules of every function."""

import ctypes
import gc
import inspect
import os
import textwrap
import tracemalloc

import pytest

import tavrik_workout_sdk as sdk

NAMES = ["parse_workout", "validate_workout", "count_sets", "to_json"]
FUNCTIONS = [getattr(sdk, name) for name in NAMES]
SOUND = '{"id":"w","version":"1","root":{"id":"r","kind":{"type":"Session"},"payload":{"type":"Temporal"}}}'


def outcome(call):
    """What a call gives, comparable across calls: ("ok", result) or (class, message)."""
    try:
        return ("ok", call())
    except BaseException as error:  # noqa: BLE001 - every outcome is compared
        return (type(error), str(error))


# ---- module attributes ----

def test_module_attributes():
    assert sdk.__all__ == NAMES
    assert sdk.__doc__ == ""
    assert sdk.__name__ == "tavrik_workout_sdk"


@pytest.mark.parametrize("function", FUNCTIONS, ids=NAMES)
def test_function_attributes(function):
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__self__ is sdk
    assert function.__module__ == "tavrik_workout_sdk"
    assert function.__text_signature__ == "(json)"
    assert str(inspect.signature(function)) == "(json)"
    assert "\n" not in function.__doc__ and function.__doc__.endswith(".")


@pytest.mark.parametrize("function, doc", [
    (sdk.parse_workout, "Parse a workout JSON string, validate, and return as Python dict."),
    (sdk.validate_workout, "Validate a workout JSON string. Returns list of error strings."),
    (sdk.count_sets, "Count sets in a workout tree."),
])
def test_docstrings(function, doc):
    assert function.__doc__ == doc


def test_second_initialisation_returns_the_same_module():
    init = ctypes.PyDLL(sdk.__file__).PyInit_tavrik_workout_sdk
    init.restype = ctypes.py_object
    assert init() is sdk
    assert init() is sdk
    assert sdk.__all__ == NAMES  # nothing registered twice


def _subinterpreters():
    """Create and run in a sub-interpreter that allows single-phase modules (3.12 and 3.13)."""
    try:
        import _interpreters as module  # 3.13
        return module, lambda: module.create("legacy")
    except ImportError:
        pass
    try:
        import _xxsubinterpreters as module  # 3.12
        return module, lambda: module.create(isolated=False)
    except ImportError:
        pytest.skip("this interpreter has no sub-interpreter module")


def test_import_in_a_second_interpreter_fails(tmp_path):
    interpreters, create = _subinterpreters()
    report = tmp_path / "outcome.txt"
    code = textwrap.dedent(f"""
        try:
            import tavrik_workout_sdk
            outcome = "imported"
        except ImportError as error:
            outcome = "ImportError: " + str(error)
        with open({os.fspath(report)!r}, "w") as f:
            f.write(outcome)
    """)
    interpreter = create()
    try:
        interpreters.run_string(interpreter, code)
    finally:
        interpreters.destroy(interpreter)
    text = report.read_text()
    assert text.startswith("ImportError: ") and "sub-interpreters" in text
    # The refused attempt did not take the module from the interpreter that owns it.
    init = ctypes.PyDLL(sdk.__file__).PyInit_tavrik_workout_sdk
    init.restype = ctypes.py_object
    assert init() is sdk


# ---- arguments ----

NOT_STR = "argument 'json': '{type}' object cannot be converted to 'PyString'"


class SaysCustom(str):
    """A keyword name whose str() is not its own text."""

    def __str__(self):
        return "custom"


ARGUMENT_ERRORS = [
    # (positional, keywords, message): the first rule broken decides
    ((), {}, "{name}() missing 1 required positional argument: 'json'"),
    (("a", "b"), {}, "{name}() takes 1 positional arguments but 2 were given"),
    (("a", "b", "c"), {}, "{name}() takes 1 positional arguments but 3 were given"),
    (("a", "b"), {"indent": 2}, "{name}() takes 1 positional arguments but 2 were given"),
    (("a",), {"json": "b"}, "{name}() got multiple values for argument 'json'"),
    (("a",), {"json": "b", "indent": 2}, "{name}() got multiple values for argument 'json'"),
    (("a",), {"indent": 2, "json": "b"}, "{name}() got an unexpected keyword argument 'indent'"),
    (("a",), {"indent": 2}, "{name}() got an unexpected keyword argument 'indent'"),
    ((), {"JSON": "a"}, "{name}() got an unexpected keyword argument 'JSON'"),
    ((), {"json": "a", "Json": "b"}, "{name}() got an unexpected keyword argument 'Json'"),
    ((), {"indent": 2}, "{name}() got an unexpected keyword argument 'indent'"),
    ((), {"\ud800": 1}, "{name}() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    (("a",), {"x\udfffy": 1}, "{name}() got an unexpected keyword argument 'x\ufffd\ufffd\ufffdy'"),
    ((), {SaysCustom("xx"): "a"}, "{name}() got an unexpected keyword argument 'custom'"),
    ((), {SaysCustom("json"): "a", "xx": 1}, "{name}() got an unexpected keyword argument 'xx'"),
    ((None,), {}, NOT_STR.replace("{type}", "NoneType")),
    ((b"{}",), {}, NOT_STR.replace("{type}", "bytes")),
    ((1,), {}, NOT_STR.replace("{type}", "int")),
    (({},), {}, NOT_STR.replace("{type}", "dict")),
    ((), {"json": bytearray(b"{}")}, NOT_STR.replace("{type}", "bytearray")),
    ((1.5,), {"json": "a"}, "{name}() got multiple values for argument 'json'"),
]


@pytest.mark.parametrize("function", FUNCTIONS, ids=NAMES)
@pytest.mark.parametrize("args, kwargs, message", ARGUMENT_ERRORS)
def test_argument_errors(function, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        function(*args, **kwargs)
    expected = message.replace("{name}", function.__name__)
    assert type(caught.value) is TypeError
    assert caught.value.args == (expected,)
    assert caught.value.__cause__ is None


@pytest.mark.parametrize("function", FUNCTIONS, ids=NAMES)
@pytest.mark.parametrize("text", ["\ud800", "{}\udfff", '{"id": "\udbff"}'])
@pytest.mark.parametrize("by_keyword", [False, True])
def test_lone_surrogate_is_the_interpreters_own_error(function, text, by_keyword):
    with pytest.raises(UnicodeEncodeError) as expected:
        text.encode("utf-8")
    with pytest.raises(UnicodeEncodeError) as caught:
        function(json=text) if by_keyword else function(text)
    assert str(caught.value) == str(expected.value)
    assert not str(caught.value).startswith("argument")


class Text(str):
    """A str subclass whose own methods say something else: the content is what counts."""

    def __str__(self):
        return "not this"

    def encode(self, *args, **kwargs):
        raise AssertionError("the text is read in place, not through encode()")


@pytest.mark.parametrize("function", FUNCTIONS, ids=NAMES)
@pytest.mark.parametrize("text", ["", SOUND, "[1,", " {} "])
def test_str_subclass_reads_its_content(function, text):
    assert outcome(lambda: function(Text(text))) == outcome(lambda: function(text))
    assert outcome(lambda: function(json=Text(text))) == outcome(lambda: function(text))


@pytest.mark.parametrize("function", FUNCTIONS, ids=NAMES)
def test_empty_text_is_a_parse_error(function):
    with pytest.raises(ValueError) as caught:
        function("")
    assert caught.value.args == ("parse error: EOF while parsing a value at line 1 column 0",)


def test_failing_calls_leave_nothing_behind():
    """Every error path releases what it made: many failing calls do not grow memory."""
    surrogate = "\ud800" * 10
    calls = [
        lambda f: f(None),
        lambda f: f("a", "b"),
        lambda f: f(**{"\ud800": 1}),
        lambda f: f(surrogate),
        lambda f: f(""),
        lambda f: f("[" * 50),
    ]

    def run(rounds):
        for _ in range(rounds):
            for function in FUNCTIONS:
                for call in calls:
                    try:
                        call(function)
                    except (TypeError, ValueError):
                        pass

    run(50)  # warm caches
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        run(500)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 64 * 1024, f"{grown} bytes kept after 12000 failing calls"
