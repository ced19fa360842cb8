// What the fuzz targets share: a failed property prints both sides readably and aborts, so
// libFuzzer keeps the input that broke it. One thread.
#pragma once

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
    out.clear();
    for (std::size_t i = 0; i < body.size(); ++i) {
        const auto byte = static_cast<unsigned char>(body[i]);
        if (byte < 0x20 || byte == '"') return false;
        if (byte != '\\') {
            out += body[i];
            continue;
        }
        if (++i == body.size()) return false;
        switch (body[i]) {
            case '"':
                out += '"';
                break;
            case '\\':
                out += '\\';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                if (body.size() - i < 5 || body.substr(i + 1, 2) != "00") return false;
                unsigned value = 0;
                for (const char h : body.substr(i + 3, 2)) {
                    value <<= 4;
                    if (h >= '0' && h <= '9')
                        value |= static_cast<unsigned>(h - '0');
                    else if (h >= 'a' && h <= 'f')
                        value |= static_cast<unsigned>(h - 'a' + 10);
                    else
                        return false;
                }
                out += static_cast<char>(value);
                i += 4;
                break;
            }
            default:
                return false;
        }
    }
    return true;
}

}  // namespace tarnwick::fuzz
