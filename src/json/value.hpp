// Buffered values: a JSON value read whole into a tree before it is interpreted, as the
// tagged enumerations need when their tag may come after their content.  Objects keep
// their members in document order, repeated names included.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "json/number.hpp"

namespace tavrik::json {

// Text of a buffered string: a view into the input when it had no escapes, else owned.
class BufString {
public:
    static BufString referenced(std::string_view s) { return BufString(s, {}, false); }
    static BufString copied(std::string_view s) { return BufString({}, std::string(s), true); }
    std::string_view view() const { return owned_flag_ ? std::string_view(owned_) : view_; }

private:
    BufString(std::string_view v, std::string o, bool owned) : view_(v), owned_(std::move(o)), owned_flag_(owned) {}
    std::string_view view_;
    std::string owned_;
    bool owned_flag_;
};

struct Value;
struct Member;

struct Value {
    enum class Kind : unsigned char { Null, Bool, Number, String, Array, Object };
    using Array = std::vector<Value>;
    using Object = std::vector<Member>;
    std::variant<std::monostate, bool, Number, BufString, Array, Object> v;

    Kind kind() const { return static_cast<Kind>(v.index()); }
    // The word for this value in "invalid type: ..." messages.
    std::string unexpected() const;
};

struct Member {
    BufString name;
    Value value;
};

}  // namespace tavrik::json
