"""Stream samples as the walk converts them into the columns.

Each sample goes from its token straight into a column buffer as a double, by a scan
for the usual shapes of token and the reader's conversion for the others; positions
are taken member by member when written in declaration order.  The cases hold the
walked columns to Python's own reading of each token (correctly rounded, so the bits of
the right double) and to the general reader's table, across the shapes where one way of
converting hands over to the other.
"""

import itertools
import json
import random

import pyarrow as pa
import pytest

import tavrik_workout_sdk as sdk
from conftest import for_the_general_reader
from tavrik_workout import _native, columns

HEAD = '{"id":"w","version":"1","root":{"id":"s","kind":{"type":"Session"},"payload":{"type":"Temporal"}}'


def ride(timestamps, scalar, positions):
    return (HEAD + ',"streams":{"timestamps":' + timestamps + ',"channels":[{"metric":"Power","data":'
            '{"type":"Scalar","values":' + scalar + '}},{"metric":"Position","data":{"type":"Position",'
            '"values":' + positions + "}}]}}")


def rows(table):
    """The rows of a table, floats as their bits so that -0.0 and 0.0 differ."""
    def bits(value):
        if isinstance(value, float):
            return value.hex()
        if isinstance(value, dict):
            return {key: bits(item) for key, item in value.items()}
        return value
    arrow = pa.table(table)
    return str(arrow.schema), [{key: bits(value) for key, value in row.items()} for row in arrow.to_pylist()]


def walked_rows(text):
    walked = _native._walked("streams", text)
    assert walked is not None, "the walk gave the text up"
    expected = rows(columns.streams(for_the_general_reader(text), ragged="pad"))
    assert rows(walked) == expected
    return expected[1]


def token(rng, whole, fraction, sign):
    digits = str(rng.randint(1, 9)) + "".join(rng.choice("0123456789") for _ in range(whole - 1))
    if whole == 1 and rng.random() < 0.3:
        digits = "0"
    text = sign + digits
    if fraction:
        text += "." + "".join(rng.choice("0123456789") for _ in range(fraction))
    return "1.5" if text == "-0" else text  # "-0" is left to the general reader


# One to nine digits before the point and none to nine after it: the short scan takes up
# to seven on each side, in one or two conversions, and hands the rest over.  (The walk
# leaves sixteen digits and more to the general reader.)
SHAPES = [(whole, fraction, sign) for whole, fraction, sign in itertools.product(range(1, 10), range(0, 10), ["", "-"])
          if whole + fraction <= 15]


def test_each_sample_is_the_double_of_its_token():
    rng = random.Random(17)
    tokens = [token(rng, whole, fraction, sign) for whole, fraction, sign in SHAPES for _ in range(4)]
    tokens += ["0.0", "-0.0", "0.5", "-0.0000001", "9999999.9999999", "1234567.1234567", "12345678", "0.00000001"]
    rng.shuffle(tokens)
    positions = [f'{{"lat":{tokens[i]},"lng":{tokens[i + 1]},"altitude":{tokens[i + 2]}}}'
                 for i in range(0, len(tokens) - 2, 3)]
    text = ride("[" + ",".join(tokens) + "]", "[" + ", ".join(tokens) + "]", "[" + ",".join(positions) + "]")
    table = walked_rows(text)
    assert [row["timestamp"] for row in table] == [float(t).hex() for t in tokens]
    assert [row["Power"] for row in table] == [float(t).hex() for t in tokens]
    lat = [row["Position"]["lat"] for row in table[:len(positions)]]
    assert lat == [float(tokens[i]).hex() for i in range(0, 3 * len(positions), 3)]


def test_samples_at_the_end_of_the_text_and_of_their_list():
    # The short scan reads ahead of a token; near the end of the text the long way takes over.
    for samples in ("[7]", "[0.25]", "[1234567.1234567]", "[-3,4.75]"):
        text = ride(samples, samples, "[]")
        for cut in (text, text + " " * 30):
            walked_rows(cut)


