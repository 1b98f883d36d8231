"""JSON text reading: grammar errors with positions, whitespace, literals, numbers,
strings, nesting, skipping of unknown members and a large input."""

import math
import os
import random
import resource
import struct
import subprocess
import sys

import pytest

import tavrik_workout_sdk as sdk
from conftest import SET_NODE, doc, read_error

HEAD = '{"id":"w","version":"1","root":' + SET_NODE
META = HEAD + ',"metadata":{"k":'  # the value under test is metadata member "k"
SKIP = HEAD + ',"extra":'  # the value under test is an unknown member, skipped
CONTROL = "control character (\\u0000-\\u001F) found while parsing a string"
LONE = "lone leading surrogate in hex escape"
EOF_STRING, EOF_VALUE = "EOF while parsing a string", "EOF while parsing a value"


def value_error(value, tail="}}", head=META):
    """(message, column counted from the value's first byte) of a one-line read error."""
    message, line, column = read_error(head + value + tail)
    assert line == 1
    return message, column - len(head.encode())


def reads(text):
    sdk.count_sets(text)


def parsed(text):
    return sdk.parse_workout(text)


def meta(value):
    return parsed(doc(metadata='{"k":' + value + "}"))["metadata"]["k"]


def decimal_form(x):
    """Shortest round-trip digits, plain notation for decimal exponents -5..15."""
    if x == 0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    mantissa, _, exp = repr(abs(x)).partition("e")
    whole, _, frac = mantissa.partition(".")
    digits = (whole + frac).lstrip("0")
    m = len(whole) + int(exp or 0) - (len(whole + frac) - len(digits)) - 1
    d, sign = digits.rstrip("0"), "-" if x < 0 else ""
    if not -5 <= m <= 15:
        return sign + d[0] + ("." + d[1:] if len(d) > 1 else "") + ("e+" if m >= 0 else "e-") + str(abs(m))
    if m < 0:
        return sign + "0." + "0" * (-m - 1) + d
    if m < len(d) - 1:
        return sign + d[: m + 1] + "." + d[m + 1:]
    return sign + d + "0" * (m - len(d) + 1) + ".0"


def number_word(text):
    """What an "id" given this number literal says about it: the double as the reader read it."""
    message, line, column = read_error('{"id":' + text + ',"version":"1","root":' + SET_NODE + "}")
    assert (line, column) == (1, 6 + len(text))
    assert message.startswith("invalid type: ") and message.endswith(", expected a string")
    return message[len("invalid type: "):-len(", expected a string")]


# ---- document level: positions, whitespace, structure ----

@pytest.mark.parametrize("text, message, line, column", [
    ("", EOF_VALUE, 1, 0),
    ("   ", EOF_VALUE, 1, 3),
    ("\n\n", EOF_VALUE, 3, 0),
    ("{", "EOF while parsing an object", 1, 1),
    ("{\n", "EOF while parsing an object", 2, 0),
    ("\x0c{}", "expected value", 1, 1),  # form feed is not whitespace
    ("\ufeff{}", "expected value", 1, 1),  # nor is a byte-order mark
    ("\x0b{}", "expected value", 1, 1),
    ("\u00a0{}", "expected value", 1, 1),
    ("]", "expected value", 1, 1),
    ("{id:1}", "key must be a string", 1, 2),
    ('{"id" "w"}', "expected `:`", 1, 7),
    ('{"id"', "EOF while parsing an object", 1, 5),
    ('{"id":', EOF_VALUE, 1, 6),
    ('{"id":"w"', "EOF while parsing an object", 1, 9),
    ('{"id":"w" "version"', "expected `,` or `}`", 1, 11),
    ('{"id":"w",', EOF_VALUE, 1, 10),
    ('{"id":"w",}', "trailing comma", 1, 11),
    ('{"id":"w",1}', "key must be a string", 1, 11),
    ('{\r\n"id":\t"w",\n  "version" \n:\r\r x', "expected value", 4, 5),  # CR is an ordinary byte
    ('{\n  "sport": "€€ run", "metadata": {"k": tru}\n}', "expected ident", 2, 47),
    ('{"sport":"€",\n"metadata":{"k":"a\nb"}}', CONTROL, 3, 0),  # raw line feed inside a string
    ('{"sport":"\u0939\u093f",\n\n  "x": [1, 2 3]}', "expected `,` or `]`", 3, 14),
    ('{"date":"€", "x": 01}', "invalid number", 1, 22),
])
def test_grammar_error_positions(text, message, line, column):
    assert read_error(text) == (message, line, column)


