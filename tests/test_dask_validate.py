"""The Dask recipe, examples/dask_validate.py, on a generated corpus: against a running
LocalCluster of two worker processes (as on a real cluster) and with a cluster of its own."""

import subprocess
import sys
from pathlib import Path

import pytest

from conftest import doc, no_sanitizer, node, table

pytestmark = no_sanitizer
distributed = pytest.importorskip("distributed", reason="the batch extra (pip install .[batch])")

SCRIPT = Path(__file__).resolve().parents[1] / "examples" / "dask_validate.py"
EXERCISE = node(kind='{"type":"Exercise"}', payload='{"type":"Exercise","name":"row"}', node_id="e",
                children=[node(node_id=f"s{number}") for number in range(3)])
SOUND = doc(root=node(kind='{"type":"Session"}', payload='{"type":"Temporal"}', node_id="r",
                      children=[EXERCISE]))  # three sets
FAULTY = doc(root=node(kind='{"type":"Block"}', node_id="b",
                       payload='{"type":"Block","execution_mode":{"type":"Sequential"}}'))
BROKEN = '{"id":"w", "version" "1"}'
DOCUMENTS = 360
# Every 20th document is faulty (from the 7th) and every 90th broken (from the 13th): 18 and
# 4, so that the summary shows only the first 20 errors.
KINDS = [FAULTY if number % 20 == 7 else BROKEN if number % 90 == 13 else SOUND
         for number in range(DOCUMENTS)]
FAULTY_ERROR = "b: Block node must have at least one child"
BROKEN_ERROR = "parse error: expected `:`"


@pytest.fixture(scope="module")
def scheduler():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        yield cluster.scheduler_address


def corpus(folder, jsonl):
    """The documents as files of their own, or as JSON lines in 4 files of 90."""
    if not jsonl:
        for number, text in enumerate(KINDS):
            (folder / f"w{number:03}.json").write_text(text, encoding="utf-8")
        return [f"{folder}/w{number:03}.json" for number in range(DOCUMENTS)]
    sources = []
    for part in range(4):
        lines = KINDS[part * 90:(part + 1) * 90]
        (folder / f"part{part}.jsonl").write_text("\n".join(lines) + "\n", encoding="utf-8")
        sources += [f"{folder}/part{part}.jsonl:{line}" for line in range(1, 91)]
    return sources


@pytest.mark.parametrize("jsonl, own_cluster", table(
    ("files-on-running-cluster", False, False),
    ("jsonl-on-running-cluster", True, False),
    ("jsonl-on-own-cluster", True, True),
))
def test_summary(tmp_path, scheduler, jsonl, own_cluster):
    sources = corpus(tmp_path, jsonl)
    pattern = f"{tmp_path}/*.jsonl" if jsonl else f"{tmp_path}/*.json"
    where = ["--workers", "2"] if own_cluster else ["--scheduler", scheduler]
    done = subprocess.run([sys.executable, str(SCRIPT), pattern, *where] + ["--jsonl"] * jsonl,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 1, done.stderr

    errors = []
    for source, text in zip(sources, KINDS):
        # An error is placed at its line and column, `PATH:LINE:COLUMN` either way: a read
        # error where reading stops, a validation error at the node it names.
        place = source if jsonl else source + ":1"
        if text is FAULTY:
            errors.append(f"{place}:32: {FAULTY_ERROR}")
        elif text is BROKEN:
            errors.append(f"{place}:22: {BROKEN_ERROR}")
    assert done.stdout.splitlines() == [
        f"documents: {DOCUMENTS}", "valid: 338", "invalid: 22", f"sets: {338 * 3}",
        "errors: 22 (first 20)", *(f"  {line}" for line in errors[:20]),
    ]