@pytest.mark.parametrize("members", [
    ["lat", "lng", "altitude"], ["lng", "lat", "altitude"], ["lat", "altitude", "lng"],
    ["altitude", "lat", "lng"], ["lat", "lng"], ["lng", "lat"], ["lat", "x", "lng", "altitude"],
    ["lat", "lng", "x"], ["x", "lat", "lng"],
])
def test_positions_in_any_member_order(members):
    values = {"lat": "47.3769673", "lng": "-8.5417316", "altitude": "408.1", "x": '{"a":[1,"b"]}'}
    entry = "{" + ",".join(f'"{member}":{values[member]}' for member in members) + "}"
    table = walked_rows(ride("[0,1,2]", "[1,2,3]", f"[{entry},null,{entry.replace(values['altitude'], 'null')}]"))
    first = table[0]["Position"]
    assert first["lat"] == float(values["lat"]).hex() and first["lng"] == float(values["lng"]).hex()
    assert first["altitude"] == (float(values["altitude"]).hex() if "altitude" in members else None)
    assert table[1]["Position"] is None and table[2]["Position"]["altitude"] is None


@pytest.mark.parametrize("entry", [
    '{"lat":1,"lng":2,"lat":3}', '{"lat":1,"lat":2,"lng":3}', '{"lat":1,"lng":2,"altitude":3,"lng":4}',
    '{"lat":1}', '{"lat":1,"altitude":2}', '{"lat":1,"lng":2,}', '{"lat":1 "lng":2}', '{"lat":1,"lng":null}',
    '{"lat":1,"lng":2,"altitude":"3"}', '{"lat"1,"lng":2}',
])
def test_faulty_positions_get_the_readers_error(entry):
    text = ride("[0]", "[1]", f"[{entry}]")
    assert _native._walked("streams", text) is None
    with pytest.raises(ValueError) as walked:
        columns.streams(text)
    with pytest.raises(ValueError) as reader:
        sdk.to_json(text)
    assert str(walked.value) == str(reader.value)
    assert str(walked.value).startswith("parse error: ")


def test_lists_longer_than_the_first_buffer():
    # The first buffer takes some sixteen thousand samples; longer lists grow it.
    count = 40_000
    samples = [f"{i % 1000}.{i % 7}" for i in range(count)]
    text = ride("[" + ",".join(samples) + "]", "[" + ",".join(samples) + "]", "[]")
    data = columns.streams(text, ragged="pad").to_numpy()
    assert [float(s) for s in samples] == data["timestamp"].tolist() == data["Power"].tolist()
    walked_rows(text.replace('"values":[]', '"values":[' + ",".join(["null"] * count) + "]"))


@pytest.mark.parametrize("length", [1, 63, 64, 65, 129])
def test_null_positions_across_words_of_the_bitmap(length):
    nulls = {i for i in (0, 7, 8, 62, 63, 64, 65, 127, 128) if i < length}
    entries = ["null" if i in nulls else f'{{"lat":{i},"lng":1}}' for i in range(length)]
    numbers = json.dumps(list(range(length)))
    table = walked_rows(ride(numbers, numbers, "[" + ",".join(entries) + "]"))
    assert {i for i, row in enumerate(table) if row["Position"] is None} == nulls
    altitude = pa.table(columns.streams(ride(numbers, numbers, "[" + ",".join(entries) + "]")))["Position"]
    assert altitude.combine_chunks().field("altitude").null_count == length