@pytest.mark.parametrize("tail, column", [(" x", 2), ("}", 1), (",", 1), ("{}", 1), ("\ufeff", 1),
                                          ("\x0c", 1), ("\t\r ,", 4), ("null", 1)])
def test_trailing_characters(tail, column):
    assert read_error(doc() + tail) == ("trailing characters", 1, len(doc()) + column)
    assert read_error(doc() + "\n \n\t" + tail) == ("trailing characters", 3, 1 + column)


def test_whitespace_between_every_token_is_accepted():
    reads(' \t\r\n{ "id"\t:\r"w" ,\n"version" : "1" , "root" :' + SET_NODE + "\n}\r\n \t")
    reads(doc(metadata=' {\n"a" : [ 1 ,\t2 ] , "b":{ } ,"c":[ ]\r}'))


# ---- literals ----

@pytest.mark.parametrize("value, message, column, tail", [
    ("tru", EOF_VALUE, 3, ""), ("fals", EOF_VALUE, 4, ""), ("n", EOF_VALUE, 1, ""),
    ("tx", "expected ident", 2, "}}"), ("nul}", "expected ident", 4, "}}"),
    ("falsy", "expected ident", 5, "}}"), ("nan", "expected ident", 2, "}}"),
    ("truex", "expected `,` or `}`", 5, "}}"), ("True", "expected value", 1, "}}"),
    ("NaN", "expected value", 1, "}}"), ("Infinity", "expected value", 1, "}}"),
    ("'x'", "expected value", 1, "}}"), ("}", "expected value", 1, "}}"),
])
def test_literal_errors(value, message, column, tail):
    assert value_error(value, tail) == (message, column)


# ---- numbers ----

@pytest.mark.parametrize("value, message, column, tail", [
    ("+1", "expected value", 1, "}}"), (".5", "expected value", 1, "}}"),
    ("-x", "invalid number", 2, "}}"), ("- 1", "invalid number", 2, "}}"),
    ("-", EOF_VALUE, 1, ""), ("01", "invalid number", 2, "}}"), ("-01", "invalid number", 3, "}}"),
    ("00", "invalid number", 2, "}}"), ("1.", EOF_VALUE, 2, ""), ("1.}", "invalid number", 3, "}}"),
    ("1.e5", "invalid number", 3, "}}"), ("1e", EOF_VALUE, 2, ""), ("1e+", EOF_VALUE, 3, ""),
    ("1ex", "invalid number", 3, "}}"), ("1e+}", "invalid number", 4, "}}"),
    ("1E-x", "invalid number", 4, "}}"), ("0x10", "expected `,` or `}`", 2, "}}"),
    ("1.5.2", "expected `,` or `}`", 4, "}}"),
])
def test_number_grammar_errors(value, message, column, tail):
    assert value_error(value, tail) == (message, column)


@pytest.mark.parametrize("text", ["1e400", "-1e400", "2e308", "1.7976931348623159e308", "1" + "0" * 309,
                                  "-" + "9" * 400, "0.1e310", "1e2147483648", "-1e99999999999"])
def test_number_out_of_range(text):
    assert value_error(text) == ("number out of range", len(text))


