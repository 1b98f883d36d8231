// Coverage-guided fuzz target over the core: read a document both with the fast paths and
// with the general reading alone, which must agree; walk it for its node entries, which
// when the walk accepts must give the general reading's validation and count, and take its
// stream, lap and set columns, which when those walks accept must be the general reading's
// bit for bit, and where one of these walks gives up at a fault of the grammar that it
// words without the general reading, the error must be that reading's, message and
// position; for every document that reads, check
// that writing it is a fixed point of read-then-write and that validation and counting
// give the same answers for the written text as for the original.  For every document
// that does not read, check that the error says what and where.  The observed read (the
// read with its survey) must accept and refuse exactly what the plain read does, find
// every node, and find nothing lost in a text that is already in normal form.
//
// The builder of parse_workout's objects (python/parse_sink.hpp, which needs no Python) runs
// here over a backend that makes a plain tree with the same dict semantics: when its walk
// accepts, the general reading accepts, and the tree equals the one that the model's
// emit() (what the module's conversion follows) gives, down to the bits of every double;
// and every value it made is released exactly once, whether it finished or gave up.
//
// Any violated property aborts with a message on stderr, which libFuzzer reports as a
// crash together with the input.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/arena.hpp"
#include "model/document.hpp"
#include "model/emit.hpp"
#include "model/fast_read.hpp"
#include "model/fast_write.hpp"
#include "model/survey.hpp"
#include "model/write.hpp"
#include "json/number.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"
#include "arrow/table.hpp"
#include "ops/columns.hpp"
#include "ops/count.hpp"
#include "ops/node_view.hpp"
#include "ops/validate.hpp"
#include "python/parse_sink.hpp"

namespace {

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "\nfuzz_roundtrip: %s\n", what);
    if (!detail.empty()) {
        std::fprintf(stderr, "--- detail (%zu bytes) ---\n%.*s\n---\n", detail.size(),
                     static_cast<int>(detail.size()), detail.data());
    }
    std::fflush(stderr);
    std::abort();
}

// Strict UTF-8, exactly what CPython's encoder produces for a str without lone surrogates:
// shortest forms only, no surrogate code points, nothing above U+10FFFF.
bool valid_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
        unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t n;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            if (c == 0xE0) lo = 0xA0;       // overlong
            else if (c == 0xED) hi = 0x9F;  // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            if (c == 0xF0) lo = 0x90;       // overlong
            else if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) <= n) return false;
        if (p[1] < lo || p[1] > hi) return false;
        for (std::size_t i = 2; i <= n; ++i) {
            if (p[i] < 0x80 || p[i] > 0xBF) return false;
        }
        p += n + 1;
    }
    return true;
}

// A position is derived from a byte offset into the text, so its line exists and its
// column does not run past the end of that line (the line feed itself starts the next).
bool position_in_text(std::string_view text, std::size_t line, std::size_t column) {
    if (line == 0) return false;
    std::size_t start = 0;
    for (std::size_t l = 1; l < line; ++l) {
        std::size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos) return false;
        start = nl + 1;
    }
    std::size_t stop = text.find('\n', start);
    if (stop == std::string_view::npos) stop = text.size();
    return column <= stop - start;
}

std::size_t node_count(const tavrik::model::Node& node) {
    std::size_t n = 1;
    for (const auto& child : node.children) n += node_count(child);
    return n;
}

std::vector<std::string> displays(const std::vector<tavrik::ops::ValidationError>& errors) {
    std::vector<std::string> out;
    out.reserve(errors.size());
    for (const auto& e : errors) out.push_back(e.display());
    return out;
}

bool holds_value(const tavrik::arrow::Column& column, std::int64_t row) {
    if (!column.validity) return true;
    const auto* bits = static_cast<const std::uint8_t*>(column.validity.data);
    return (bits[row / 8] >> (row % 8) & 1) != 0;
}

