"""Samples on the walk of the common form agree with the general reading.

validate_workout and count_sets check recorded samples by their form only, and
columns.streams takes them from the text straight into its buffers; both give up on
anything unusual and leave the text to the general reader.  So each case here compares
the walk with the general reading of the same text: the errors of to_json (read the
general way) for validation and counting, and, for the columns, the same document with an
escaped key added at its end, which the walk never takes.  The cases are grouped by what
makes the walk give up, or by what it must take without giving up.
"""

import json
import sys
from pathlib import Path

import pytest

import tavrik_workout_sdk as sdk
from conftest import table
from tavrik_workout import columns

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
import bench  # noqa: E402

HEAD = '{"id":"w","version":"1","root":{"id":"s","kind":{"type":"Session"},"payload":{"type":"Temporal"}}'


def ride(timestamps="[0,1]", scalar="[1,2]", positions='[{"lat":1,"lng":2,"altitude":3},null]', sep=","):
    """A workout with timestamps, a power channel and a position channel, sample texts as given."""
    return (HEAD + ',"streams":{"timestamps":' + timestamps + ',"channels":[{"metric":"Power","data":'
            '{"type":"Scalar","values":' + scalar + '}},{"metric":"Position","data":{"type":"Position",'
            '"values":' + positions + "}}]}}").replace(",", sep)


def general(text):
    """The same document with an unknown member whose key is escaped, before its last brace."""
    end = text.rindex("}")
    return text[:end] + ',"x\\u0041":0' + text[end:]


def outcome(function, text):
    try:
        return ("ok", function(text))
    except ValueError as error:
        return ("error", str(error))


def read_error(text):
    """The general reading's parse error for the text, or None."""
    kind, result = outcome(sdk.to_json, text)
    return result if kind == "error" and result.startswith("parse error: ") else None


def assert_checks_agree(text):
    """validate_workout and count_sets give what the general reading gives."""
    error = read_error(text)
    for function in (sdk.validate_workout, sdk.count_sets):
        kind, result = outcome(function, text)
        if error is not None:
            assert (kind, result) == ("error", error), function.__name__
        else:
            assert kind == "ok", (function.__name__, result)
    if error is None:
        assert sdk.validate_workout(text) == sdk.validate_workout(general(text))
        assert sdk.count_sets(text) == sdk.count_sets(general(text))
    return error


def column_bits(column_table):
    """Every column as its Arrow parts: name, type, length, null count and the bytes of its
    validity, values and data, children alike; doubles as bytes, so -0.0 and 0.0 differ."""
    def parts(column):
        name, kind, length, nulls, validity, values, data, children = column
        return (name, kind, length, nulls, None if validity is None else bytes(validity), bytes(values), bytes(data),
                [parts(child) for child in children])
    return [parts(column) for column in column_table._native.columns()]


def assert_columns_agree(text, **options):
    walked, by_reader = outcome(lambda t: columns.streams(t, **options), text), \
        outcome(lambda t: columns.streams(t, **options), general(text))
    assert walked[0] == by_reader[0], (walked, by_reader)
    if walked[0] == "ok":
        assert walked[1].column_names == by_reader[1].column_names
        assert column_bits(walked[1]) == column_bits(by_reader[1])
    else:
        assert walked[1] == by_reader[1]


# Numbers at the edges of what the reader takes as a double, and of the walk's short scan.
EDGE_NUMBERS = [
    "0", "-0", "-0.0", "0.0", "1e-400", "-1e-400", "5e-324", "2.5e-5", "1E5", "1e+0022", "1e00022",
    "18446744073709551616", "123456789012345678901234567890", "1.7976931348623157e308", "1" + "0" * 308,
    "0." + "0" * 400 + "1", "12345678901234.5", "1234567890123456.75", "-9.87654321012345e-7",
    "1e400", "-1e400", "1.8e308", "1" + "0" * 309, "1e99999", "00", "01", "-01", "1.", ".5", "-", "+1",
    "1e", "1e+", "0x10", "1.5.2", "NaN", "Infinity", "-Infinity", "1,]", "null", "true", '"1"',
]