@pytest.mark.parametrize("separator", [",", ", "])
def test_positions_written_plainly_and_nearly_so(separator):
    # Entries in declaration order with one space at most after a colon or comma are taken
    # as rows; any other spacing, member or token shape goes member by member from the same
    # place, also after the first fields of the entry were looked at.
    entries = [
        '{"lat":47.3769673,"lng":8.5417316,"altitude":408.1}', '{"lat": 47.3769673, "lng": 8.5417316}',
        '{"lat":-0.0,"lng":0,"altitude":null}', '{"lat":1,"lng":-2,"altitude":-3}',
        '{"lat":47.37696731,"lng":-122.419415512,"altitude":12345678.5}', '{"lat":12345678901234567,"lng":1e3}',
        '{"lat":1.5,"lng":2.5 }', '{ "lat":1.5,"lng":2.5}', '{"lat" :1.5,"lng":2.5}', '{"lat":  1.5,"lng":2.5}',
        '{"lat":1.5,"lng":2.5,"altitude":3.5,"x":[1]}', '{"lat":1.5,"lng":2.5,  "altitude":3.5}',
        '{"lat":1.5,"lng":2.5,"altitude":null }', '{"lat":0.1e1,"lng":2.5}', '{"lat":1.25,\n"lng":2.5}', "null",
    ]
    values = "[" + separator.join(entries * 3) + "]"
    count = json.dumps(list(range(3 * len(entries))))
    table = walked_rows(ride(count, count, values))
    assert [row["Position"] for row in table[:len(entries)]] == [
        None if entry == "null" else {key: (None if value is None else float(value).hex())
                                      for key, value in {"altitude": None, **json.loads(entry)}.items() if key != "x"}
        for entry in entries]

def reads_as_the_reader_reads(text):
    """The walk's columns of `text` are the general reading's; a text it refuses gets the
    reader's own error."""
    try:
        expected = rows(columns.streams(for_the_general_reader(text), ragged="pad"))
    except ValueError as error:
        with pytest.raises(ValueError) as walked:
            columns.streams(text)
        assert str(walked.value).split(" at line")[0] == str(error).split(" at line")[0]
        return
    assert rows(columns.streams(text, ragged="pad")) == expected


def test_a_position_cut_short_by_the_end_of_the_text():
    # Each prefix of a plainly written entry: what the walk takes, the reader takes alike,
    # and what it refuses gets the reader's own error; nothing past the text is read.
    head = ride("[0,1]", "[1,2]", "")
    entry = '[{"lat":47.3769673,"lng":8.5417316,"altitude":408.1},{"lat":1,"lng":2}]}]}}'
    for cut in range(len(entry) + 1):
        reads_as_the_reader_reads(head + entry[:cut])


# Tokens around the edges of the short scans: longest runs on each side, runs that go on
# past what one load sees (with and without a sign), exponents, leading zeros, and
# signed zeros; each is read as Python reads it, or handed to the reader unharmed.
EDGE_TOKENS = [
    "0", "0.0", "-0.0", "0.5", "7", "-7", "12345678", "-12345678", "123456789", "12345678.1234567",
    "-12345678.1234567", "1234567.12345678", "-1234567.12345678", "-1234567.123456789", "1.123456789012345",
    "99999999.9999999", "0.00000001", "1.5e3", "-2E-2", "1e0", "4.25e+1", "1.0", "10.5", "9007199254740993",
    "0.1", "-0.1", "123.456",
]


@pytest.mark.parametrize("layout", ["compact", "spaced", "indented"])
def test_samples_of_every_edge_shape_in_each_layout(layout):
    # The fast steps take a sample with the "," or ", " or ",\n" and indent after it; the
    # positions of most writers, `{"lat": 1.5, "lng": 2}`, are matched as fixed bytes.
    rng = random.Random(3)
    tokens = EDGE_TOKENS + [token(rng, whole, fraction, sign) for whole, fraction, sign in SHAPES]
    rng.shuffle(tokens)
    separator = {"compact": ",", "spaced": ", ", "indented": ",\n            "}[layout]
    colon = ":" if layout == "compact" else ": "
    positions = []
    for i in range(0, len(tokens) - 2, 3):
        members = [f'"lat"{colon}{tokens[i]}', f'"lng"{colon}{tokens[i + 1]}']
        if i % 2 == 0:
            members.append(f'"altitude"{colon}{tokens[i + 2]}')
        positions.append("{" + separator.join(members) + "}")
    listed = "[" + separator.join(tokens) + "]"
    table = walked_rows(ride(listed, listed, "[" + separator.join(positions) + "]"))
    assert [row["Power"] for row in table] == [float(t).hex() for t in tokens]
    assert [row["Position"]["lng"] for row in table[:len(positions)]] == [
        float(tokens[i + 1]).hex() for i in range(0, 3 * len(positions), 3)]