// The same names, types, lengths, nulls and value bytes (of the rows that hold a value;
// doubles compared as bits, so -0.0 and 0.0 differ).
bool same_column(const tavrik::arrow::Column& a, const tavrik::arrow::Column& b) {
    using tavrik::arrow::Type;
    if (a.name != b.name || a.type != b.type || a.length != b.length || a.null_count != b.null_count ||
        a.children.size() != b.children.size()) {
        return false;
    }
    for (std::int64_t row = 0; row < a.length; ++row) {
        if (holds_value(a, row) != holds_value(b, row)) return false;
        if (a.type == Type::Float64 && holds_value(a, row) &&
            std::memcmp(static_cast<const double*>(a.values.data) + row, static_cast<const double*>(b.values.data) + row,
                        sizeof(double)) != 0) {
            return false;
        }
    }
    if (a.type != Type::Float64 && a.type != Type::Struct) {
        if (a.values.bytes != b.values.bytes || a.data.bytes != b.data.bytes) return false;
        if (a.values.bytes != 0 && std::memcmp(a.values.data, b.values.data, a.values.bytes) != 0) return false;
        if (a.data.bytes != 0 && std::memcmp(a.data.data, b.data.data, a.data.bytes) != 0) return false;
    }
    for (std::size_t i = 0; i < a.children.size(); ++i) {
        if (!same_column(a.children[i], b.children[i])) return false;
    }
    return true;
}

// ---- a plain tree with the value semantics of Python's objects ----

struct Obj {
    enum Kind { Null, Bool, U64, I64, F64, Str, List, Dict } kind;
    std::uint64_t bits = 0;  // the bool, the integer or the double's bits
    std::string text;
    std::vector<Obj*> items;
    std::vector<std::pair<std::string, Obj*>> entries;  // in insertion order
    int refs = 1;
    bool pinned = false;  // a key owned by the backend
};

// Every object lives until the end of the input; `refs` says whether its owner let go.
class Objects {
public:
    Obj* make(Obj::Kind kind, std::uint64_t bits = 0, std::string_view text = {}) {
        all_.push_back(std::make_unique<Obj>());
        Obj* o = all_.back().get();
        o->kind = kind;
        o->bits = bits;
        o->text.assign(text);
        return o;
    }
    void release(Obj* o) {
        if (o->pinned) fail("a borrowed key was released");
        if (o->refs <= 0) fail("a built value was released twice");
        if (--o->refs > 0) return;
        for (Obj* item : o->items) release(item);
        for (auto& entry : o->entries) release(entry.second);
    }
    // A dict keeps the place of a key set again and takes the new value, as Python's does.
    void set(Obj* dict, std::string_view key, Obj* value) {
        for (auto& entry : dict->entries) {
            if (entry.first == key) {
                release(entry.second);
                entry.second = value;
                return;
            }
        }
        dict->entries.emplace_back(std::string(key), value);
    }
    std::size_t live() const {
        std::size_t n = 0;
        for (const auto& o : all_) n += !o->pinned && o->refs > 0;
        return n;
    }

private:
    std::vector<std::unique_ptr<Obj>> all_;
};

