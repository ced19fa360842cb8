// Any bytes: the escape must equal a byte-at-a-time escaper, fit the size it announced exactly
// (the line is sized before it is filled), and decode back to the input. Where the bytes to escape
// fall in the sixteen- and eight-byte blocks of the scan is what the fuzzer varies.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "lib/json_escape.hpp"

namespace {

using tarnwick::fuzz::check;
using tarnwick::fuzz::check_equal;
using tarnwick::fuzz::json_unescape;

std::string reference_escape(std::string_view text) {
    constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (const std::size_t k = std::string_view("\"\\\n\r\t").find(c); k != std::string_view::npos)
            out += {'\\', "\"\\nrt"[k]};
        else if (byte < 0x20)
            out += std::string("\\u00") + hex[byte >> 4] + hex[byte & 0xf];
        else
            out += c;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string want = reference_escape(text);

    check(tarnwick::json_escaped_size(text) == want.size(), "json_escaped_size matches the escaped text");
    check_equal(tarnwick::json_escaped(text), want, "json_escaped");

    // Into a buffer of exactly the announced size, so AddressSanitizer sees any write past it.
    const auto exact = std::make_unique<char[]>(want.size());
    const char* end = tarnwick::json_escape_into(exact.get(), text, want.size());
    check(end == exact.get() + want.size(), "json_escape_into ends where the size said");
    check_equal(std::string_view(exact.get(), want.size()), want, "json_escape_into");

    // Appending keeps what the buffer held.
    tarnwick::Bytes line;
    line.append("{\"msg\":\"");
    tarnwick::json_escape(line, text);
    check_equal(line.view(), "{\"msg\":\"" + want, "json_escape appends after the buffer's content");

    std::string decoded;
    check(json_unescape(want, decoded), "the escaped text is a well-formed JSON string body");
    check_equal(decoded, text, "decoding the escaped text gives the input back");
    return 0;
}