@pytest.mark.parametrize("entry", [
    '{"lat": 1.5, "lng": 2.5, "altitude": 3.5, "lat": 1}', '{"lat": 1.5, "lng": 2.5, "lat": 3.5}',
    '{"lat": 1.5, "lng": 2.5,}', '{"lat": 1.5}', '{"lat": 1.5, "altitude": 2}', '{"lat": 1.5, "lng": 2.5.5}',
    '{"lat": 1.5, "lng": -}', '{"lat": 01, "lng": 2}', '{"lat": 1., "lng": 2}', '{"lat": 1.5, "lng": 2,, "x": 1}',
])
def test_faulty_spaced_positions_get_the_readers_error(entry):
    text = ride("[0, 1]", "[1, 2]", f"[{entry}, {{\"lat\": 1, \"lng\": 2}}]")
    with pytest.raises(ValueError) as walked:
        columns.streams(text)
    with pytest.raises(ValueError) as reader:
        sdk.to_json(text)
    assert str(walked.value) == str(reader.value)


@pytest.mark.parametrize("samples", ["[1.5, -0, 2]", "[1.5, 2, ]", "[1.5,  2]", "[1.5,\n\t2]", "[1.5 , 2]",
                                     "[1.5, 2.5.5, 3]", "[1.5, 2e, 3]", "[1.5, 02, 3]",
                                     "[1.5, 1.1234567890123456, 2]", "[1.5, 12.5e-310, 2]"])
def test_samples_the_fast_steps_refuse_read_as_the_reader_reads_them(samples):
    reads_as_the_reader_reads(ride("[0, 1, 2]", samples, "[]"))


def test_the_digits_on_each_side_of_the_point_keep_their_places():
    # The point is taken out of a sample's digits by merging two overlapping words: each
    # digit next to the point, zeros and nines included, for every split of one to fifteen
    # digits, at the front of a list, in it and in each field of a position row.
    tokens = []
    for whole in range(1, 9):
        for fraction in range(1, 16 - whole):
            for edge in "0159":
                digits = ("9" + "1" * 14)[:whole] if whole > 1 else edge
                after = (edge + "2" * 14)[:fraction - 1] + edge
                tokens += [f"{digits[:-1]}{edge}.{after}", f"-{digits}.{after}"]
    tokens += [f"{'7' * whole}.0" for whole in range(1, 9)] + ["5.05", "5.00", "50.0", "0.09", "-0.90", "8.0000001"]
    listed = "[" + ", ".join(tokens) + "]"
    rows_ = [f'{{"lat": {tokens[i]}, "lng": {tokens[i + 1]}, "altitude": {tokens[i + 2]}}}'
             for i in range(0, len(tokens) - 2, 3)]
    table = walked_rows(ride(listed, listed, "[" + ", ".join(rows_) + "]"))
    assert [row["Power"] for row in table] == [float(t).hex() for t in tokens]
    assert [[row["Position"][field] for field in ("lat", "lng", "altitude")] for row in table[:len(rows_)]] == [
        [float(t).hex() for t in tokens[i:i + 3]] for i in range(0, 3 * len(rows_), 3)]