std::uint64_t bits_of(double d) {
    std::uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

void dump(const Obj* o, std::string& out) {
    switch (o->kind) {
        case Obj::Null: out += "null"; return;
        case Obj::Bool: out += o->bits ? "true" : "false"; return;
        case Obj::U64: out += "u" + std::to_string(o->bits); return;
        case Obj::I64: out += "i" + std::to_string(static_cast<std::int64_t>(o->bits)); return;
        case Obj::F64: out += "f" + std::to_string(o->bits); return;
        case Obj::Str: out += "\"" + o->text + "\""; return;
        case Obj::List:
            out += "[";
            for (const Obj* item : o->items) {
                dump(item, out);
                out += ",";
            }
            out += "]";
            return;
        case Obj::Dict:
            out += "{";
            for (const auto& [key, value] : o->entries) {
                out += "\"" + key + "\":";
                dump(value, out);
                out += ",";
            }
            out += "}";
            return;
    }
}

// The backend of the builder over Objects.
class TreeBackend {
public:
    using Value = Obj*;
    explicit TreeBackend(Objects& objects) : o_(objects) {}
    Obj* none() { return o_.make(Obj::Null); }
    Obj* boolean(bool b) { return o_.make(Obj::Bool, b); }
    Obj* u64(std::uint64_t v) { return o_.make(Obj::U64, v); }
    Obj* i64(std::int64_t v) { return o_.make(Obj::I64, static_cast<std::uint64_t>(v)); }
    Obj* f64(double d) { return o_.make(Obj::F64, bits_of(d)); }
    Obj* str(std::string_view s) { return o_.make(Obj::Str, 0, s); }
    Obj* name(std::string_view s) { return key(s); }
    Obj* name_value(std::string_view s) { return str(s); }
    Obj* data_key(std::string_view s) { return key(s); }
    Obj* dict(std::size_t) { return o_.make(Obj::Dict); }
    bool set(Obj* dict, Obj* key, Obj* value) {
        if (!key->pinned) fail("a dict key that the backend does not own");
        o_.set(dict, key->text, value);
        return true;
    }
    Obj* list(Obj** items, std::size_t n) {
        Obj* l = o_.make(Obj::List);
        l->items.assign(items, items + n);
        return l;
    }
    bool empty_list(Obj* v) { return v->items.empty(); }
    bool empty_dict(Obj* v) { return v->entries.empty(); }
    void release(Obj* v) { o_.release(v); }

private:
    Obj* key(std::string_view s) {
        Obj* k = o_.make(Obj::Str, 0, s);
        k->pinned = true;
        return k;
    }
    Objects& o_;
};

// A sink of the model's emit() that makes the same tree, as the module's conversion makes
// Python objects.
class EmitTree {
public:
    explicit EmitTree(Objects& objects) : o_(objects) {}
    void begin_object() { open(o_.make(Obj::Dict)); }
    void begin_array(std::size_t) { open(o_.make(Obj::List)); }
    void end_object() { close(); }
    void end_array() { close(); }
    void key(std::string_view k) { keys_.back().assign(k); }
    void field(std::string_view k) { keys_.back().assign(k); }
    void null() { place(o_.make(Obj::Null)); }
    void boolean(bool b) { place(o_.make(Obj::Bool, b)); }
    void u64(std::uint64_t v) { place(o_.make(Obj::U64, v)); }
    void i64(std::int64_t v) { place(o_.make(Obj::I64, static_cast<std::uint64_t>(v))); }
    void f64(double d) { place(o_.make(Obj::F64, bits_of(d))); }
    void string(std::string_view s) { place(o_.make(Obj::Str, 0, s)); }
    Obj* result() const { return result_; }

private:
    void open(Obj* o) {
        stack_.push_back(o);
        keys_.emplace_back();
    }
    void close() {
        Obj* o = stack_.back();
        stack_.pop_back();
        keys_.pop_back();
        place(o);
    }
    void place(Obj* o) {
        if (stack_.empty()) {
            result_ = o;
        } else if (stack_.back()->kind == Obj::List) {
            stack_.back()->items.push_back(o);
        } else {
            o_.set(stack_.back(), keys_.back(), o);
        }
    }
    Objects& o_;
    std::vector<Obj*> stack_;
    std::vector<std::string> keys_;
    Obj* result_ = nullptr;
};

}  // namespace