@pytest.mark.parametrize("number", EDGE_NUMBERS)
@pytest.mark.parametrize("where", ["timestamps", "scalar", "lat", "altitude"])
def test_edge_numbers_in_samples(number, where):
    texts = {
        "timestamps": ride(timestamps=f"[0,{number}]"),
        "scalar": ride(scalar=f"[{number},2]"),
        "lat": ride(positions=f'[{{"lat":{number},"lng":2}},null]'),
        "altitude": ride(positions=f'[{{"lat":1,"lng":2,"altitude":{number}}},null]'),
    }
    text = texts[where]
    assert_checks_agree(text)
    assert_columns_agree(text)


def test_edge_numbers_read_as_the_reader_reads_them():
    # Tiny values are zero with their sign, integers past 2^64 are doubles; the walk
    # and the reader give the same bits.
    text = ride(scalar="[1e-400,-1e-400]", timestamps="[18446744073709551616,-0]")
    table = columns.streams(text)
    data = table.to_numpy()
    assert [x.hex() for x in data["Power"]] == ["0x0.0p+0", "-0x0.0p+0"]
    assert [x.hex() for x in data["timestamp"]] == [float(2**64).hex(), "-0x0.0p+0"]
    assert sdk.parse_workout(text)["streams"]["timestamps"] == [float(2**64), -0.0]


SEPARATORS = table(
    ("compact", ","), ("python", ", "), ("two-spaces", ",  "), ("newline", ",\n  "), ("tab", ",\t"),
    ("space-before", " ,"), ("crlf", ",\r\n"), ("deep-indent", ",\n" + " " * 20), ("indent-then-tab", ",\n    \t"),
    ("blank-line", ",\n\n  "),
)


@pytest.mark.parametrize("sep", SEPARATORS)
def test_separators_between_samples(sep):
    text = ride(timestamps="[0, 1, 2]", scalar="[1.5,-2, 3e1]", positions='[null,{"lat":1,"lng":2},null]', sep=sep)
    assert assert_checks_agree(text) is None
    assert_columns_agree(text)


MALFORMED_LISTS = table(
    ("trailing-comma", "[1,2,]"), ("trailing-comma-space", "[1, 2, ]"), ("missing-comma", "[1 2]"),
    ("double-comma", "[1,,2]"), ("leading-comma", "[,1]"), ("unclosed", "[1,2"), ("unclosed-after-comma", "[1, "),
    ("comma-then-end", "[1,"), ("null-sample", "[1,null]"), ("string-sample", '[1,"2"]'), ("nested", "[[1]]"),
    ("object", "{}"), ("not-a-list", "1"),
)


@pytest.mark.parametrize("samples", MALFORMED_LISTS)
def test_malformed_sample_lists_get_the_readers_errors(samples):
    for text in (ride(timestamps=samples), ride(scalar=samples)):
        assert assert_checks_agree(text) is not None
        assert_columns_agree(text)


def test_every_cut_of_a_ride_gets_the_readers_answer():
    # A cut anywhere, in the middle of a number too, at the end of the text: the walk
    # must never read past it, and must leave every error to the reader.
    text = ride(timestamps="[0, 1.25, 2e3, 3]", scalar="[-1.5, 20, 300.125, -0]",
                positions='[{"lat":51.5,"lng":-0.125,"altitude":12},null,{"lat":1,"lng":2},null]')
    for cut in range(len(text) + 1):
        assert_checks_agree(text[:cut])


SHAPES = table(
    ("ragged-scalar", ride(scalar="[1]")),
    ("ragged-positions", ride(positions="[null]")),
    ("longer-channel", ride(scalar="[1,2,3]")),
    ("no-channels", HEAD + ',"streams":{"timestamps":[1,2]}}'),
    ("empty-lists", ride(timestamps="[]", scalar="[]", positions="[]")),
    ("all-null-positions", ride(positions="[null,null]")),
    ("altitude-null", ride(positions='[{"lat":1,"lng":2,"altitude":null},{"altitude":4,"lng":2,"lat":1}]')),
    ("no-streams", HEAD + "}"),
    ("null-streams", HEAD + ',"streams":null}'),
    ("custom-metric", HEAD + ',"streams":{"timestamps":[1],"channels":[{"metric":{"Custom":""},"data":'
     '{"type":"Scalar","values":[2]}},{"metric":{"Custom":"Power"},"data":{"type":"Scalar","values":[3]}},'
     '{"metric":"Power","data":{"type":"Scalar","values":[4]}}]}}'),
    # Forms the walk leaves to the reader, which reads them alike.
    ("values-before-type", HEAD + ',"streams":{"timestamps":[1],"channels":[{"metric":"Power","data":'
     '{"values":[2],"type":"Scalar"}}]}}'),
    ("array-forms", HEAD + ',"streams":[[1],[{"metric":"Power","data":["Scalar",[2]]}]]}'),
    ("position-array", ride(positions="[[1,2,3],null]")),
    ("laps-beside", ride()[:-1] + ',"laps":[{"trigger":"Manual","summary":{"a":1}}]}'),
)