NUMBERS = [  # literal, the Python type it must read as (value: int(text) or float(text))
    ("0", int), ("-0", float), ("-0.0", float), ("1", int), ("-1", int), ("1.0", float),
    ("1e2", float), ("1E+2", float), ("1e-2", float), ("2.5e-7", float), ("0.1", float),
    ("18446744073709551615", int), ("18446744073709551616", float), ("9223372036854775808", int),
    ("-9223372036854775808", int), ("-9223372036854775809", float), ("-18446744073709551616", float),
    ("0e400", float), ("-0e400", float), ("1e-400", float), ("-1e-400", float),
    ("0e2147483648", float), ("1e-2147483648", float), ("-1e-99999999999", float),
    ("1e-320", float), ("5e-324", float), ("3e-324", float), ("2e-324", float),
    ("1.7976931348623157e308", float), ("1.7976931348623158e308", float),
    ("123456789012345678901234567890", float), ("1" + "0" * 400 + "e-400", float),
    ("0." + "0" * 400 + "1e401", float),
    # correctly rounded: a tie broken by a digit beyond the first 19 significant ones
    ("9007199254740993.00000000000000000000001", float),
    ("2.2250738585072011e-308", float), ("8.988465674311579e307", float),
]


@pytest.mark.parametrize("text, kind", NUMBERS)
def test_number_classification_in_messages(text, kind):
    word = f"integer `{int(text)}`" if kind is int else f"floating point `{decimal_form(float(text))}`"
    assert number_word(text) == word


@pytest.mark.parametrize("text, kind", NUMBERS)
def test_number_classification_in_metadata(text, kind):
    value = meta(text)
    assert type(value) is kind and repr(value) == repr(kind(text))


@pytest.mark.parametrize("text, word", [
    ("1e16", "1e+16"), ("1e15", "1000000000000000.0"), ("0.1", "0.1"), ("2.5e-7", "2.5e-7"),
    ("1e-5", "0.00001"), ("1e-6", "1e-6"), ("5e-324", "5e-324"), ("-1.5e300", "-1.5e+300"),
    ("1E2", "100.0"), ("123.456", "123.456"), ("0.0", "0.0"), ("-0", "-0.0"), ("1.2345e-7", "1.2345e-7"),
    ("18446744073709551616", "1.8446744073709552e+19"), ("-9223372036854775809", "-9.223372036854776e+18"),
])
def test_decimal_form_of_doubles_in_messages(text, word):
    assert decimal_form(float(text)) == word
    assert number_word(text) == f"floating point `{word}`"


def _stepwise_quotient(digits, exp10):
    """One rounding per multiply or divide: a reading that is often one unit off, which
    correctly rounded reading must not reproduce."""
    f = float(int(digits))
    return f * float(f"1e{exp10}") if exp10 >= 0 else f / float(f"1e{-exp10}")


def _seventeen_digit_decimals(count=150):
    rng, found = random.Random(20240917), []
    while len(found) < count:
        digits, exp = str(rng.randrange(10**16, 10**17)), rng.randrange(-280, 281)
        text = f"{digits[0]}.{digits[1:]}e{exp}"
        if _stepwise_quotient(digits, exp - 16) != float(text):
            found.append(text)
    return found


SEVENTEEN = _seventeen_digit_decimals()
_bits = random.Random(7)
ROUND_TRIP = [repr(x) for x in (struct.unpack("<d", _bits.getrandbits(64).to_bytes(8, "little"))[0]
                                for _ in range(400)) if math.isfinite(x)][:150]


def test_seventeen_digit_decimals_read_as_their_nearest_double():
    for text in SEVENTEEN + ROUND_TRIP:
        assert number_word(text) == f"floating point `{decimal_form(float(text))}`", text


def test_seventeen_digit_decimals_in_metadata():
    texts = SEVENTEEN + ROUND_TRIP
    members = ",".join(f'"v{i:03}":{t}' for i, t in enumerate(texts))
    values = parsed(doc(metadata="{" + members + "}"))["metadata"]
    assert [repr(values[f"v{i:03}"]) for i in range(len(texts))] == [repr(float(t)) for t in texts]


# ---- strings ----