// Every run of number bytes in the text that the reader takes whole as a number: the
// writer's text made from the token alone must be the text of the value read from it, and
// a token judged already written must be that text, at the end of the text or before more.
void check_double_tokens(std::string_view text) {
    auto number_byte = [](char c) { return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E'; };
    for (std::size_t i = 0; i < text.size();) {
        if (!number_byte(text[i])) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < text.size() && number_byte(text[j])) ++j;
        const std::string_view token = text.substr(i, j - i);
        i = j;
        tavrik::json::Reader reader(token);
        const auto number = reader.parse_number();
        if (!number || reader.peek() != tavrik::json::kEof) continue;
        char want[tavrik::json::kDoubleRoom];
        const std::string_view expected(want, static_cast<std::size_t>(tavrik::json::write_double(want, number->as_double()) - want));
        char got[tavrik::json::kDoubleRoom];
        if (std::string_view(got, static_cast<std::size_t>(tavrik::json::write_double_of_token(got, token) - got)) != expected) {
            fail("a double written from its token differs from the writer's", token);
        }
        const std::string alone(token);
        // The samples' short scan, where it takes the token, stops at its end with the
        // reader's double; at its place in the text, and with room after it for the loads.
        const std::string padded = alone + ']' + std::string(24, ' ');
        const double value = number->as_double();
        for (const std::string_view at : {text.substr(static_cast<std::size_t>(token.data() - text.data())),
                                          std::string_view(padded)}) {
            double sample = 0;
            const char* stop = tavrik::json::scan_sample(at.data(), at.data() + at.size(), sample);
            if (stop != nullptr && (stop != at.data() + token.size() || std::memcmp(&sample, &value, sizeof value) != 0)) {
                fail("a sample scanned short differs from the reader's double", token);
            }
        }
        if ((tavrik::json::double_token_written(token.data(), token.data() + token.size(), text.data() + text.size()) ||
             tavrik::json::double_token_written(alone.data(), alone.data() + alone.size(), alone.data() + alone.size())) &&
            token != expected) {
            fail("a double token taken as written is not the writer's text", token);
        }
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // The module only ever reads the UTF-8 of a Python str, which is always valid: inputs
    // that are not valid UTF-8 cannot reach the reader, so they are skipped (and kept out
    // of the corpus) rather than mapped to something else, which would make the mutations
    // lie about the bytes being tested.
    if (!valid_utf8(text)) return -1;

    // The fast paths must agree with the general reading they shortcut: the same written
    // form on success, the same message and position on failure.  The general reading
    // builds on the heap; the rest runs in an arena, as the module's calls do.
    auto general = tavrik::model::read_document(text, {.direct_reads = false});
    tavrik::model::Arena arena;
    tavrik::model::Arena::Scope scope(arena);
    auto read = tavrik::model::read_document(text);
    if (read.has_value() != general.has_value()) {
        fail("fast and general reading disagree on success",
             read ? general.error().display() : read.error().display());
    }
    if (!read && read.error().display() != general.error().display()) {
        fail("fast and general reading give different errors", read.error().display() + "\n" + general.error().display());
    }
    if (read && tavrik::model::write_document(*read) != tavrik::model::write_document(*general)) {
        fail("fast and general reading give different documents", text);
    }
    // The walk without a model may give up on anything, but what it accepts the general
    // reading accepts, with the same validation errors and the same count; and a fault it
    // words where it gave up is the general reading's error, message and position.
    const auto same_fault = [&](const std::optional<tavrik::json::Error>& fault, const char* what) {
        if (!fault) return;
        if (general) fail(what, "the general reading accepts the text");
        if (fault->display() != general.error().display()) {
            fail(what, fault->display() + "\n--- general ---\n" + general.error().display());
        }
    };
    if (auto scan = tavrik::ops::scan_nodes(text); scan.nodes) {
        const auto& nodes = scan.nodes;
        if (!general) fail("the node walk accepts what the general reading refuses", general.error().display());
        if (displays(tavrik::ops::validate(*nodes)) != displays(tavrik::ops::validate(*general))) {
            fail("the node walk and the general reading validate differently", text);
        }
        if (tavrik::ops::count_sets(*nodes) != tavrik::ops::count_sets(*general)) {
            fail("the node walk and the general reading count differently", text);
        }
    } else {
        same_fault(scan.fault, "the node walk words a fault otherwise than the general reading");
    }
    // The stream columns taken straight from the text: what that walk accepts, the general
    // reading accepts, and its columns are the ones made from the general reading's
    // workout, bit for bit, ragged error and padding included.
    for (const auto ragged : {tavrik::ops::Ragged::Error, tavrik::ops::Ragged::Pad}) {
        auto walked = tavrik::ops::walk_stream_columns(text, ragged);
        if (!walked) continue;
        if (!general) fail("the streams walk accepts what the general reading refuses", general.error().display());
        auto workout = tavrik::model::read_document(text, {.direct_reads = false});
        auto made = tavrik::ops::stream_columns(*workout, ragged);
        if (walked->has_value() != made.has_value()) fail("the streams walk and the general reading disagree on raggedness", text);
        if (!made) {
            if (walked->error() != made.error()) fail("the streams walk words a ragged channel differently", text);
            continue;
        }
        const auto& a = **walked;
        if (a.rows != made->rows || a.columns.size() != made->columns.size()) fail("the streams walk makes another table", text);
        for (std::size_t i = 0; i < a.columns.size(); ++i) {
            if (!same_column(a.columns[i], made->columns[i])) fail("the streams walk makes another column", text);
        }
    }
    // The lap and set columns taken straight from the text, the same way.
    {
        const auto same_table = [&](const tavrik::arrow::Table& a, const tavrik::arrow::Table& b, const char* what) {
            if (a.rows != b.rows || a.columns.size() != b.columns.size()) fail(what, text);
            for (std::size_t i = 0; i < a.columns.size(); ++i) {
                if (a.columns[i].name != b.columns[i].name || !same_column(a.columns[i], b.columns[i])) fail(what, text);
            }
        };
        if (auto laps = tavrik::ops::walk_lap_columns(text)) {
            if (!general) fail("the laps walk accepts what the general reading refuses", general.error().display());
            same_table(*laps, tavrik::ops::lap_columns(*general), "the laps walk makes another table");
        }
        if (auto sets = tavrik::ops::walk_set_columns(text)) {
            if (!general) fail("the sets walk accepts what the general reading refuses", general.error().display());
            same_table(*sets, tavrik::ops::set_columns(*general), "the sets walk makes another table");
        }
    }
    // The objects of parse_workout built in the walk: what it accepts, the general reading
    // accepts with the same objects and the same validation; nothing it made outlives it.
    {
        Objects objects;
        Objects converted;
        tavrik::ops::NodeEntries entries;
        tavrik::model::fast::TextStore texts;  // the entries' decoded ids
        {
            TreeBackend backend(objects);
            tavrik::python::BuildSink<TreeBackend> sink(backend, entries, texts);
            tavrik::model::fast::Walker<tavrik::python::BuildSink<TreeBackend>, true> walker(text, sink);
            const bool walked = walker.document<tavrik::model::Workout>();
            if (!walked) {
                same_fault(tavrik::model::fast::grammar_fault(text, walker),
                           "the builder's walk words a fault otherwise than the general reading");
            }
            if (walked && !sink.failed()) {
                Obj* built = sink.take();
                if (built == nullptr) fail("the builder accepts but has no result", text);
                if (!general) fail("the builder accepts what the general reading refuses", general.error().display());
                if (displays(tavrik::ops::validate(entries)) != displays(tavrik::ops::validate(*general))) {
                    fail("the builder's node entries and the general reading validate differently", text);
                }
                EmitTree emitted(converted);
                tavrik::model::emit(emitted, *general);
                std::string a;
                std::string b;
                dump(built, a);
                dump(emitted.result(), b);
                if (a != b) fail("the builder and the conversion make different objects", a + "\n--- conversion ---\n" + b);
                objects.release(built);
            }
        }
        if (objects.live() != 0) fail("the builder leaves values unreleased", text);
    }
    // Writing a text in written form straight from its bytes must give, byte for byte, what
    // the general reading written back gives; and the general reading must accept it.  The
    // text written back, when taken the direct way, must come out unchanged.  Doubles that
    // the writer writes otherwise are rewritten from their tokens on the way.
    check_double_tokens(text);
    {
        tavrik::json::Writer direct;
        std::optional<tavrik::json::Error> fault;
        const bool wrote = tavrik::model::write_written_form(text, direct, fault);
        same_fault(fault, "the direct writing words a fault otherwise than the general reading");
        if (wrote) {
            if (!general) fail("the direct writing accepts what the general reading refuses", general.error().display());
            const std::string expected = tavrik::model::write_document(*general);
            if (direct.view() != expected) fail("the direct writing differs from the general one", text);
            if (!valid_utf8(direct.view())) fail("the direct writing is not valid UTF-8", direct.view());
        }
        if (general) {
            const std::string expected = tavrik::model::write_document(*general);
            tavrik::json::Writer again;
            if (tavrik::model::write_written_form(expected, again) && again.view() != expected) {
                fail("written text is not a fixed point of the direct writing", expected);
            }
        }
    }
    // Checking the samples without keeping them must refuse exactly what keeping refuses.
    {
        auto checked = tavrik::model::read_document(text, {.keep_samples = false});
        if (checked.has_value() != read.has_value()) {
            fail("reading without the samples disagrees on success",
                 read ? checked.error().display() : read.error().display());
        }
        if (!read && checked.error().display() != read.error().display()) {
            fail("reading without the samples gives a different error",
                 read.error().display() + "\n" + checked.error().display());
        }
    }

    // The observed read against the plain one.
    {
        auto observed = tavrik::model::observe_document(text);
        if (observed.has_value() != read.has_value()) fail("observed and plain reading disagree on success", text);
        if (!read && observed.error().display() != read.error().display()) {
            fail("observed and plain reading give different errors", read.error().display() + "\n" + observed.error().display());
        }
        if (read) {
            const auto& survey = observed->survey;
            if (!survey.complete) fail("the survey lost its way in a document that reads", text);
            if (survey.nodes.size() != node_count(read->root)) fail("the survey found another number of nodes", text);
            for (const auto& loss : survey.losses) {
                if (loss.place.offset >= text.size() || loss.value_end > text.size() || loss.value_begin > loss.value_end)
                    fail("a loss placed outside the text", text);
            }
        }
    }

    if (!read) {
        const auto& e = read.error();
        if (e.line() < 1) fail("read error without a position", e.message());
        if (e.message().empty()) fail("read error with an empty message");
        if (!position_in_text(text, e.line(), e.column())) fail("read error position outside the text", e.display());
        return 0;
    }

    const std::string written = tavrik::model::write_document(*read);
    if (!valid_utf8(written)) fail("written text is not valid UTF-8", written);

    auto reread = tavrik::model::read_document(written);
    if (!reread) fail("written text does not read back", reread.error().display() + "\n" + written);

    // The normal form keeps everything it holds, so a survey of it finds no loss.
    if (auto survey = tavrik::model::survey_document(written); !survey.complete || !survey.losses.empty()) {
        fail("the normal form surveys as losing content", written);
    }

    const std::string rewritten = tavrik::model::write_document(*reread);
    if (rewritten != written) fail("second write differs from the first", written + "\n--- second ---\n" + rewritten);

    const auto errors = displays(tavrik::ops::validate(*read));
    const std::uint32_t sets = tavrik::ops::count_sets(*read);
    if (displays(tavrik::ops::validate(*reread)) != errors) fail("validation differs after the round trip", written);
    if (tavrik::ops::count_sets(*reread) != sets) fail("set count differs after the round trip", written);
    return 0;
}
