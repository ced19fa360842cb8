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

}  // namespace tarnwick::fuzz
