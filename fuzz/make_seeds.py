"""Writes a seed corpus for the fuzz target: usage `make_seeds.py REPO OUT_DIR`.

Sources, each input written as one file named by its hash:
- the example documents, whole, and every node of their trees as the root of a small
  document of its own, plus their streams and laps on a minimal document;
- the JSON texts in the tests: every string expression in tests/*.py that can be
  evaluated from module-level constants and the builders of conftest.py (doc, node).
  Complete documents are kept as they are; fragments (a measure, a kind, a number
  literal, a broken string...) are placed as a free-form value, as a skipped value, at a
  few of the positions where the reader gives them a typed meaning, and into one of the
  "@" templates that the tests use (positions and template picked by the fragment's hash).

Only the standard library is used, and nothing is imported from the tests except their
builders: pytest and the module are replaced by stand-ins while conftest.py loads.
"""

import ast
import hashlib
import json
import sys
import types
from pathlib import Path

MAX_SIZE = 8192  # the fuzzer's -max_len: larger seeds would be cut short
MAX_FRAGMENT = 600
TYPED_PER_FRAGMENT = 4
SET_NODE = ('{"id":"s","kind":{"type":"Set"},"payload":{"type":"Leaf","measures":'
            '[{"type":"Reps","value":5}]}}')
DOC_HEAD = '{"id":"w","version":"1","root":'

# Positions in a document where a fragment is read as something different; "@" marks it.
CONTEXTS = [
    DOC_HEAD + SET_NODE + ',"metadata":{"k":@}}',  # free-form value
    DOC_HEAD + SET_NODE + ',"extra":@}',  # skipped value
    DOC_HEAD + '{"id":"n","kind":@,"payload":{"type":"Temporal"}}}',
    DOC_HEAD + '{"id":"n","kind":{"type":"Set"},"payload":@}}',
    DOC_HEAD + '{"id":"n","kind":{"type":"Set"},"payload":{"type":"Leaf","measures":[@]}}}',
    DOC_HEAD + '{"id":"n","kind":{"type":"Set"},"payload":{"type":"Leaf","measures":[],"intensity":@}}}',
    DOC_HEAD + '{"id":"n","kind":{"type":"Block"},"payload":{"type":"Block","execution_mode":@}}}',
    DOC_HEAD + '{"id":"n","kind":{"type":"Set"},"payload":{"type":"Leaf","measures":'
               '[{"type":"Weight","value":{"amount":@,"unit":"Kg"}}]}}}',
    DOC_HEAD + SET_NODE + ',"streams":@}',
    DOC_HEAD + SET_NODE + ',"streams":{"timestamps":[],"channels":[{"metric":@,"data":["Scalar",[]]}]}}',
    DOC_HEAD + SET_NODE + ',"streams":{"timestamps":[],"channels":[{"metric":"Power","data":@}]}}',
    DOC_HEAD + SET_NODE + ',"laps":[@]}',
    DOC_HEAD + SET_NODE + ',"laps":[{"trigger":@}]}',
    DOC_HEAD + SET_NODE + ',"laps":[{"summary":@,"trigger":"Manual"}]}',
    '{"id":@,"version":"1","root":' + SET_NODE + '}',  # a string field
    DOC_HEAD + '{"id":"r","kind":{"type":"Session"},"payload":{"type":"Temporal"},"children":[@]}}',
]


def load_builders(repo):
    """conftest.py's globals (doc, node, SET_NODE, ...), loaded with stand-in imports."""
    class Anything:
        # Any attribute, call or decorator of the stand-in modules (pytest.mark.skipif(...)).
        def __getattr__(self, name):
            return self

        def __call__(self, *args, **kwargs):
            return self

    stand_in = types.ModuleType("stand_in")
    stand_in.__getattr__ = lambda name: Anything()
    saved = {name: sys.modules.get(name) for name in ("pytest", "tavrik_workout_sdk")}
    sys.modules["pytest"] = stand_in
    sys.modules["tavrik_workout_sdk"] = stand_in
    env = {"__name__": "conftest"}
    try:
        exec(compile((repo / "tests" / "conftest.py").read_text(), "conftest.py", "exec"), env)
    except Exception as e:  # the constants of the tests still count without the builders
        print(f"make_seeds: conftest.py did not load ({e!r}); going on without its builders", file=sys.stderr)
    finally:
        for name, module in saved.items():
            if module is None:
                sys.modules.pop(name, None)
            else:
                sys.modules[name] = module
    # Only the text builders and plain constants: the tests' expressions are evaluated with
    # these, and a module or class in reach would let a call such as os.symlink(...) or
    # Path(...).write_text(...) act on the working tree.
    plain = (str, int, float, bool, list, tuple, dict, type(None))
    return {k: v for k, v in env.items()
            if not k.startswith("__")
            and (isinstance(v, plain) or (isinstance(v, types.FunctionType) and v.__module__ == "conftest"))}


SAFE_BUILTINS = {"len": len, "str": str, "repr": repr, "range": range, "chr": chr, "int": int,
                 "float": float, "list": list, "tuple": tuple, "dict": dict}


def too_big(node):
    """Whether the expression may build a huge text (the tests' extreme inputs)."""
    for sub in ast.walk(node):
        if isinstance(sub, ast.BinOp) and isinstance(sub.op, ast.Pow):
            return True
        if isinstance(sub, ast.Constant) and isinstance(sub.value, int) and sub.value > 1_000_000:
            return True
    return False


