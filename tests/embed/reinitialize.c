/* Starts and ends the interpreter N times (argv[1], default 2) in one process and uses the
 * module in each runtime: a module kept from an earlier runtime would hand out functions
 * that were cleared when that runtime ended, and so would the names that parse_workout keeps
 * between calls.  Prints one line per runtime: what count_sets gave for a one-set workout,
 * then the message of parse_workout("").  Exits 1 on anything unexpected, with the Python
 * error printed. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdlib.h>

static const char script[] =
    "import tavrik_workout_sdk as sdk\n"
    "doc = '{\"id\":\"w\",\"version\":\"1\",\"root\":{\"id\":\"s\",\"kind\":{\"type\":\"Set\"},'"
    " '\"payload\":{\"type\":\"Leaf\",\"measures\":[{\"type\":\"Reps\",\"value\":5}]}}}'\n"
    "try:\n"
    "    sdk.parse_workout('')\n"
    "except ValueError as error:\n"
    "    message = str(error)\n"
    "assert sdk.to_json(doc)\n"
    /* The names that parse_workout keeps between calls belong to one runtime. */
    "tagged = doc[:-1] + ',\"metadata\":{\"zone\":2}}'\n"
    "for _ in range(2):\n"
    "    got = sdk.parse_workout(tagged)\n"
    "    assert list(got) == ['id', 'version', 'root', 'metadata'], got\n"
    "    assert got['metadata'] == {'zone': 2} and got['root']['payload']['type'] == 'Leaf', got\n"
    "print(sdk.count_sets(doc), message, flush=True)\n";

int main(int argc, char** argv) {
    int runs = argc > 1 ? atoi(argv[1]) : 2;
    for (int i = 0; i < runs; ++i) {
        Py_Initialize();
        if (PyRun_SimpleString(script) != 0) {
            return 1;
        }
        if (Py_FinalizeEx() != 0) {
            return 1;
        }
    }
    return 0;
}
