#include "lib/line_members.hpp"

#include <vector>

namespace tarnwick {

void append_merged(Bytes& out, std::span<const std::span<const Member>> runs) {
    std::vector<Member> merged;
    for (const auto& run : runs) {
        for (const Member& m : run) {
            bool replaced = false;
            for (Member& seen : merged) {
                if (seen.key == m.key) {
                    seen.text = m.text;
                    replaced = true;
                    break;
                }
            }
            if (!replaced) merged.push_back(m);
        }
    }
    for (const Member& m : merged) out.append(m.text);
}

namespace {

constexpr bool is_start(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
constexpr bool is_part(char c) noexcept { return is_start(c) || (c >= '0' && c <= '9'); }
constexpr bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

}  // namespace

bool dotted_name(std::string_view text, std::string_view& name) noexcept {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    bool at_start = true;
    for (char c : text) {
        if (at_start) {
            if (!is_start(c)) return false;
            at_start = false;
        } else if (c == '.') {
            at_start = true;
        } else if (!is_part(c)) {
            return false;
        }
    }
    // The constants read like names but are values: a field named None would say nothing.
    if (at_start || text == "None" || text == "True" || text == "False") return false;
    name = text;
    return true;
}

void append_template_static(Bytes& out, std::string_view text) {
    std::size_t from = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '{' || text[i] == '}') {
            out.append(text.substr(from, i + 1 - from));
            out.push_back(text[i]);
            from = i + 1;
        }
    }
    out.append(text.substr(from));
}

}  // namespace tarnwick
