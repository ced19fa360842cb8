// Copies of a line's short parts (keys, static text, small values) without a call into the C
// library's memcpy, whose call and size dispatch cost more than such a copy itself.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace tarnwick {

// Copies `s` to `p` (which has room for s.size() bytes, no more) and returns the end.
inline char* copy_short(char* p, std::string_view s) noexcept {
    const std::size_t n = s.size();
    const char* q = s.data();
    if (n >= 8) {
        if (n > 16) {
            std::memcpy(p, q, n);
        } else {  // two overlapping words
            std::memcpy(p, q, 8);
            std::memcpy(p + n - 8, q + n - 8, 8);
        }
    } else if (n >= 4) {
        std::memcpy(p, q, 4);
        std::memcpy(p + n - 4, q + n - 4, 4);
    } else if (n > 0) {
        p[0] = q[0];
        p[n / 2] = q[n / 2];
        p[n - 1] = q[n - 1];
    }
    return p + n;
}

}  // namespace tarnwick