def try_eval(node, env):
    if too_big(node):
        return None
    try:
        code = compile(ast.Expression(body=node), "<test>", "eval")
        return eval(code, {"__builtins__": SAFE_BUILTINS}, env)
    except Exception:
        return None


def strings_in(value, out):
    if isinstance(value, str):
        out.append(value)
    elif isinstance(value, (list, tuple)):
        for v in value:
            strings_in(v, out)
    elif isinstance(value, dict):
        for v in value.values():
            strings_in(v, out)


def test_strings(repo, builders):
    """Every string that a string expression in the tests evaluates to."""
    found = []
    for path in sorted((repo / "tests").glob("test_*.py")):
        tree = ast.parse(path.read_text(), str(path))
        env = dict(builders)
        # Module-level constants first, in order, so that later expressions can use them.
        for stmt in tree.body:
            if isinstance(stmt, ast.Assign) and len(stmt.targets) == 1 and isinstance(stmt.targets[0], ast.Name):
                value = try_eval(stmt.value, env)
                if value is not None:
                    env[stmt.targets[0].id] = value
        for value in env.values():
            strings_in(value, found)
        for node in ast.walk(tree):
            if isinstance(node, ast.Constant) and isinstance(node.value, str):
                found.append(node.value)
            elif isinstance(node, (ast.BinOp, ast.Call, ast.List, ast.Tuple)):
                strings_in(try_eval(node, env), found)
    return found


def as_fragment(s):
    """The JSON text that a test string stands for, or None for prose (messages, ids)."""
    if len(s) > MAX_FRAGMENT or "`" in s:
        return None
    head = s.lstrip(" \t\r\n")[:1]
    if head and head in '{["-0123456789]}':
        return s
    if s.isidentifier() and len(s) <= 24:
        # A bare word: a literal or a broken one as it is, anything else as a name.
        return s if s[0] in "tfn" and len(s) <= 6 else json.dumps(s)
    return None


def is_document(text):
    return text.lstrip(" \t\r\n").startswith("{") and '"root"' in text


def example_documents(repo):
    """The examples whole, and pieces of them small enough for the fuzzer's length limit."""
    out = []
    for path in sorted((repo / "examples").glob("*.json")):
        text = path.read_text(encoding="utf-8")
        out.append(text)
        try:
            workout = json.loads(text)
        except ValueError:
            continue
        stack = [workout.get("root")]
        while stack:
            node = stack.pop()
            if not isinstance(node, dict):
                continue
            stack.extend(node.get("children") or [])
            out.append(json.dumps({"id": "w", "version": "1", "root": node}, ensure_ascii=False))
            small = dict(node, children=(node.get("children") or [])[:1])
            out.append(json.dumps({"id": "w", "version": "1", "root": small}, separators=(",", ":")))
        streams = workout.get("streams")
        if isinstance(streams, dict):
            cut = dict(streams, timestamps=(streams.get("timestamps") or [])[:4])
            channels = []
            for channel in streams.get("channels") or []:
                data = channel.get("data")
                if isinstance(data, dict) and isinstance(data.get("values"), list):
                    channel = dict(channel, data=dict(data, values=data["values"][:4]))
                channels.append(channel)
            cut["channels"] = channels
            out.append(DOC_HEAD + SET_NODE + ',"streams":' + json.dumps(cut) + "}")
        laps = workout.get("laps")
        if isinstance(laps, list):
            out.append(DOC_HEAD + SET_NODE + ',"laps":' + json.dumps(laps[:3]) + "}")
    return out


def main():
    repo, out_dir = Path(sys.argv[1]), Path(sys.argv[2])
    out_dir.mkdir(parents=True, exist_ok=True)
    builders = load_builders(repo)
    strings = test_strings(repo, builders)
    templates = sorted({s for s in strings if "@" in s and is_document(s)})
    seeds = set(example_documents(repo))
    for s in set(strings):
        if "@" in s:
            continue
        if is_document(s):
            seeds.add(s)
            continue
        fragment = as_fragment(s)
        if fragment is None:
            continue
        # Every fragment as a free-form and as a skipped value; a few typed positions
        # each, picked by its hash, keep the corpus small while covering them all.
        pick = int(hashlib.sha1(fragment.encode("utf-8", "surrogatepass")).hexdigest(), 16)
        chosen = CONTEXTS[:2] + [CONTEXTS[2 + (pick >> (8 * i)) % (len(CONTEXTS) - 2)] for i in range(TYPED_PER_FRAGMENT)]
        chosen.append(templates[pick % len(templates)] if templates else CONTEXTS[0])
        seeds.update(c.replace("@", fragment) for c in chosen)
    written = 0
    for seed in sorted(seeds):
        data = seed.encode("utf-8", "surrogatepass")
        try:
            data.decode("utf-8")  # lone surrogates cannot reach the reader
        except UnicodeDecodeError:
            continue
        if len(data) > MAX_SIZE:  # the examples are also run whole, outside the corpus
            continue
        (out_dir / hashlib.sha1(data).hexdigest()).write_bytes(data)
        written += 1
    print(f"make_seeds: {written} seeds from {len(set(strings))} test strings and "
          f"{len(templates)} templates into {out_dir}")


if __name__ == "__main__":
    main()
