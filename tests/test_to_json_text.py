"""The str that to_json returns: made at its final width from what the writer wrote, and
the same whatever buffer the writer kept from an earlier call."""

import json

import pytest

import tavrik_workout_sdk as sdk


def with_sport(sport, **more):
    return {"id": "w", "version": "1", "sport": sport, **more,
            "root": {"id": "r", "kind": {"type": "Session"}, "payload": {"type": "Temporal"}}}


def written(document):
    """The writer's text for a document whose members are already in its order."""
    return json.dumps(document, indent=2, ensure_ascii=False)


# One character at each edge of each width a str can have; str equality compares the
# widths too, so a result made wider than its widest character differs.
WIDTH_EDGES = ["plain", "\u0080", "\u00e9", "\u00ff", "\u0100", "\u07ff", "\u0800", "\u20ac", "\uffff",
               "\U00010000", "\U0001f600", "\U0010ffff"]


@pytest.mark.parametrize("char", WIDTH_EDGES, ids=[f"U+{ord(c[-1]):04X}" for c in WIDTH_EDGES])
@pytest.mark.parametrize("escaped", [False, True], ids=["raw", "escaped"])
def test_each_width_of_str(char, escaped):
    # Mixed with ASCII on both sides and across eight-byte blocks, so that the ASCII runs
    # widened whole meet the characters decoded one by one.
    document = with_sport("ab" + char + "x" * 13 + char + char * 9 + "z")
    result = sdk.to_json(json.dumps(document, ensure_ascii=not escaped))
    assert result == written(document)


def test_widest_character_anywhere_decides_the_width():
    # The widest character in a key of the metadata, the others in values.
    document = {**with_sport("\u00e9"), "metadata": {"a": "\u00ff", "\U0001f600": "\u20ac"}}
    assert sdk.to_json(json.dumps(document)) == written(document)


@pytest.mark.parametrize("escape", ["\\ud800", "\\udc00", "\\ud800\\u0041"])
def test_a_lone_surrogate_escape_never_reaches_the_str(escape):
    with pytest.raises(ValueError, match="^parse error: .* hex escape at line 1 column"):
        sdk.to_json(json.dumps(with_sport("@")).replace("@", escape))


def large(names):
    """A document of some megabytes written, with one name per set."""
    sets = [{"id": f"s{i}", "kind": {"type": "Set"}, "name": name,
             "payload": {"type": "Leaf", "measures": [{"type": "Reps", "value": i}]}} for i, name in enumerate(names)]
    return {"id": "w", "version": "1",
            "root": {"id": "r", "kind": {"type": "Exercise"}, "children": sets, "payload": {"type": "Exercise"}}}


def test_outputs_larger_and_smaller_than_the_kept_buffer_in_turns():
    # The first call leaves a buffer cut down to its first pages, which the next large
    # output grows again; every text must come out whole.
    big = large([f"set \u00e9 {i}" * 3 for i in range(12_000)])
    small = with_sport("\u20ac")
    bigger = large(["\U0001f600" + "y" * 40] * 20_000)
    for document in (big, small, bigger, big, small):
        assert sdk.to_json(json.dumps(document)) == written(document)


def test_outputs_from_several_threads_in_turns():
    # One buffer for large outputs passes from thread to thread, while each thread keeps a
    # small one of its own; none may hand out a text that another call is writing.
    import threading

    big = large([f"set \u00e9 {i}" * 3 for i in range(8_000)])
    small = with_sport("\u20ac")
    texts = [json.dumps(document) for document in (big, small, big)]
    expected = [written(document) for document in (big, small, big)]
    results = {}

    def work(k):
        results[k] = [sdk.to_json(text) for text in (texts[k % 3:] + texts[:k % 3])]

    workers = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    for k, outputs in results.items():
        assert outputs == expected[k % 3:] + expected[:k % 3]
    assert len(results) == 4
