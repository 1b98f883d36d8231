"""tavrik-workout lint and tavrik_workout.check(): each rule family on documents that break
it (and on ones that do not), positions in characters, the command's options and formats."""

import json

import pytest
from hypothesis import HealthCheck, given, settings

import tavrik_workout
import tavrik_workout_sdk as sdk
from conftest import SET_NODE, doc, node, read_error
from test_roundtrip_property import workouts
from tavrik_workout import cli
from tavrik_workout.lint import RULES, check, placed_validation_errors


def codes(text):
    return [f.code for f in check(text).findings]


def only(text, code):
    found = [f for f in check(text).findings if f.code == code]
    assert len(found) == 1, check(text).findings
    return found[0]


def where(text, needle, nth=0):
    """(line, 1-based character column, byte offset) of the nth occurrence of `needle`."""
    index = -1
    for _ in range(nth + 1):
        index = text.index(needle, index + 1)
    before = text[:index]
    line = before.count("\n") + 1
    column = len(before) - (before.rfind("\n") + 1) + 1
    return line, column, len(before.encode("utf-8"))


def at(finding):
    return finding.line, finding.column, finding.byte_offset


def pointer(*tokens):
    """A JSON Pointer from its reference tokens."""
    return "".join(f"/{token}" for token in tokens)

class TestReading:
    def test_clean_documents_have_no_findings(self):
        assert codes(doc()) == []
        assert codes(sdk.to_json(doc(sport='"run"', metadata='{"a":[1,2.5,{"b":null}]}'))) == []

    def test_unknown_members_at_every_level_with_a_suggestion_when_close(self):
        text = doc(root='{"id":"s","naem":"x","kind":{"type":"Set","extra":1},'
                        '"payload":{"type":"Leaf","measures":[{"type":"Reps","value":5,"unit":"x"}],"rest_secs":1}}',
                   notes='"keep me"')
        found = [(f.message, f.pointer) for f in check(text).findings]
        assert found == [
            ("unknown member 'naem' (did you mean 'name'?)", pointer("root", "naem")),
            ("unknown member 'extra'", pointer("root", "kind", "extra")),
            ("unknown member 'unit'", pointer("root", "payload", "measures", 0, "unit")),
            ("unknown member 'rest_secs'", pointer("root", "payload", "rest_secs")),
            ("unknown member 'notes'", "/notes"),
        ]
        assert at(check(text).findings[0]) == where(text, '"naem"')

    def test_positional_forms_are_followed(self):
        # A node as an array of its fields, and a payload as [tag, fields...].
        text = doc(root='["s",{"type":"Set"},null,[],["Leaf",[{"type":"Reps","value":0}],null],{"k":1,"k":2}]')
        assert codes(text) == ["V001", "R003"]
        assert only(text, "V001").pointer == pointer("root", 4, 1, 0, "value")
        assert only(text, "R003").pointer == pointer("root", 5, "k")

    def test_repeated_keys_in_metadata_summaries_and_custom_payloads(self):
        text = doc(root=node(payload='{"type":"Custom","a":1,"a":2}', kind='{"type":"Custom","value":"x"}'),
                   metadata='{"b":1,"a":2,"b":3}',
                   laps='[{"trigger":"Manual","summary":{"hr":1,"hr":2}}]')
        found = [f for f in check(text).findings if f.code == "R003"]
        assert [f.pointer for f in found] == [pointer("root", "payload", "a"), "/metadata/b", "/laps/0/summary/hr"]
        assert at(found[1]) == where(text, '"b"')  # the earlier key, the one that is dropped
        assert all(f.fix is not None for f in found)

    def test_numbers_the_normal_form_changes(self):
        text = doc(metadata='{"big":123456789012345678901234567890,"long":19.999999999999999999,'
                            '"ok":[18446744073709551615,-9223372036854775808,0.1,1.50,1e2,-0,90]}')
        found = [(f.pointer, f.message) for f in check(text).findings]
        assert found == [
            ("/metadata/big", "number 123456789012345678901234567890 is written back as 1.2345678901234568e+29"),
            ("/metadata/long", "number 19.999999999999999999 is written back as 20.0"),
        ]

    def test_a_top_level_schema_string_is_not_a_finding(self):
        assert codes(doc(**{"$schema": '"https://example.org/workout.json"'})) == []
        assert codes(doc(**{"$schema": "1"})) == ["R002"]
        assert codes('{"$schema":"a","id":"w","version":"1","$schema":"b","root":' + SET_NODE + "}") == ["R002"]

    def test_a_document_that_does_not_read_is_one_finding_at_the_readers_place(self):
        text = '{"id":"w",\n  "vérsion" "1"}'
        report = check(text)
        assert not report.valid and report.sets is None
        (finding,) = report.findings
        assert finding.code == "R001" and finding.message == "expected `:`"
        # The module says byte column 14; the character column counts é once.
        assert at(finding) == (2, 13, 24)
        assert read_error(text)[1:] == (2, 14)
        assert at(only("", "R001")) == (1, 1, 0)
        assert at(only("{\n", "R001")) == (2, 1, 2)


