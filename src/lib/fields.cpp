#include "lib/fields.hpp"

#include <algorithm>

#include "lib/json_escape.hpp"

namespace tarnwick {
namespace {

constexpr bool is_letter(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool is_key_char(char c) noexcept {
    return is_letter(c) || (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
}
constexpr bool is_continuation(char c) noexcept { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The key and what stands between it and the value, in the line's shape.
void append_key(Bytes& out, LineStyle style, std::string_view key) {
    const LineShape& shape = line_shape(style);
    out.append(shape.field_key_open.view());
    out.append(key);
    out.append(shape.field_key_close.view());
}

}  // namespace

FieldKey classify_field_key(std::string_view key) noexcept {
    if (key.empty() || !(is_letter(key[0]) || key[0] == '_')) return FieldKey::Invalid;
    for (char c : key) {
        if (!is_key_char(c)) return FieldKey::Invalid;
    }
    if (key == "time" || key == "level" || key == "name" || key == "msg" || key.starts_with("exception.")) {
        return FieldKey::Reserved;
    }
    return FieldKey::Valid;
}

std::string outside_field_key(std::string_view key) {
    if (classify_field_key(key) == FieldKey::Valid && key != "stack") return std::string(key);
    std::string out = "extra.";
    for (std::size_t i = 0; i < key.size(); ++i) {
        if (is_key_char(key[i])) {
            out += key[i];
        } else if (!is_continuation(key[i])) {
            out += '_';
        }
    }
    return out;
}

void FieldSet::add(std::string_view key, std::string_view member, bool renamed) {
    auto same = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.key == key; });
    if (same == entries_.end()) {
        entries_.push_back({std::string(key), std::string(member), renamed});
    } else if (!renamed || same->renamed) {
        same->member.assign(member);
        same->renamed = renamed;
    }
}

void FieldSet::append_to(Bytes& out) const {
    for (const Entry& e : entries_) out.append(e.member);
}

void append_text_field(Bytes& out, LineStyle style, std::string_view key, std::string_view value) {
    append_key(out, style, key);
    out.push_back('"');
    json_escape(out, value);
    out.push_back('"');
}

void append_nonfinite_field(Bytes& out, LineStyle style, std::string_view key, std::string_view text) {
    if (line_shape(style).nonfinite_as_text) {
        append_text_field(out, style, key, text);
    } else {
        append_bare_field(out, style, key, text);
    }
}

void append_bare_field(Bytes& out, LineStyle style, std::string_view key, std::string_view token) {
    append_key(out, style, key);
    out.append(token);
}

std::string cap_long_text(std::string_view text) {
    if (text.size() <= LONG_TEXT_LIMIT) return std::string(text);
    std::size_t head = LONG_TEXT_HALF;
    while (head > 0 && is_continuation(text[head])) --head;  // text[head] starts the part left out
    std::size_t tail = text.size() - LONG_TEXT_HALF;
    while (tail < text.size() && is_continuation(text[tail])) ++tail;
    std::string out(text.substr(0, head));
    out += "\n[... ";
    out += std::to_string(tail - head);
    out += " bytes left out ...]\n";
    out += text.substr(tail);
    return out;
}

}  // namespace tarnwick
