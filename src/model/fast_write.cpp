#include "model/fast_write.hpp"

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "json/number.hpp"
#include "json/reader.hpp"
#include "model/fast_read.hpp"

namespace tavrik::model {

namespace {

using fast::MemberOf;

// Whether the writer leaves the member out when it is absent or empty: a field of a
// record whose presence is not Required.  List entries and contents are never left out.
template <auto Member>
constexpr bool left_out_when_empty() {
    if constexpr (std::is_null_pointer_v<decltype(Member)>) {
        return false;
    } else {
        using C = typename MemberOf<decltype(Member)>::owner;
        if constexpr (requires { Describe<C>::fields; }) {
            return []<std::size_t... I>(std::index_sequence<I...>) {
                return ((fast::same_member<std::get<I>(Describe<C>::fields).member, Member>() &&
                         std::get<I>(Describe<C>::fields).presence != Presence::Required) ||
                        ...);
            }(std::make_index_sequence<field_count<Describe<C>>()>{});
        } else {
            return false;
        }
    }
}

// A free number as the writer writes the value read from it.
bool written_like(std::string_view text, const json::Number& n) {
    char buffer[json::kDoubleRoom];
    char* end;
    if (n.kind == json::Number::Kind::Unsigned) {
        end = std::to_chars(buffer, buffer + 24, n.u).ptr;
    } else if (n.kind == json::Number::Kind::Signed) {
        end = std::to_chars(buffer, buffer + 24, n.i).ptr;
    } else {
        end = json::write_double(buffer, n.d);
    }
    return static_cast<std::size_t>(end - buffer) == text.size() && std::memcmp(buffer, text.data(), text.size()) == 0;
}

// A free value's text (which the walk has checked) as the writer writes the value read
// from it: objects with keys ascending and unique, numbers as the writer writes them.
// Strings without escapes and the literals are copied unchanged whatever they are.
class FreeValue {
public:
    FreeValue(const char* p, const char* end) : p_(p), end_(end) {}

    bool written() {
        skip();
        switch (*p_) {
            case '"': string(); return true;
            case 't': p_ += 4; return true;
            case 'f': p_ += 5; return true;
            case 'n': p_ += 4; return true;
            case '[': {
                ++p_;
                skip();
                if (*p_ == ']') return ++p_, true;
                for (;;) {
                    if (!written()) return false;
                    skip();
                    if (*p_++ == ']') return true;
                }
            }
            case '{': {
                ++p_;
                skip();
                if (*p_ == '}') return ++p_, true;
                std::string_view previous;
                for (bool first = true;; first = false) {
                    skip();
                    const std::string_view key = string();
                    if (!first && !(previous < key)) return false;
                    previous = key;
                    skip();
                    ++p_;  // the colon
                    if (!written()) return false;
                    skip();
                    if (*p_++ == '}') return true;
                }
            }
            default: {
                json::Number n;
                const char* stop = json::scan_plain_number(p_, end_, n);
                if (stop == nullptr) return false;
                const std::string_view text(p_, static_cast<std::size_t>(stop - p_));
                p_ = stop;
                return written_like(text, n);
            }
        }
    }

private:
    void skip() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\t' || *p_ == '\r')) ++p_;
    }
    // The walk took only strings without escapes, so the next quote closes it.
    std::string_view string() {
        const char* from = ++p_;
        while (*p_ != '"') ++p_;
        return {from, static_cast<std::size_t>(p_++ - from)};
    }

    const char* p_;
    const char* end_;
};

// A tagged object whose tag is not its first member: where its members start (after
// the brace), and the tag's member from its key to the end of its value.
struct TagMove {
    const char* inside;
    const char* tag_at;
    const char* tag_end;
};

// A text in written form but for tags written later, with each of those tags moved to the
// front of its object and the other members left as they are; the tokens to rewrite as
// doubles follow their bytes.  Only whitespace is lost, so the copy is never longer.
class TagsFirst {
public:
    TagsFirst(std::string_view text, std::span<const TagMove> moves, std::span<const char* const> doubles)
        : next_move_(moves.data()), moves_end_(moves.data() + moves.size()), next_double_(doubles.data()),
          doubles_end_(doubles.data() + doubles.size()) {
        text_.reserve(text.size());
        offsets_.reserve(doubles.size());
        emit(text.data(), text.data() + text.size());
        doubles_.reserve(offsets_.size());
        for (const std::size_t at : offsets_) doubles_.push_back(text_.data() + at);
    }

    std::string_view text() const { return text_; }
    std::span<const char* const> doubles() const { return doubles_; }

private:
    static bool space(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

    // [from, to) with the moves whose objects open in it.
    void emit(const char* from, const char* to) {
        while (next_move_ != moves_end_ && next_move_->inside <= to) {
            const TagMove move = *next_move_++;
            copy(from, move.inside);
            // The tag holds no number: no token to rewrite is passed over.
            text_.append(move.tag_at, static_cast<std::size_t>(move.tag_end - move.tag_at));
            text_ += ',';
            // The members before the tag, without the comma between them and the tag.
            const char* before = move.tag_at;
            while (space(before[-1])) --before;
            emit(move.inside, before - 1);
            // The comma after the tag, if any, now separates those from the rest.
            const char* after = move.tag_end;
            while (space(*after)) ++after;
            if (*after == ',') {
                text_ += ',';
                ++after;
            }
            from = after;
        }
        copy(from, to);
    }

    void copy(const char* from, const char* to) {
        for (; next_double_ != doubles_end_ && *next_double_ < to; ++next_double_) {
            offsets_.push_back(text_.size() + static_cast<std::size_t>(*next_double_ - from));
        }
        text_.append(from, static_cast<std::size_t>(to - from));
    }

    const TagMove* next_move_;
    const TagMove* const moves_end_;
    const char* const* next_double_;
    const char* const* const doubles_end_;
    std::string text_;
    std::vector<std::size_t> offsets_;
    std::vector<const char*> doubles_;
};

// Listens to a walk for anything that the writer would write otherwise than the text
// has it.  Strings need no check: the walk takes none with escapes or control bytes here,
// and the writer copies any other string unchanged.
class WrittenForm : public fast::NoSink {
public:
    static constexpr bool kWantsNumbers = false;
    // Each double not in written form is rewritten, so the walk must show every token.
    static constexpr bool kWantsDoubleTokens = true;