class TestStructure:
    def test_every_validation_error_at_the_node_it_names(self):
        block = node(kind='{"type":"Block"}', node_id="b",
                     payload='{"type":"Block","execution_mode":{"type":"Sequential"}}',
                     children=[node(node_id="s1"), node(node_id="s1")])
        text = doc(root=node(kind='{"type":"Exercise"}', payload='{"type":"Exercise"}', node_id="e",
                             children=[block, node(kind='{"type":"Set"}', node_id="",
                                                   payload='{"type":"Leaf","measures":[]}')]))
        report = check(text)
        assert not report.valid
        placed = [(f.code, f.node_id, f.pointer, at(f)) for f in report.findings]
        assert placed == [
            ("S005", "b", pointer("root", "children", 0), where(text, '{"id":"b"')),
            ("S004", "s1", pointer("root", "children", 0, "children", 0), where(text, '{"id":"s1"')),
            ("S004", "s1", pointer("root", "children", 0, "children", 1), where(text, '{"id":"s1"', 1)),
            ("S006", "s1", pointer("root", "children", 0, "children", 1), where(text, '{"id":"s1"', 1)),
            ("S002", "", pointer("root", "children", 1), where(text, '{"id":""')),
            ("S007", "", pointer("root", "children", 1), where(text, '{"id":""')),
        ]
        messages = [f.message for f in report.findings if f.code != "S006" and f.code != "S007"]
        assert messages == sdk.validate_workout(text)

    def test_validation_errors_placed_for_the_validate_command(self):
        text = doc(root=node(kind='{"type":"Block"}', node_id="b",
                             payload='{"type":"Block","execution_mode":{"type":"Sequential"}}'))
        placed = placed_validation_errors(text)
        assert [(f.message, at(f)) for f in placed] == [
            ("b: Block node must have at least one child", where(text, '{"id":"b"'))]
        assert placed_validation_errors(doc()) == [] and placed_validation_errors("{") == []

    def test_the_module_verdict_is_kept(self):
        # Findings of other families do not make a sound document invalid.
        report = check(doc(notes="1", root=node(node_id="")))
        assert report.valid and report.sets == 1
        assert [f.code for f in report.findings] == ["S007", "R002"]


class TestRecorded:
    def test_streams_laps_and_positions(self):
        streams = ('{"timestamps":[0,1,1,3],"channels":[{"metric":"HeartRate","data":{"type":"Scalar","values":[1,2,3]}},'
                   '{"metric":"Position","data":{"type":"Position","values":[null,{"lat":91,"lng":0},'
                   '{"lat":0,"lng":-180.5},{"lat":-90,"lng":180}]}}]}')
        laps = ('[{"start_index":0,"end_index":3,"trigger":"Manual"},{"start_index":2,"end_index":1,"trigger":"Auto"},'
                '{"start_index":4,"trigger":"Manual"}]')
        text = doc(streams=streams, laps=laps)
        found = [(f.code, f.pointer) for f in check(text).findings]
        assert found == [
            ("D001", "/streams/timestamps/2"),
            ("D002", "/streams/channels/0/data/values"),
            ("D005", "/streams/channels/1/data/values/1"),
            ("D005", "/streams/channels/1/data/values/2"),
            ("D004", "/laps/1/end_index"),
            ("D003", "/laps/2/start_index"),
        ]
        assert at(check(text).findings[0]) == where(text, "1,3]")

    def test_lap_indices_without_streams_are_beyond_the_samples(self):
        assert codes(doc(laps='[{"start_index":0,"trigger":"Manual"}]')) == ["D003"]
        assert codes(doc(laps='[{"trigger":"Manual"}]')) == []


