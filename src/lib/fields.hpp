// Extra key-value members of a record line (bound fields, exception keys, stdlib extras), rendered
// in the line's own shape so the line renderer only copies them after the message. Pure; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "lib/bytes.hpp"
#include "lib/record_line.hpp"

namespace tarnwick {

enum class FieldKey {
    Valid,     // an ASCII letter or '_', then ASCII letters, digits, '_', '.' and '-'
    Invalid,   // anything else: it could end the key or break the line
    Reserved,  // time, level, name, msg, or under exception.: the line's own members
};

FieldKey classify_field_key(std::string_view key) noexcept;

// A key that came from outside (a stdlib record's extra attribute), made usable without dropping
// it: a valid key stays as it is; any other gets the prefix "extra." and each character outside the
// valid set (a whole UTF-8 sequence counting as one) becomes '_'. "stack" is also renamed, since
// the stdlib's stack_info takes it.
std::string outside_field_key(std::string_view key);

// The members of one line after its message, each key once. A key added again replaces the earlier
// value in its place, as binding a key again does, except that a key renamed by outside_field_key()
// never replaces one given as it is: the name's owner keeps it, as the line's own keys do against the
// extras renamed for them.
class FieldSet {
public:
    // `member` is the key's member as append_text_field() or append_bare_field() renders it.
    void add(std::string_view key, std::string_view member, bool renamed);
    void append_to(Bytes& out) const;

private:
    struct Entry {
        std::string key;
        std::string member;
        bool renamed;
    };
    std::vector<Entry> entries_;  // few: a linear search beats a hash
};

// Appends a member whose value is text: ` key="escaped"` (the key dimmed in the coloured form) or
// `,"key":"escaped"` in JSON. The value is escaped like the message, so it never breaks the line.
void append_text_field(Bytes& out, LineStyle style, std::string_view key, std::string_view value);

// Appends a member whose value is a bare token (a number, true, false, null): ` key=token` or
// `,"key":token`.
void append_bare_field(Bytes& out, LineStyle style, std::string_view key, std::string_view token);

// Appends a member for an infinite or NaN float, given its text ("inf", "-inf", "nan"): bare, or as
// text in a shape whose numbers cannot say it (JSON).
void append_nonfinite_field(Bytes& out, LineStyle style, std::string_view key, std::string_view text);

// Long texts (stack traces) are cut to their first and last HALF bytes, on UTF-8 character
// boundaries, joined by a line that says how many bytes were left out, so that line-length limits
// of log shippers keep the record. A text of at most LIMIT bytes is returned whole.
inline constexpr std::size_t LONG_TEXT_LIMIT = 16 * 1024;
inline constexpr std::size_t LONG_TEXT_HALF = 8 * 1024;
std::string cap_long_text(std::string_view text);

}  // namespace tarnwick