@pytest.mark.parametrize("text", SHAPES)
def test_shapes_of_streams(text):
    assert assert_checks_agree(text) is None
    assert_columns_agree(text)
    assert_columns_agree(text, ragged="pad")


def test_the_benchmark_ride_and_the_examples_are_taken_alike():
    texts = [json.dumps(bench.make_recording(300)), json.dumps(bench.make_recording(300), indent=2)]
    texts += [path.read_text() for path in sorted((ROOT / "examples").glob("*.json"))]
    for text in texts:
        assert_checks_agree(text)
        assert_columns_agree(text)
        assert_columns_agree(text, ragged="pad")


# Tokens that end, break or bend a run of compact samples; each is set in a long list at
# every place, so that it falls at every byte of the blocks that compact runs are checked in.
RUN_BREAKERS = ["-0", "0.5", "-7", "1.5.2", "1..2", "01", "-01", "00.5", "1.", ".5", "-", "--1", "1-2", "-.5",
                "1e5", "2E-3", "1,", ",", " ", "1 ", "  1", "1 ,2", "null", "12345678901234567890123.25"]


@pytest.mark.parametrize("sep", [",", ", "])
def test_tokens_at_every_place_of_a_compact_run(sep):
    samples = ["12.5", "-3", "0", "407.25", "0.125", "9", "-0.5", "18", "77.75", "6"]
    for token in RUN_BREAKERS:
        for at in range(len(samples) + 1):
            run = samples[:at] + [token] + samples[at:]
            for values in (run, run + samples, samples + run):
                text = ride(timestamps="[" + sep.join(str(i) for i in range(len(values))) + "]",
                            scalar="[" + sep.join(values) + "]")
                assert_checks_agree(text)


def test_bytes_changed_in_a_compact_run_get_the_readers_answer():
    # One or two bytes of a long run replaced by bytes of sample text or by others.
    rng = __import__("random").Random(7)
    run = ", ".join(["12.5", "-3", "0", "407.25", "0.125", "9", "-0.5", "18", "77.75", "6"] * 3)
    for _ in range(1500):
        chars = list(run)
        for _ in range(rng.choice([1, 2])):
            chars[rng.randrange(len(chars))] = rng.choice("0123456789.-, e]x\n")
        assert_checks_agree(ride(scalar="[" + "".join(chars) + "]"))


# One sample a line: the walk keeps the separator of the line before (comma, newline and
# indent) and compares the next with it whole.  A line set otherwise, at any place of a
# list and after any number of lines alike, must be read as the reader reads it.
LINE = ",\n      "
LINE_BREAKERS = table(
    ("deeper", ",\n        "), ("shallower", ",\n  "), ("none", ",\n"), ("tab", ",\n\t     "),
    ("crlf", ",\r\n      "), ("blank-line", ",\n\n      "), ("space-before", " ,\n      "),
    ("space-after-comma", ", \n      "), ("deeper-than-a-block", ",\n" + " " * 30), ("comma-at-line-start", "\n      ,"),
    ("trailing-comma", ",\n      ]"), ("double-comma", ",\n      ,"), ("garbage", ",\n      x"),
)


@pytest.mark.parametrize("breaker", LINE_BREAKERS)
def test_lines_of_samples_indented_otherwise(breaker):
    samples = ["12.5", "-3", "0", "407.25", "12.5", "12.5", "9", "18"]
    for at in range(1, len(samples)):
        seps = [LINE] * (len(samples) - 1)
        seps[at - 1] = breaker
        scalar = "[\n      " + samples[0] + "".join(sep + value for sep, value in zip(seps, samples[1:])) + "\n    ]"
        timestamps = "[" + LINE.join(str(i) for i in range(len(samples))) + "]"
        text = ride(timestamps=timestamps, scalar=scalar)
        error = assert_checks_agree(text)
        assert (error is None) == (breaker.strip(" \t\r\n") == ","), (at, error)
        assert_columns_agree(text)