@pytest.mark.parametrize("value, message, column, tail", [
    ('"a\tb"', CONTROL, 3, "}}"), ('"\x1f"', CONTROL, 2, "}}"), ('"\x00"', CONTROL, 2, "}}"),
    ('"€\t"', CONTROL, 5, "}}"), ('"\\x"', "invalid escape", 3, "}}"), ('"\\U0041"', "invalid escape", 3, "}}"),
    ('"\\uZZZZ"', "invalid escape", 7, "}}"), ('"\\u12"', "invalid escape", 7, "}}"),
    ('"\\u12', EOF_STRING, 5, ""), ('"\\', EOF_STRING, 2, ""), ('"abc', EOF_STRING, 4, ""),
    ('"', EOF_STRING, 1, ""), ('"\\uDC00"', LONE, 7, "}}"), ('"\\udfff"', LONE, 7, "}}"),
    ('"\\uD800x"', "unexpected end of hex escape", 8, "}}"),
    ('"\\uD800"', "unexpected end of hex escape", 8, "}}"),
    ('"\\uD800\\n"', "unexpected end of hex escape", 9, "}}"),
    ('"\\uD800\\uD800"', LONE, 13, "}}"), ('"\\uDBFF\\u0041"', LONE, 13, "}}"),
    ('"\\uD800\\uE000"', LONE, 13, "}}"), ('"\\uD800', EOF_STRING, 7, ""),
    ('"\\uD800\\', EOF_STRING, 8, ""), ('"\\uD800\\u00', EOF_STRING, 11, ""),
])
def test_string_errors(value, message, column, tail):
    assert value_error(value, tail) == (message, column)


def test_string_scan_finds_the_first_special_byte_at_every_offset():
    for n in range(20):
        assert value_error('"' + "a" * n + "\x01bbbbbbbbbb\"") == (CONTROL, n + 2)
        assert value_error('"' + "é" * n + "\\qbbbbbbbbb\"") == ("invalid escape", 2 * n + 3)
        assert value_error('"' + "a" * n, "") == (EOF_STRING, n + 1)
        word = read_error(doc(root='"' + "a" * n + '\\"' + "b" * n + '"'))[0]
        assert word == 'invalid type: string "' + "a" * n + '\\"' + "b" * n + '", expected struct Node'


def test_escapes_decode_as_seen_in_messages():
    text = r'"\"\\\/\b\f\n\r\t\u0000\u0041\u00e9\u20AC\uD83D\uDE00\ud83d\ude00' + '\x7fé"'
    message = read_error(doc(root=text))[0]
    expected = '\\"\\\\/\\u{8}\\u{c}\\n\\r\\t\\0Aé€😀😀\\u{7f}é'
    assert message == f'invalid type: string "{expected}", expected struct Node'


@pytest.mark.parametrize("value, text", [
    (r'"\"\\\/\b\f\n\r\t"', '"\\/\b\f\n\r\t'), (r'"\u0041\u00e9\u20AC\uFFFF"', "Aé€\uffff"),
    (r'"\uD83D\uDE00\ud83d\ude00"', "😀😀"), (r'"\uDBFF\uDFFF"', "\U0010ffff"), (r'"\u0000"', "\x00"),
    ('"\x7f"', "\x7f"), ('"é€😀"', "é€😀"), ('""', ""), ('"a/b\'c"', "a/b'c"),
])
def test_strings_decode(value, text):
    assert meta(value) == text


# ---- arrays, objects, nesting ----

@pytest.mark.parametrize("value, message, column, tail", [
    ("[1 2]", "expected `,` or `]`", 4, "}}"), ("[1,]", "trailing comma", 4, "}}"),
    ("[1,,2]", "expected value", 4, "}}"), ("[,1]", "expected value", 2, "}}"),
    ("[1}", "expected `,` or `]`", 3, "}}"), ("[1", "EOF while parsing a list", 2, ""),
    ("[", "EOF while parsing a list", 1, ""), ("[ \n", "EOF while parsing a list", 0, None),
    ("[1,", EOF_VALUE, 3, ""), ('{"a":1,}', "trailing comma", 8, "}}"),
    ('{"a":1 "b":2}', "expected `,` or `}`", 8, "}}"), ('{"a" 1}', "expected `:`", 6, "}}"),
    ("{1:2}", "key must be a string", 2, "}}"), ('{"a":1]', "expected `,` or `}`", 7, "}}"),
    ('{"a":}', "expected value", 6, "}}"), ('{"a":1,', EOF_VALUE, 7, ""),
    ('{"a":1', "EOF while parsing an object", 6, ""), ('{"a"', "EOF while parsing an object", 4, ""),
    ("{", "EOF while parsing an object", 1, ""),
])
def test_array_and_object_errors(value, message, column, tail):
    if tail is None:  # the error falls on line 2
        assert read_error(META + value) == (message, 2, column)
    else:
        assert value_error(value, tail) == (message, column)


