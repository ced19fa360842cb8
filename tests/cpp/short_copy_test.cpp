#include "lib/short_copy.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tarnwick {
namespace {

// Every size class (bytes, overlapping 4- and 8-byte words, memcpy): exactly the bytes, none around them.
TEST(ShortCopy, CopiesExactlyItsBytesAtEverySize) {
    for (std::size_t n = 0; n <= 40; ++n) {
        std::string text(n, ' ');
        for (std::size_t i = 0; i < n; ++i) text[i] = static_cast<char>('A' + (i * 7) % 26);  // no two alike in a row
        std::string buffer(n + 2, '#');
        char* end = copy_short(buffer.data() + 1, text);
        EXPECT_EQ(end, buffer.data() + 1 + n);
        EXPECT_EQ(buffer, "#" + text + "#") << "size " << n;
    }
}

}  // namespace
}  // namespace tarnwick
