#include "model/fast_write.hpp"

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "json/number.hpp"
#include "json/reader.hpp"
#include "model/fast_read.hpp"

namespace tavrik::model {

namespace {

using fast::ElementOf;
using fast::MemberOf;
using fast::Unwrapped;

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

// The element type of the list or map that a member holds (void for nullptr, which
// stands for an element itself).
template <auto Member>
struct Elements {
    using type = void;
};
template <auto Member>
    requires(!std::is_null_pointer_v<decltype(Member)>)
struct Elements<Member> {
    using type =
        typename ElementOf<typename Unwrapped<typename MemberOf<decltype(Member)>::type>::type>::type;
};

// A number as the writer writes the value read from it into a T.
bool written_like(std::string_view text, const json::Number& n, bool as_double) {
    char buffer[json::kDoubleRoom];
    char* end;
    if (as_double) {
        end = json::write_double(buffer, n.as_double());
    } else if (n.kind == json::Number::Kind::Unsigned) {
        end = std::to_chars(buffer, buffer + 24, n.u).ptr;
    } else if (n.kind == json::Number::Kind::Signed) {
        end = std::to_chars(buffer, buffer + 24, n.i).ptr;
    } else {
        end = json::write_double(buffer, n.d);
    }
    return static_cast<std::size_t>(end - buffer) == text.size() && std::memcmp(buffer, text.data(), text.size()) == 0;
}

// The numbers found in written form so far, by value: recorded samples repeat their
// values, and the writer's double formatter is the costliest part of the check.
class KnownNumbers {
public:
    bool known(std::string_view text, std::uint64_t bits, bool as_double) const {
        const Slot& slot = slots_[index(bits, as_double)];
        return slot.size == text.size() && slot.bits == bits && slot.as_double == as_double && slot.size != 0 &&
               std::memcmp(slot.text, text.data(), text.size()) == 0;
    }
    void remember(std::string_view text, std::uint64_t bits, bool as_double) {
        if (text.size() > sizeof(Slot::text)) return;
        Slot& slot = slots_[index(bits, as_double)];
        std::memcpy(slot.text, text.data(), text.size());
        slot.size = static_cast<unsigned char>(text.size());
        slot.bits = bits;
        slot.as_double = as_double;
    }

private:
    struct Slot {
        std::uint64_t bits = 0;
        char text[32];
        unsigned char size = 0;
        bool as_double = false;
    };
    static std::size_t index(std::uint64_t bits, bool as_double) {
        return static_cast<std::size_t>(((bits ^ as_double) * 0x9E3779B97F4A7C15ULL) >> 55);
    }
    std::array<Slot, 512> slots_;
};

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
                return written_like(text, n, false);
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

// Listens to a walk for anything that the writer would write otherwise than the text
// has it.  Strings need no check: the walk takes only those without escapes or control
// bytes, which the writer copies unchanged, and tells of the names it decoded.
class WrittenForm : public fast::NoSink {
public:
    static constexpr bool kWantsNumbers = true;

    bool written() const { return written_; }
    // Once the text is known not to be in written form, the walk can give up.
    bool stopped() const { return !written_; }

    template <class T>
    void begin() {
        // Recorded samples cost more to check number by number against the writer than to
        // read and write again, so a text with streams is left to the general way.
        if constexpr (std::is_same_v<T, Streams>) written_ = false;
        last_field_.push_back(-1);
    }
    template <class T>
    void end() {
        last_field_.pop_back();
    }
    // Declaration order.
    template <class D, std::size_t I>
    void field() {
        if (static_cast<int>(I) <= last_field_.back()) written_ = false;
        last_field_.back() = static_cast<int>(I);
    }
    template <auto Member>
    void null() {
        if (left_out_when_empty<Member>()) written_ = false;
    }
    template <auto Member>
    void list_begin() {
        doubles_.push_back(std::is_same_v<typename Elements<Member>::type, double>);
    }
    template <auto Member>
    void list_size(std::size_t n) {
        doubles_.pop_back();
        if (n == 0 && left_out_when_empty<Member>()) written_ = false;
    }
    template <auto Member>
    void map_begin() {
        doubles_.push_back(std::is_same_v<typename Elements<Member>::type, double>);
        keys_.push_back(std::nullopt);
    }
    // Keys ascending, each once.
    void key(std::string_view k) {
        if (keys_.back() && !(*keys_.back() < k)) written_ = false;
        keys_.back() = k;
    }
    template <auto Member>
    void map_size(std::size_t n) {
        doubles_.pop_back();
        keys_.pop_back();
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
    template <auto Member>
    void number(std::string_view text, const json::Number& n) {
        bool as_double;
        if constexpr (std::is_null_pointer_v<decltype(Member)>) {
            as_double = !doubles_.empty() && doubles_.back();
        } else {
            as_double = std::is_same_v<typename Unwrapped<typename MemberOf<decltype(Member)>::type>::type, double>;
        }
        if (!written_) return;
        std::uint64_t bits;
        std::memcpy(&bits, &n.u, sizeof bits);
        if (known_.known(text, bits, as_double)) return;
        if (!written_like(text, n, as_double)) {
            written_ = false;
            return;
        }
        known_.remember(text, bits, as_double);
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
    // The writer puts the tag first and writes names without escapes.
    template <class E>
    void tag_later() {
        written_ = false;
    }
    void escaped_name() { written_ = false; }

private:
    bool written_ = true;
    KnownNumbers known_;
    std::vector<int> last_field_;                       // per open record
    std::vector<bool> doubles_;                         // per open list or map: its numbers are doubles
    std::vector<std::optional<std::string_view>> keys_;  // per open map: the last key
};

}  // namespace

bool write_written_form(std::string_view text, json::Writer& writer) {
    WrittenForm form;
    // A text with a tag not first or a name escaped is not in written form: the walk that
    // takes them is of no use here.
    if (!fast::walk<Workout, false>(text, form) || !form.written()) return false;
    writer.reindent(text);
    return true;
}

}  // namespace tavrik::model