# Tokens whose digits end at, or run past, the sixteen bytes that a sample's form is
# decided from, with and without a sign and a point.
WIDE_TOKENS = ["1234567890123456", "-123456789012345", "-1234567890123456", "12345678901234567",
               "123456789012345.5", "1234567.890123456", "0.0000000000000001", "123456789012345.",
               "1234567890123456.5", "-0.000000000000001e5", "12345678901234567890e-3"]


@pytest.mark.parametrize("token", RUN_BREAKERS + WIDE_TOKENS)
def test_tokens_at_every_place_of_a_list_of_lines(token):
    # Lines alike before and after the token, so that it falls inside the compared run.
    samples = ["12.5", "-3", "0", "407.25", "0.125", "9", "-0.5", "18", "77.75", "6", "12.5", "3"]
    for at in range(len(samples) + 1):
        run = samples[:at] + [token] + samples[at:]
        scalar = "[\n      " + LINE.join(run) + "\n    ]"
        text = ride(timestamps="[" + LINE.join(str(i) for i in range(len(run))) + "]", scalar=scalar)
        assert_checks_agree(text)


# The line walk takes the next sample to start where the last one's width puts it and
# checks that after.  A token wider or narrower than a long run of alike samples before it,
# or as wide and malformed, and after a narrower one a sample whose first byte alone is
# wrong (a start taken from the width would step over it), at every place of the run, must
# be read as the reader reads it.
SAME_WIDTH_TOKENS = ["12.75", "-2.75", "012.7", "12..7", "12.7.", "1.2e5", "12.7e", "1e-27", "12,75", "12 75",
                     "127.5", "12750", "1.275", "12.755", "-12.75", "0.000"]
AFTER_A_NARROWER = ["012.5", "x12.5", "-12.5", ".12.5", "012.25", "-x2.5", "]12.5"]


def alike_run(tokens, at, sep=LINE):
    """A ride whose channel holds 40 samples "12.25" but for `tokens` from `at`, its
    timestamps alike in width too, so that the walk reaches the samples."""
    run = ["12.25"] * 40
    run[at:at + len(tokens)] = tokens
    return ride(timestamps="[" + sep.join(str(1000 + i) for i in range(len(run))) + "]",
                scalar="[\n      " + sep.join(run) + "\n    ]")


@pytest.mark.parametrize("sep", [LINE, ",", ", "])
@pytest.mark.parametrize("tokens", [(token, "12.25") for token in SAME_WIDTH_TOKENS] +
                         [(narrow, then) for narrow in ("1.25", "12.2", "7") for then in AFTER_A_NARROWER])
def test_tokens_in_runs_of_samples_alike(tokens, sep):
    for at in (0, 1, 7, 38):
        text = alike_run(tokens, at, sep)
        assert_checks_agree(text)
        assert_columns_agree(text)


def test_runs_of_samples_alike_are_walked():
    # Else the cases above would only compare the general reading with itself.
    from conftest import in_reader_mode

    if in_reader_mode("fast", ["parse_workout"], ["{"]) != [[("RuntimeError", "the fast read gave up")]]:
        pytest.skip("the module was built without its test hooks (scripts/install.sh builds them)")
    texts = [alike_run(tokens, 7) for tokens in (("12.25", "12.25"), ("1.25", "-12.5"), ("127.5", "12.25"), ("7", "12.25"))]
    for outcome_row in in_reader_mode("fast", ["validate_workout", "count_sets"], texts):
        assert [kind for kind, _ in outcome_row] == ["ok", "ok"], outcome_row


@pytest.mark.parametrize("number", EDGE_NUMBERS + WIDE_TOKENS)
@pytest.mark.parametrize("field", ["lat", "altitude"])
def test_edge_numbers_in_positions_over_several_lines(number, field):
    plain = '{\n  "lat": 47.3769673,\n  "lng": 8.5417316,\n  "altitude": 408.1\n}'
    row = plain.replace("47.3769673" if field == "lat" else "408.1", number)
    text = ride(positions=f"[\n  {plain},\n  {row},\n  {plain}\n]")
    assert_checks_agree(text)
    assert_columns_agree(text)


