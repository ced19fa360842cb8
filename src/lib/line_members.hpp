// The members a record line carries after its message, gathered from several sources (the span's
// ids, the request context, the logger's bound fields, the call's own fields) into one tail in
// which each key appears once. Pure; any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "lib/bytes.hpp"

namespace tarnwick {

// One rendered member: its key, and its text in the line's shape, leading separator included
// (` key=value` or `,"key":value`).
struct Member {
    std::string_view key;
    std::string_view text;
};

// A one-bit summary of a key: two runs whose masks (the OR of their keys' bits) share no bit
// share no key, so the common case is told apart without comparing keys.
constexpr std::uint64_t key_bit(std::string_view key) noexcept {
    if (key.empty()) return 1;
    const auto mix = key.size() * 7u + static_cast<unsigned char>(key.front()) * 3u +
                     static_cast<unsigned char>(key.back()) + static_cast<unsigned char>(key[key.size() / 2]);
    return std::uint64_t{1} << (mix & 63u);
}

// Appends the members of `runs`, in order of increasing precedence, each key once: at the place of
// its first appearance, with the text of the last run that has it. Within one run a repeated key
// keeps its first place and takes its later text too.
void append_merged(Bytes& out, std::span<const std::span<const Member>> runs);

// Whether `text`, less surrounding ASCII spaces, is a name or a dotted name (`user`, `req.id`):
// ASCII identifiers joined by single dots. Sets `name` to it.
bool dotted_name(std::string_view text, std::string_view& name) noexcept;

// Appends a template's static text with its braces doubled, as the template's source writes them.
void append_template_static(Bytes& out, std::string_view text);

}  // namespace tarnwick
