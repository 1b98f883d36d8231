// A toy record described once, read by the general reader and walked by the common-form
// walk: a field added to the description reaches both with no other edit.  Prints one
// line per text: whether each accepts it, and what each saw of the field `note`.  With
// --build first, prints instead what parse_workout's builder makes of each text.
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>

#include "json/reader.hpp"
#include "json/source.hpp"
#include "model/fast_read.hpp"
#include "model/read.hpp"
#include "python/parse_sink.hpp"

namespace toy {

struct Toy {
    tavrik::model::Text id;
    std::uint32_t reps = 0;
    std::optional<tavrik::model::Text> note;
};

}  // namespace toy

template <>
struct tavrik::model::Describe<toy::Toy> {
    static constexpr Style style = Style::Record;
    static constexpr std::string_view expecting = "struct Toy";
    static constexpr auto fields = std::make_tuple(required("id", &toy::Toy::id), required("reps", &toy::Toy::reps),
                                                   optional("note", &toy::Toy::note));
};

namespace {

struct NoteSink : tavrik::model::fast::NoSink {
    std::string note = "-";
    template <auto Member>
    void text(std::string_view s) {
        if constexpr (tavrik::model::fast::same_member<Member, &toy::Toy::note>()) note = s;
    }
};

// Values as JSON-like text: a dict is its entries so far, closed when printed.
struct Built {
    std::string text;
    bool dict = false;
};

class TextBackend {
public:
    using Value = Built*;
    Built* none() { return make("None"); }
    Built* boolean(bool b) { return make(b ? "True" : "False"); }
    Built* u64(std::uint64_t v) { return make(std::to_string(v)); }
    Built* i64(std::int64_t v) { return make(std::to_string(v)); }
    Built* f64(double d) { return make(std::to_string(d)); }
    Built* str(std::string_view s) { return make("'" + std::string(s) + "'"); }
    Built* name(std::string_view s) { return str(s); }
    Built* name_value(std::string_view s) { return str(s); }
    Built* data_key(std::string_view s) { return str(s); }
    Built* dict(std::size_t) {
        Built* b = make("");
        b->dict = true;
        return b;
    }
    bool set(Built* dict, Built* key, Built* value) {
        dict->text += (dict->text.empty() ? "" : ", ") + key->text + ": " + shown(value);
        return true;
    }
    Built* list(Built** items, std::size_t n) {
        std::string text = "[";
        for (std::size_t i = 0; i < n; ++i) text += (i ? ", " : "") + shown(items[i]);
        return make(text + "]");
    }
    bool empty_list(Built* v) { return v->text == "[]"; }
    bool empty_dict(Built* v) { return v->text.empty(); }
    void release(Built*) {}
    static std::string shown(const Built* v) { return v->dict ? "{" + v->text + "}" : v->text; }

private:
    Built* make(std::string text) {
        all_.push_back(std::make_unique<Built>(Built{std::move(text)}));
        return all_.back().get();
    }
    std::vector<std::unique_ptr<Built>> all_;
};

int build(int argc, char** argv) {
    for (int i = 2; i < argc; ++i) {
        TextBackend backend;
        tavrik::ops::NodeEntries entries;
        tavrik::model::fast::TextStore texts;
        tavrik::python::BuildSink<TextBackend> sink(backend, entries, texts);
        const bool walked = tavrik::model::fast::walk<toy::Toy>(argv[i], sink);
        Built* built = walked ? sink.take() : nullptr;
        std::printf("%s\n", built != nullptr ? TextBackend::shown(built).c_str() : "gave-up");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string_view(argv[1]) == "--build") return build(argc, argv);
    for (int i = 1; i < argc; ++i) {
        const std::string_view text(argv[i]);
        tavrik::json::Reader reader(text);
        tavrik::json::TextSource source(reader);
        toy::Toy general;
        std::string outcome = "ok";
        if (auto read = tavrik::model::read_into(source, general); !read) {
            outcome = reader.fix(std::move(read.error())).display();
        } else if (auto end = reader.end_document(); !end) {
            outcome = end.error().display();
        }
        NoteSink sink;
        const bool walked = tavrik::model::fast::walk<toy::Toy>(text, sink);
        const std::string note = outcome == "ok" && general.note ? std::string(*general.note) : "-";
        std::printf("general=%s note=%s walk=%s note=%s\n", outcome.c_str(), note.c_str(),
                    walked ? "ok" : "gave-up", sink.note.c_str());
    }
}
