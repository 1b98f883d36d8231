"""The lint's findings as text, JSON, GitHub workflow annotations or SARIF."""

from __future__ import annotations

import json
from collections import Counter
from typing import Any, Iterable

from tavrik_workout.lint.check import Finding
from tavrik_workout.lint.rules import RULES

Located = tuple[str, Finding]  # (path, finding)


def text_lines(findings: Iterable[Located]) -> list[str]:
    return [f"{path}:{f.line}:{f.column}: {f.code} {f.message}" for path, f in findings]


def json_text(findings: Iterable[Located]) -> str:
    return json.dumps([{"path": path, **f.as_json()} for path, f in findings], ensure_ascii=False, indent=2)


def _escape_data(text: str) -> str:
    return text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")


def _escape_property(text: str) -> str:
    return _escape_data(text).replace(":", "%3A").replace(",", "%2C")


def github_lines(findings: Iterable[Located]) -> list[str]:
    """Workflow commands that annotate the files of a pull request."""
    return [f"::error title={_escape_property(f.code + ' ' + f.name)},file={_escape_property(path)},"
            f"line={f.line},col={f.column}::{_escape_data(f.code + ' ' + f.message)}"
            for path, f in findings]


def sarif_text(findings: Iterable[Located], version: str) -> str:
    located = list(findings)
    used = sorted({f.code for _, f in located})
    log: dict[str, Any] = {
        "$schema": "https://json.schemastore.org/sarif-2.1.0.json",
        "version": "2.1.0",
        "runs": [{
            "tool": {"driver": {
                "name": "tavrik-workout",
                "version": version,
                "rules": [{"id": code, "name": RULES[code].name,
                           "shortDescription": {"text": RULES[code].summary}} for code in used],
            }},
            # Our columns count characters, not UTF-16 units.
            "columnKind": "unicodeCodePoints",
            "results": [{
                "ruleId": f.code,
                "ruleIndex": used.index(f.code),
                "level": "error",
                "message": {"text": f.message},
                "locations": [{"physicalLocation": {
                    "artifactLocation": {"uri": path},
                    "region": {"startLine": f.line, "startColumn": f.column, "byteOffset": f.byte_offset},
                }}],
            } for path, f in located],
        }],
    }
    return json.dumps(log, ensure_ascii=False, indent=2)


def statistics_lines(findings: Iterable[Located]) -> list[str]:
    """One line a rule: how many findings, the code, the name; most frequent first."""
    counts = Counter(f.code for _, f in findings)
    ordered = sorted(counts.items(), key=lambda item: (-item[1], item[0]))
    width = max((len(str(count)) for count in counts.values()), default=1)
    return [f"{count:>{width}}\t{code}\t{RULES[code].name}" for code, count in ordered]