def test_nesting_limit_counts_the_documents_own_object():
    # on the path: the document's object, the metadata object, then the value's brackets
    reads(doc(metadata='{"k":' + "[" * 125 + "]" * 125 + "}"))
    reads(doc(metadata='{"k":' + '{"a":' * 125 + "1" + "}" * 125 + "}"))
    reads(doc(metadata='{"k":[' + ("[" * 124 + "]" * 124 + ",") * 3 + "0]}"))  # budget given back
    assert value_error("[" * 126 + "]" * 126) == ("recursion limit exceeded", 126)
    assert value_error('{"a":' * 126 + "1" + "}" * 126) == ("recursion limit exceeded", 5 * 125 + 1)
    assert value_error("[" * 200) == ("recursion limit exceeded", 126)


# ---- skipped values (unknown members) ----

@pytest.mark.parametrize("value, message, column, tail", [
    ("[1,]", "expected value", 4, "}"), ('{"a":1,}', "key must be a string", 8, "}"),
    ("[1}", "expected `,` or `]`", 3, "}"), ('{"a" 1}', "expected `:`", 6, "}"),
    ('"\\x"', "invalid escape", 3, "}"), ('"\\uDC00"', LONE, 7, "}"),
    ('"\\uD800x"', "unexpected end of hex escape", 8, "}"), ('"a\tb"', CONTROL, 3, "}"),
    ("tru}", "expected ident", 4, "}"), ("01", "invalid number", 2, "}"), ("-x", "invalid number", 2, "}"),
    ("-", "invalid number", 1, ""), ("1.", "invalid number", 2, ""), ("1e", "invalid number", 2, ""),
    ("1e+", "invalid number", 3, ""), ("+1", "expected value", 1, "}"),
    ("[" * 100_000 + "]" * 99_999 + "}", "expected `,` or `]`", 200_000, "}"),
])
def test_skipped_value_errors(value, message, column, tail):
    assert value_error(value, tail, head=SKIP) == (message, column)


def test_skipped_values_are_read_without_conversion_or_nesting_limit():
    reads(SKIP + r'[1e400, -1e99999, {"a":[true,false,null,"\uD83D\uDE00"]}, -0.5e-3, 1' + "0" * 400 + "]}")
    reads(SKIP + "[" * 100_000 + "]" * 100_000 + "}")
    reads(SKIP + '{"a":[' * 50_000 + "0" + "]}" * 50_000 + "}")
    reads(doc(extra='{"k":' + "[" * 300 + "]" * 300 + "}"))


def test_hundred_megabyte_input_is_read_in_place():
    chunk = "abcdefgh" * 125_000  # 1 MB, ASCII, so the str's own bytes are the UTF-8 text
    text = "".join([SKIP, '"'] + [chunk] * 100 + ['"}'])
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    reads(text)
    grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    assert grown_kib < 50_000, f"peak memory grew by {grown_kib} KiB while reading 100 MB"


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs an address-space limit")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's allocator reports exhaustion itself")
def test_memory_exhaustion_raises_memory_error():
    escape = "\\n"  # two bytes of input, one decoded byte
    script = f"""
import resource
import tavrik_workout_sdk as sdk
text = {META!r} + '"' + {escape!r} * 24_000_000 + '"}}}}'
size = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmSize:")) * 1024
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (size + (16 << 20), hard))
try:
    sdk.validate_workout(text)
    print("no error")
except MemoryError:
    print("MemoryError")
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(sdk.validate_workout(text))
"""
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert (run.returncode, run.stdout.split()) == (0, ["MemoryError", "[]"]), run.stderr
