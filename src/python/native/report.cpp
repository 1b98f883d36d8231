// report(json): what a read keeps, drops and where, for the companion package's lint, fmt
// and check().  Python glue only; the survey itself is model/survey.hpp.
#include "python/arguments.hpp"
#include "python/boundary.hpp"
#include "python/native/capability.hpp"
#include "python/results.hpp"

#include "model/arena.hpp"
#include "model/survey.hpp"
#include "model/write.hpp"
#include "ops/count.hpp"
#include "ops/validate.hpp"

#include <array>
#include <cstddef>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavrik::python::native {

namespace {

// Puts `value` under `key`; false (with the exception pending) when either failed.
bool put(PyObject* dict, const char* key, PyObject* value) {
    if (value == nullptr) return false;
    PyRef owned = PyRef::steal(value);
    return PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* text(std::string_view s) { return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"); }

PyObject* size(std::size_t n) { return PyLong_FromSize_t(n); }

void preorder(const model::Node& node, std::vector<const model::Node*>& out) {
    out.push_back(&node);
    for (const model::Node& child : node.children) preorder(child, out);
}

const char* loss_word(model::Loss::Kind kind) {
    switch (kind) {
        case model::Loss::Kind::UnknownMember: return "unknown-member";
        case model::Loss::Kind::RepeatedKey: return "repeated-key";
        case model::Loss::Kind::Number: break;
    }
    return "number";
}

// Appends each of `items` made by `make` (a new reference or null) to a new list.
template <class Items, class Make>
PyObject* list_of(const Items& items, Make&& make) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    Py_ssize_t slot = 0;
    for (const auto& item : items) {
        PyObject* element = make(item);
        if (element == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), slot++, element);
    }
    return list.release();
}

PyObject* place_tuple(const model::Place& place) {
    return Py_BuildValue("(nN)", static_cast<Py_ssize_t>(place.offset), text(place.pointer));
}

Outcome build(std::string_view input) {
    model::Arena arena;
    model::Arena::Scope scope(arena);
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return std::unexpected(BoundaryError::api_call_failed());
    auto observed = model::observe_document(input);
    if (!observed) {
        const json::Error& e = observed.error();
        if (!put(dict.get(), "error", Py_BuildValue("(Nnn)", text(e.message()), static_cast<Py_ssize_t>(e.line()),
                                                    static_cast<Py_ssize_t>(e.column()))))
            return std::unexpected(BoundaryError::fetch());
        return dict;
    }
    const model::Workout& workout = observed->workout;
    const model::Survey& survey = observed->survey;

    std::vector<const model::Node*> nodes;
    preorder(workout.root, nodes);
    std::unordered_map<const model::Node*, std::size_t> index;
    for (std::size_t i = 0; i < nodes.size(); ++i) index.emplace(nodes[i], i);
    // The survey walks the text in document order, which is the tree's pre-order.
    const bool placed = survey.complete && survey.nodes.size() == nodes.size();

    std::vector<const model::Node*> where;
    const auto errors = ops::validate(workout, &where);
    std::vector<std::size_t> error_nodes;
    for (const model::Node* node : where) error_nodes.push_back(index.at(node));

    std::size_t n = 0;
    bool ok = put(dict.get(), "error", Py_NewRef(Py_None)) && put(dict.get(), "complete", PyBool_FromLong(placed)) &&
              put(dict.get(), "sets", PyLong_FromUnsignedLong(ops::count_sets(workout))) &&
              put(dict.get(), "normal", text(model::write_document(workout, 3 * input.size() + 4096))) &&
              put(dict.get(), "nodes", list_of(nodes, [&](const model::Node* node) {
                      const std::size_t i = n++;
                      const model::Place none{};
                      const model::Place& place = placed ? survey.nodes[i] : none;
                      return Py_BuildValue("(NnN)", text(node->id), static_cast<Py_ssize_t>(place.offset),
                                           text(place.pointer));
                  }));
    n = 0;
    ok = ok && put(dict.get(), "validation", list_of(errors, [&](const ops::ValidationError& error) {
                       const std::size_t i = n++;
                       return Py_BuildValue("(nNN)", static_cast<Py_ssize_t>(error_nodes[i]), text(error.message),
                                            text(error.display()));
                   }));
    ok = ok && put(dict.get(), "losses", list_of(survey.losses, [&](const model::Loss& loss) {
                       PyObject* known = list_of(loss.known, [](std::string_view name) { return text(name); });
                       return Py_BuildValue("(sNnNNnn)", loss_word(loss.kind), text(loss.place.pointer),
                                            static_cast<Py_ssize_t>(loss.place.offset), text(loss.name), known,
                                            static_cast<Py_ssize_t>(loss.value_begin),
                                            static_cast<Py_ssize_t>(loss.value_end));
                   }));
    if (!ok) return std::unexpected(BoundaryError::fetch());

    PyRef places = PyRef::steal(PyDict_New());
    PyRef samples = PyRef::steal(PyDict_New());
    if (!places || !samples) return std::unexpected(BoundaryError::fetch());
    for (const auto& [pointer, place] : survey.places) {
        PyRef key = PyRef::steal(text(pointer));
        PyRef value = PyRef::steal(place_tuple(place));
        if (!key || !value || PyDict_SetItem(places.get(), key.get(), value.get()) != 0)
            return std::unexpected(BoundaryError::fetch());
    }
    for (const auto& [pointer, offsets] : survey.samples) {
        PyRef key = PyRef::steal(text(pointer));
        PyRef value = PyRef::steal(list_of(offsets, [](std::size_t offset) { return size(offset); }));
        if (!key || !value || PyDict_SetItem(samples.get(), key.get(), value.get()) != 0)
            return std::unexpected(BoundaryError::fetch());
    }
    if (!put(dict.get(), "places", places.release()) || !put(dict.get(), "samples", samples.release()))
        return std::unexpected(BoundaryError::fetch());
    return dict;
}

PyObject* report(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_boundary([&]() -> Outcome {
        Result<std::string_view> input = json_argument("report", args, nargs, kwnames);
        if (!input) return std::unexpected(std::move(input.error()));
        return build(*input);
    });
}

const std::array<PyMethodDef, 1> methods{{
    {"report", as_method(report), METH_FASTCALL | METH_KEYWORDS,
     "report(json)\n--\n\n"
     "Read a workout as tavrik_workout_sdk does and say where its values are and what its normal "
     "form would drop. A dict: error (message, line, byte column) or None; otherwise sets, normal "
     "(the normal form), nodes [(id, offset, pointer)], validation [(node, message, text)], "
     "losses [(kind, pointer, offset, name, known, value_begin, value_end)], places {normal "
     "pointer: (offset, pointer)}, samples {normal pointer: [offset]}; offsets count bytes."},
}};

}  // namespace

const Capability report_capability{methods, nullptr};

}  // namespace tavrik::python::native