def buffers(table):
    """Each column's length, null count, validity bits and value bytes, children included:
    what a consumer reads without pyarrow's view of it."""
    def flat(parts):
        name, kind, length, nulls, validity, values, data, children = parts
        bits = None if validity is None else bytes(validity)[:(length + 7) // 8]
        return (name, kind, length, nulls, bits, bytes(values), [flat(child) for child in children])
    return [flat(parts) for parts in table.columns()]


@pytest.mark.parametrize("length", [5, 64, 130, 40_000])
def test_missing_positions_and_altitudes_match_the_readers_buffers(length):
    # The walk holds a missing entry or altitude as NaN until the columns are made; the
    # bitmaps and the zeros under the nulls are then the general reading's, byte for byte,
    # also past the first buffer and in a second position channel of the same document.
    def entry(i):
        if i % 11 == 3:
            return "null"
        if i % 3 == 0:
            return f'{{"lat": {i}.5, "lng": -{i}.25, "altitude": {i % 7}.0}}'
        return f'{{"lat": {i}.5, "lng": -{i}.25}}'
    track = "[" + ", ".join(entry(i) for i in range(length)) + "]"
    plain = "[" + ", ".join(f'{{"lat": {i}, "lng": 1}}' for i in range(length)) + "]"
    numbers = json.dumps(list(range(length)))
    text = ride(numbers, numbers, track)[:-3] + ',{"metric":"Position","data":{"type":"Position","values":' + plain + "}}]}}"
    walked = _native._walked("streams", text)
    assert walked is not None
    assert buffers(walked) == buffers(_native.streams(for_the_general_reader(text), True))
    position = [parts for parts in walked.columns() if parts[0] == "Position"][0]
    assert position[3] == sum(1 for i in range(length) if i % 11 == 3)
    assert [child[3] for child in position[7]] == [position[3], position[3],
                                                    sum(1 for i in range(length) if i % 11 == 3 or i % 3 != 0)]
    second = [parts for parts in walked.columns() if parts[0] == "Position_2"][0]
    assert second[3] == 0 and second[4] is None and second[7][2][3] == length


@pytest.mark.parametrize("separator", [",", ", ", ",\n      "])
def test_a_repeated_sample_and_its_near_repeats(separator):
    # A sample that repeats the bytes of the one before it up to a "," is taken as the same
    # double; a token that only starts with those bytes, or ends the list, is scanned.
    groups = [["94.0"] * 5, ["94.0", "94.05", "94.0", "94.0e1", "94.0", "94.01"], ["-0.0"] * 3, ["1"] * 4 + ["12"],
              ["1234.567"] * 3 + ["1234.5678"], ["12345678.5"] * 3, ["7", "7.5", "7", "-7", "-7", "-70"],
              ["0.5", "0.5", "0.50", "0.5"], ["3"] * 70]
    tokens = [token for group in groups for token in group]
    listed = "[" + separator.join(tokens) + "]"
    table = walked_rows(ride(listed, listed, "[]"))
    assert [row["Power"] for row in table] == [float(t).hex() for t in tokens]
    # The same runs at the end of the text's room and of a list.
    for tail in (["8.25"] * 9, ["8.25"] * 8 + ["8.2"]):
        listed = "[" + separator.join(tail) + "]"
        assert [row["timestamp"] for row in walked_rows(ride(listed, listed, "[]"))] == [float(t).hex() for t in tail]


@pytest.mark.parametrize("odd", ["1e3", "02", "-0", "1.5.5", "]"])
def test_a_channel_that_seldom_repeats_then_does(odd):
    # After sixteen samples that the next did not repeat, the walk scans a run without
    # looking for repeats, then looks again; a token it leaves to the reader may come in
    # either, and repeats after the run are still taken.
    distinct = [f"{i}.{i % 9 + 1}" for i in range(20, 400)]
    tokens = distinct[:30] + ["5.5"] * 5 + distinct[30:] + ["6.25"] * 40
    for at in (10, 25, 200, len(tokens) - 3):
        samples = tokens[:at] + [odd] + tokens[at:] if odd != "]" else tokens[:at]
        reads_as_the_reader_reads(ride("[0]", "[" + ", ".join(samples) + "]", "[]"))
    listed = "[" + ", ".join(tokens) + "]"
    assert [row["timestamp"] for row in walked_rows(ride(listed, listed, "[]"))] == [float(t).hex() for t in tokens]
