// Coverage-guided fuzz target over the core: read a document both with the fast paths and
// with the general reading alone, which must agree; walk it for its node entries, which
// when the walk accepts must give the general reading's validation and count; for every document that reads, check
// that writing it is a fixed point of read-then-write and that validation and counting
// give the same answers for the written text as for the original.  For every document
// that does not read, check that the error says what and where.  The observed read (the
// read with its survey) must accept and refuse exactly what the plain read does, find
// every node, and find nothing lost in a text that is already in normal form.
//
// Any violated property aborts with a message on stderr, which libFuzzer reports as a
// crash together with the input.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "model/arena.hpp"
#include "model/document.hpp"
#include "model/fast_write.hpp"
#include "model/survey.hpp"
#include "model/write.hpp"
#include "ops/count.hpp"
#include "ops/node_view.hpp"
#include "ops/validate.hpp"

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

}  // namespace

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
    // reading accepts, with the same validation errors and the same count.
    if (auto nodes = tavrik::ops::scan_nodes(text)) {
        if (!general) fail("the node walk accepts what the general reading refuses", general.error().display());
        if (displays(tavrik::ops::validate(*nodes)) != displays(tavrik::ops::validate(*general))) {
            fail("the node walk and the general reading validate differently", text);
        }
        if (tavrik::ops::count_sets(*nodes) != tavrik::ops::count_sets(*general)) {
            fail("the node walk and the general reading count differently", text);
        }
    }
    // Writing a text in written form straight from its bytes must give, byte for byte, what
    // the general reading written back gives; and the general reading must accept it.  The
    // text written back, when taken the direct way, must come out unchanged.
    {
        tavrik::json::Writer direct;
        if (tavrik::model::write_written_form(text, direct)) {
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
