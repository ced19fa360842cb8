// What the fuzz targets share: a failed property prints both sides readably and aborts, so
// libFuzzer keeps the input that broke it. One thread.
#pragma once

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace tarnwick::fuzz {

// Non-printing bytes as \xNN, so a report of binary text stays on one line.
inline std::string printable(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
            out += c;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        }
    }
    return out;
}

inline void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "property failed: %s\n", what);
    std::abort();
}

inline void check_equal(std::string_view got, std::string_view want, const char* what) {
    if (got == want) return;
    std::fprintf(stderr, "property failed: %s\n  got:  \"%s\"\n  want: \"%s\"\n", what, printable(got).c_str(),
                 printable(want).c_str());
    std::abort();
}

// Decodes a JSON string body; false on a raw control byte or quote, or an escape that JSON lacks or
// that the escaper has no reason to write.
inline bool json_unescape(std::string_view body, std::string& out) {
    static constexpr std::string_view SHORT = "\"\\nrt", MEANS = "\"\\\n\r\t";  // two-character escapes
    out.clear();
    for (std::size_t i = 0; i < body.size(); ++i) {
        const auto byte = static_cast<unsigned char>(body[i]);
        if (byte < 0x20 || byte == '"') return false;
        if (byte != '\\') {
            out += body[i];
        } else if (++i == body.size()) {
            return false;
        } else if (const std::size_t k = SHORT.find(body[i]); k != std::string_view::npos) {
            out += MEANS[k];
        } else {
            const std::string_view hex = body.substr(i + 1, 4);  // only \u00xx, in lowercase, as the escaper writes
            if (body[i] != 'u' || hex.size() < 4 || !hex.starts_with("00") ||
                hex.find_first_not_of("0123456789abcdef") != std::string_view::npos)
                return false;
            unsigned value = 0;
            std::from_chars(hex.data() + 2, hex.data() + 4, value, 16);
            out += static_cast<char>(value);
            i += 4;
        }
    }
    return true;
}

}  // namespace tarnwick::fuzz