    explicit WrittenForm(std::string_view text) : text_end_(text.data() + text.size()) {}

    bool written() const { return written_; }
    // Once the text is known not to be in written form, the walk can give up.
    bool stopped() const { return !written_; }

    // The double tokens that the writer writes otherwise, in the order of the text.
    std::span<const char* const> doubles_to_write() const { return doubles_to_write_; }

    template <class T>
    void begin() {
        last_field_[++records_] = -1;
    }
    template <class T>
    void end() {
        --records_;
    }
    // Declaration order.
    template <class D, std::size_t I>
    void field() {
        if (static_cast<int>(I) <= last_field_[records_]) written_ = false;
        last_field_[records_] = static_cast<int>(I);
    }
    template <auto Member>
    void null() {
        if (left_out_when_empty<Member>()) written_ = false;
    }
    template <auto Member>
    void list_size(std::size_t n) {
        if (n == 0 && left_out_when_empty<Member>()) written_ = false;
    }
    template <auto Member>
    void map_begin() {
        keys_[++maps_].data = nullptr;
    }
    // Keys ascending, each once (a key always points into the text, so no key yet is
    // told by a null pointer).
    void key(std::string_view k) {
        Key& last = keys_[maps_];
        if (last.data != nullptr && !(std::string_view(last.data, last.size) < k)) written_ = false;
        last = {k.data(), k.size()};
    }
    template <auto Member>
    void map_size(std::size_t n) {
        --maps_;
        if (n == 0 && left_out_when_empty<Member>()) written_ = false;
    }
    // A flattened record's free members are keyed like a map's.
    template <auto Member>
    void flat_begin() {
        map_begin<Member>();
    }
    template <auto Member>
    void flat_size(std::size_t n) {
        map_size<Member>(n);
    }
    // A double that is not already in the writer's form (an integer where a double
    // belongs, a trailing zero, an exponent) is rewritten from its token as it passes,
    // which costs no more than checking it.  Integers are taken by the walk only unsigned,
    // as the writer writes them.
    template <auto Member>
    [[gnu::always_inline]] void double_token(const char* begin, const char* end) {
        if (!json::double_token_written(begin, end, text_end_)) [[unlikely]] rewrite(begin);
    }
    void unknown(std::string_view, const char*, const char*) { written_ = false; }
    template <auto Member>
    void free_value(const char* begin, const char* end) {
        if (written_ && !FreeValue(begin, end).written()) written_ = false;
    }
    template <class E>
    void unit_null() {
        written_ = false;
    }
    // The writer puts the tag first: a tag written later is moved there (see TagsFirst).
    void tag_moved(const char* inside, const char* tag_at, const char* tag_end) {
        if (written_) moves_.push_back({inside, tag_at, tag_end});
    }
    // The copy takes strings as their bytes stand, without escapes (see reindent()): the
    // walk gives up on any string with one, wherever it stands.
    static constexpr bool kDecodesEscapes = false;

    std::span<const TagMove> moves() const { return moves_; }

private:
    [[gnu::noinline]] void rewrite(const char* token) { doubles_to_write_.push_back(token); }

    const char* text_end_;
    bool written_ = true;
    std::vector<const char*> doubles_to_write_;
    std::vector<TagMove> moves_;  // in the order of the text
    // Per open record and map, as deep as the walk goes (each is an object): the last
    // field and the last key.
    std::array<int, fast::kMaxDepth + 1> last_field_;
    int records_ = 0;
    struct Key {
        const char* data;
        std::size_t size;
    };
    std::array<Key, fast::kMaxDepth + 1> keys_;
    int maps_ = 0;
};

}  // namespace

bool write_written_form(std::string_view text, json::Writer& writer) {
    std::optional<json::Error> fault;
    return write_written_form(text, writer, fault);
}

bool write_written_form(std::string_view text, json::Writer& writer, std::optional<json::Error>& fault) {
    // A backslash is an escape, which the copy does not take (the walk would give up on
    // it), or it is outside a string, which the general reader refuses: either way the
    // walk would be in vain, and it might meet it only at the end.
    if (std::memchr(text.data(), '\\', text.size()) != nullptr || !fast::ends_as_object(text)) return false;
    WrittenForm form(text);
    fast::Walker<WrittenForm, false> walker(text, form);
    if (!walker.document<Workout>()) {
        fault = fast::grammar_fault(text, walker);
        return false;
    }
    if (!form.written()) return false;
    if (form.moves().empty()) {
        writer.reindent(text, form.doubles_to_write());
    } else {
        const TagsFirst moved(text, form.moves(), form.doubles_to_write());
        writer.reindent(moved.text(), moved.doubles());
    }
    return true;
}

}  // namespace tavrik::model