class TestValues:
    @pytest.mark.parametrize("measure, code", [
        ('{"type":"Reps","value":0}', "V001"),
        ('{"type":"Weight","value":{"amount":-2.5,"unit":"Kg"}}', "V001"),
        ('{"type":"Distance","value":{"amount":0,"unit":"Meters"}}', "V001"),
        ('{"type":"Duration","value":{"seconds":-1}}', "V001"),
        ('{"type":"HeartRate","value":{"bpm":19}}', "V002"),
        ('{"type":"HeartRate","value":{"bpm":251}}', "V002"),
    ])
    def test_measures_no_plan_means(self, measure, code):
        text = doc(root=node(payload='{"type":"Leaf","measures":[' + measure + "]}"))
        finding = only(text, code)
        assert finding.node_id == "n" and finding.pointer.startswith(pointer("root", "payload", "measures", 0, "value"))

    @pytest.mark.parametrize("measure", [
        '{"type":"Reps","value":1}', '{"type":"Weight","value":{"amount":0.5,"unit":"Lbs"}}',
        '{"type":"HeartRate","value":{"bpm":20}}', '{"type":"HeartRate","value":{"bpm":250}}',
        '{"type":"Calories","value":0}',
    ])
    def test_measures_that_are_fine(self, measure):
        assert codes(doc(root=node(payload='{"type":"Leaf","measures":[' + measure + "]}"))) == []

    def test_intensity_and_rest(self):
        over = doc(root=node(payload='{"type":"Leaf","measures":[{"type":"Reps","value":5}],'
                                     '"intensity":{"type":"PercentOfMax","value":100.5}}'))
        assert only(over, "V003").pointer == pointer("root", "payload", "intensity", "value")
        full = over.replace("100.5", "100")
        assert codes(full) == []
        rest = doc(root=node(kind='{"type":"Session"}', payload='{"rest_seconds":-30,"type":"Temporal"}'))
        assert at(only(rest, "V004")) == where(rest, "-30")


class TestApi:
    def test_report_fields_and_version(self):
        report = tavrik_workout.check(doc(notes="1"))
        assert (report.valid, report.sets) == (True, 1)
        assert report.findings[0].as_json()["byte_offset"] == report.findings[0].byte_offset
        assert tavrik_workout.__version__[0].isdigit()

    def test_parse_raises_a_placed_value_error(self):
        text = doc(root=node(kind='{"type":"Block"}', node_id="b"))
        with pytest.raises(ValueError) as caught:
            tavrik_workout.parse(text)
        error = caught.value
        assert isinstance(error, tavrik_workout.WorkoutError)
        assert (error.code, error.node_id, error.pointer) == ("S001", "b", pointer("root"))
        assert str(error) == sdk.validate_workout(text)[0]
        with pytest.raises(tavrik_workout.WorkoutError) as caught:
            tavrik_workout.parse('{"id": 1}')
        assert (caught.value.code, caught.value.line, caught.value.column) == ("R001", 1, 8)
        assert tavrik_workout.parse(doc())["root"]["id"] == "s"

    def test_the_observed_read_agrees_with_the_module(self, examples_texts):
        from tavrik_workout import _native
        for text in examples_texts:
            raw = _native.report(text)
            try:
                normal = sdk.to_json(text)
                assert raw["normal"] == normal
                assert raw["sets"] == sdk.count_sets(text)
                assert [v[2] for v in raw["validation"]] == sdk.validate_workout(text)
                assert raw["complete"]
            except ValueError as error:
                message, line, column = raw["error"]
                assert str(error) == f"parse error: {message} at line {line} column {column}"

    @settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(workouts(valid=False))
    def test_what_the_normal_form_holds_is_never_reported_lost(self, workout):
        text = json.dumps(workout, ensure_ascii=False)
        report = check(text)
        assert [f for f in report.findings if f.code[0] == "R"] == []
        assert report.valid == (sdk.validate_workout(text) == [])
        assert report.sets == sdk.count_sets(text) and report.normal == sdk.to_json(text)
        # The same errors, here in the order of their places rather than of the walk.
        placed = [f for f in report.findings if f.code in ("S001", "S002", "S003", "S004", "S005")]
        assert sorted(f.message for f in placed) == sorted(sdk.validate_workout(text))

    def test_bad_arguments_are_type_errors(self):
        from tavrik_workout import _native
        with pytest.raises(TypeError):
            _native.report(b"{}")
        with pytest.raises(TypeError):
            _native.report()


@pytest.fixture
def examples_texts():
    from pathlib import Path
    root = Path(__file__).resolve().parent.parent
    texts = [p.read_text(encoding="utf-8") for p in sorted((root / "examples").glob("*.json"))]
    texts += [p.read_text(encoding="utf-8") for p in sorted((root / "fuzz" / "seeds").glob("*.json"))]
    texts += ["", "[]", '{"id":"w"}', doc()[:-5], doc() + ",", doc(root="[" + SET_NODE + "]")]
    return texts