def test_lists_at_different_indents_in_one_document():
    # Each list has its own indent; the separator kept from one must not be taken for the next.
    timestamps = "[" + ",\n  ".join(str(i) for i in range(40)) + "]"
    scalar = "[" + ",\n            ".join(str(i % 7) for i in range(40)) + "]"
    text = ride(timestamps=timestamps, scalar=scalar, positions="[" + ",\n ".join(["null"] * 40) + "]")
    assert assert_checks_agree(text) is None
    assert_columns_agree(text)
    assert list(columns.streams(text).to_numpy()["Power"]) == [float(i % 7) for i in range(40)]


# Positions written over several lines, as json.dumps(indent=...) and to_json write them:
# validation takes a row of the usual form with any whitespace between its tokens, and
# leaves every other row to the record reading.
INDENTED_ROWS = table(
    ("json-indent", '{\n  "lat": 47.3769673,\n  "lng": 8.5417316,\n  "altitude": 408.1\n}'),
    ("no-altitude", '{\n    "lat": 1,\n    "lng": -2.5\n  }'),
    ("altitude-null", '{\n "lat": 1,\n "lng": 2,\n "altitude": null\n}'),
    ("tabs-and-crlf", '{\r\n\t"lat": 1,\r\n\t"lng": 2\r\n}'),
    ("space-before-colon", '{\n  "lat" : 1,\n  "lng": 2\n}'),
    ("spaces-after-colon", '{\n  "lat":   1,\n  "lng": 2\n}'),
    ("space-before-comma", '{\n  "lat": 1 ,\n  "lng": 2\n}'),
    ("swapped", '{\n  "lng": 2,\n  "lat": 1\n}'),
    ("unknown-member", '{\n  "lat": 1,\n  "lng": 2,\n  "x": 3\n}'),
    ("long-digits", '{\n  "lat": 47.376967312345678,\n  "lng": 1e2\n}'),
    ("empty", "{\n}"),
    ("missing-lng", '{\n  "lat": 1\n}'),
    ("string-value", '{\n  "lat": "1",\n  "lng": 2\n}'),
    ("trailing-comma", '{\n  "lat": 1,\n  "lng": 2,\n}'),
    ("unclosed", '{\n  "lat": 1,\n  "lng": 2\n'),
    ("repeated", '{\n  "lat": 1,\n  "lat": 1,\n  "lng": 2\n}'),
    # One byte off the plain row below, in each part of what comes before a value.
    ("semicolon", '{\n  "lat": 47.3769673;\n  "lng": 8.5417316,\n  "altitude": 408.1\n}'),
    ("key-byte", '{\n  "lat": 47.3769673,\n  "lnq": 8.5417316,\n  "altitude": 408.1\n}'),
    ("equals", '{\n  "lat": 47.3769673,\n  "lng": 8.5417316,\n  "altitude"= 408.1\n}'),
    ("brace-byte", '[\n  "lat": 47.3769673,\n  "lng": 8.5417316,\n  "altitude": 408.1\n}'),
    ("first-key-byte", '{\n  "lax": 47.3769673,\n  "lng": 8.5417316,\n  "altitude": 408.1\n}'),
)


@pytest.mark.parametrize("row", INDENTED_ROWS)
def test_positions_over_several_lines(row):
    # After a plain row too, whose bytes before each value the walk keeps for the next.
    plain = '{\n  "lat": 47.3769673,\n  "lng": 8.5417316,\n  "altitude": 408.1\n}'
    for positions in (f"[\n  {row}\n]", f"[\n  null,\n  {row},\n  {row}\n]", f"[{row}, null]",
                      f"[\n  {plain},\n  {row},\n  {plain}\n]", f"[{plain},{row}]"):
        text = ride(positions=positions)
        assert_checks_agree(text)
        assert_columns_agree(text)


def test_indented_recordings_are_walked_by_validation():
    # The fast hook makes validation raise where its walk gives up: an indented recording,
    # positions included, must be taken whole.
    from conftest import in_reader_mode

    if in_reader_mode("fast", ["parse_workout"], ["{"]) != [[("RuntimeError", "the fast read gave up")]]:
        pytest.skip("the module was built without its test hooks (scripts/install.sh builds them)")
    texts = [json.dumps(bench.make_recording(200), indent=indent) for indent in (1, 2, 4, 8)]
    texts.append(ride(positions="[" + ",\n  ".join(case.values[0] for case in INDENTED_ROWS[:5]) + "]"))
    for outcome_row in in_reader_mode("fast", ["validate_workout", "count_sets"], texts):
        assert [kind for kind, _ in outcome_row] == ["ok", "ok"], outcome_row
