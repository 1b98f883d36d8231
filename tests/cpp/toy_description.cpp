// A toy record described once, read by the general reader and walked by the common-form
// walk: a field added to the description reaches both with no other edit.  Prints one
// line per text: whether each accepts it, and what each saw of the field `note`.
#include <cstdio>
#include <string>
#include <string_view>
#include <tuple>

#include "json/reader.hpp"
#include "json/source.hpp"
#include "model/fast_read.hpp"
#include "model/read.hpp"

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

}  // namespace

int main(int argc, char** argv) {
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
