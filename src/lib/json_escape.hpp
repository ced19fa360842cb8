// Escaping of record names and messages into JSON string bodies; used for both record formats so a
// field can never end its line or reach a terminal as a control sequence. Pure; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "lib/bytes.hpp"

namespace tarnwick {

// Size of the escaped form of `text`.
std::size_t json_escaped_size(std::string_view text) noexcept;

// Writes the escaped form of `text`, whose size json_escaped_size() returned, at `out`; returns
// the end. Lets a caller size a whole line first and fill it without further capacity checks.
char* json_escape_into(char* out, std::string_view text, std::size_t escaped_size) noexcept;

// Appends the escaped form of `text` (no surrounding quotes).
void json_escape(Bytes& out, std::string_view text);

// The escaped form of `text` as a string of its own.
std::string json_escaped(std::string_view text);

}  // namespace tarnwick