def lint(capsys, *args):
    status = cli.main(["lint", "-j", "1", *map(str, args)])
    out, err = capsys.readouterr()
    return status, out, err


class TestLintCommand:
    @pytest.fixture
    def files(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        (tmp_path / "a.json").write_text(doc(notes="1", metadata='{"k":1,"k":2}'), encoding="utf-8")
        (tmp_path / "b.json").write_text(doc(), encoding="utf-8")
        return tmp_path

    def test_text_output_sorted_with_a_summary_and_exit_1(self, files, capsys):
        status, out, err = lint(capsys, "a.json", "b.json")
        text = (files / "a.json").read_text()
        assert status == 1
        line, column, _ = where(text, '"k"')
        assert out.splitlines() == [f"a.json:1:{where(text, 'notes')[1] - 1}: R002 unknown member 'notes'",
                                    f"a.json:{line}:{column}: R003 repeated key 'k': the later value wins"]
        assert err.splitlines()[-1] == "Found 2 findings; 1 fixable with --fix."
        assert lint(capsys, "b.json")[0] == 0

    def test_select_ignore_and_the_pyproject_section(self, files, capsys):
        assert lint(capsys, "a.json", "--select", "R003")[1].count("\n") == 1
        assert lint(capsys, "a.json", "--ignore", "R")[0] == 0
        assert lint(capsys, "a.json", "--select", "unknown-member")[1].count("R002") == 1
        (files / "pyproject.toml").write_text('[tool.tavrik-workout]\nignore = ["R002"]\n')
        status, out, _ = lint(capsys, "a.json")
        assert status == 1 and "R002" not in out and "R003" in out
        # The command line replaces the file's setting.
        assert "R002" in lint(capsys, "a.json", "--ignore", "R003")[1]
        other = files / "other.toml"
        other.write_text('[tool.tavrik-workout]\nselect = ["S"]\n')
        assert lint(capsys, "a.json", "--config", other)[0] == 0

    @pytest.mark.parametrize("setting, message", [
        ('select = ["X9"]', "unknown rule selector 'X9'"),
        ('select = "R"', "select must be a list of rule codes"),
        ('colour = 1', "unknown setting 'colour'"),
        ('select = [', "not valid TOML"),
    ])
    def test_bad_settings_are_one_line_and_exit_2(self, files, capsys, setting, message):
        (files / "pyproject.toml").write_text("[tool.tavrik-workout]\n" + setting + "\n")
        status, out, err = lint(capsys, "a.json")
        assert status == 2 and out == ""
        assert len(err.splitlines()) == 1 and message in err and "Traceback" not in err

    def test_json_github_sarif_and_statistics(self, files, capsys):
        status, out, _ = lint(capsys, "a.json", "--output-format", "json")
        records = json.loads(out)
        assert status == 1 and [r["code"] for r in records] == ["R002", "R003"]
        assert set(records[0]) >= {"path", "line", "column", "byte_offset", "node_id", "pointer"}
        out = lint(capsys, "a.json", "--output-format", "github")[1]
        assert out.splitlines()[1].startswith("::error title=R003 repeated-key,file=a.json,line=1,col=")
        sarif = json.loads(lint(capsys, "a.json", "--output-format", "sarif")[1])
        results = sarif["runs"][0]["results"]
        assert [r["ruleId"] for r in results] == ["R002", "R003"]
        assert results[0]["locations"][0]["physicalLocation"]["region"]["startColumn"] == records[0]["column"]
        out = lint(capsys, "a.json", "b.json", "--statistics")[1]
        assert out.splitlines() == ["1\tR002\tunknown-member", "1\tR003\trepeated-key"]

    def test_fix_removes_only_the_safe_kind_and_keeps_the_rest(self, files, capsys):
        text = doc(notes="1", metadata='{"k":1, "j":[1,\n2],\n "k":2,"k":3}')
        (files / "a.json").write_text(text)
        status, out, err = lint(capsys, "a.json", "--fix")
        fixed = (files / "a.json").read_text()
        assert fixed == doc(notes="1", metadata='{"j":[1,\n2],\n "k":3}')
        assert sdk.to_json(fixed) == sdk.to_json(text)
        assert status == 1 and "R002" in out and "R003" not in out and "(2 fixed)" in err
        assert lint(capsys, "b.json", "--fix")[0] == 0

    def test_every_rule_has_a_family_and_a_name(self):
        assert all(code[0] in "RSDV" and rule.name for code, rule in RULES.items())
