// A line built in two steps (open_line, the raw message appended, close_line) must equal the line
// render_line builds in one, after whatever the batch already held; its message must decode back to
// the bytes given, so no input can end the line or the message early. The first input byte picks
// the shape, the tail, the level and whether the batch already holds a line.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "lib/json_escape.hpp"
#include "lib/record_line.hpp"

namespace {

using tarnwick::Bytes;
using tarnwick::fuzz::check;
using tarnwick::fuzz::check_equal;
using tarnwick::fuzz::json_unescape;

constexpr tarnwick::LineStyle STYLES[] = {{false, false, false}, {false, true, false}, {false, false, true},
                                          {false, true, true},   {true, false, false}, {true, true, false}};
constexpr tarnwick::WallTime NOW{1'773'476'813, 589'793'238};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t choice = data[0];
    const std::string_view message(reinterpret_cast<const char*>(data) + 1, size - 1);
    const tarnwick::LineStyle style = STYLES[choice % 6];
    const bool with_tail = (choice & 0x08) != 0, after_line = (choice & 0x10) != 0;
    const auto level = static_cast<tarnwick::Level>(1 + (choice >> 5) % 5);
    const std::string_view tail = !with_tail ? "" : style.json ? R"(,"k":"v\n")" : R"( k="v\n")";
    const tarnwick::EscapedName name = tarnwick::escaped_name("app");

    static tarnwick::TimestampCache cache;  // one thread; kept warm, as a producer's is
    Bytes one, two;
    if (after_line) {
        one.append("earlier line\n");
        two.append("earlier line\n");
    }
    tarnwick::render_line(one, cache, NOW, level, style, name, message, tail);
    const std::size_t start = tarnwick::open_line(two, cache, NOW, level, style, name, message.size() % 64);
    check(start == two.size(), "open_line returns the buffer's end, where the message goes");
    two.append(message);
    tarnwick::close_line(two, start, style, tail);
    check_equal(two.view(), one.view(), "two steps give the one-step line");

    const std::string_view line = two.view();
    const std::string end = "\"" + std::string(tail) + (style.json ? "}\n" : "\n");
    check(line.size() >= start + end.size() && line.substr(line.size() - end.size()) == end,
          "the message's closing quote, the tail and the line's end come last");
    check(line.find('\n', start) == line.size() - 1, "one record is one line");
    std::string decoded;
    check(json_unescape(line.substr(start, line.size() - end.size() - start), decoded),
          "the message is a well-formed JSON string body in every shape");
    check_equal(decoded, message, "the message decodes back to the bytes given");
    return 0;
}
