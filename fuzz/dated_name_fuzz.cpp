// Any path bytes and any date: the dated file name follows the naming rules, here modelled on the
// path's components rather than its text, and lands in the directory the configured path names;
// the parent walk that creates directories always ends. The date is local_date of any time, or any
// year with a month and day in range.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "lib/local_date.hpp"
#include "lib/rotation.hpp"

namespace {

using tarnwick::fuzz::check;
using tarnwick::fuzz::check_equal;

struct Components {
    bool absolute = false;
    std::vector<std::string_view> pieces;  // no empty or "." pieces, but a relative path's leading "."

    friend bool operator==(const Components&, const Components&) = default;
};

Components components(std::string_view path) {
    Components c{path.starts_with('/'), {}};
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        const std::string_view piece = path.substr(start, slash - start);
        if (!piece.empty() && (piece != "." || start == 0)) c.pieces.push_back(piece);
        start = slash + 1;
    }
    return c;
}

// printf's "%0*d": the sign counts towards the width.
std::string zero_padded(int value, std::size_t width) {
    const bool negative = value < 0;
    std::string digits = std::to_string(negative ? -static_cast<long long>(value) : static_cast<long long>(value));
    const std::size_t room = width - (negative ? 1 : 0);
    if (digits.size() < room) digits.insert(0, room - digits.size(), '0');
    return negative ? "-" + digits : digits;
}

void check_parent(std::string_view path) {
    const std::string_view parent = tarnwick::path_parent(path);
    check(
        parent.empty() || (parent.data() >= path.data() && parent.data() + parent.size() <= path.data() + path.size()),
        "path_parent views the path it was given");
    check(parent == "/" || !(parent.ends_with('/') || parent.ends_with("/.")),
          "a parent has no trailing separator or \".\" piece");

    Components want = components(path);
    const bool has_component = !want.pieces.empty();
    if (has_component) want.pieces.pop_back();
    if (want.pieces.empty()) {
        check_equal(parent, want.absolute && has_component ? "/" : "",
                    "a path of one component has \"/\" or no parent");
    } else {
        check(components(parent) == want, "the parent is the path without its last component");
    }

    // create_directories walks up with path_parent until nothing is left.
    std::string_view up = path;
    for (std::size_t steps = 0; !up.empty(); ++steps) {
        check(steps <= path.size(), "walking up the parents ends");
        const std::string_view next = tarnwick::path_parent(up);
        check(next.size() < up.size(), "a parent is shorter than its path");
        up = next;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint64_t word = 0;
    const std::size_t header = std::min(size, sizeof word);
    if (header != 0) std::memcpy(&word, data, header);
    const std::string_view path(reinterpret_cast<const char*>(data) + header, size - header);

    tarnwick::Date date{};
    if (word & 1) {
        date = tarnwick::local_date(static_cast<std::time_t>(static_cast<std::int64_t>(word) >> 1));
        check(date.month >= 1 && date.month <= 12 && date.day >= 1 && date.day <= 31,
              "local_date gives a calendar date");
    } else {
        date = {static_cast<std::int32_t>(word >> 32), static_cast<int>(1 + ((word >> 8) & 0xff) % 12),
                static_cast<int>(1 + ((word >> 16) & 0xff) % 31)};
    }
    const std::string suffix = "_" + zero_padded(date.year, 4) + zero_padded(date.month, 2) + zero_padded(date.day, 2);

    const std::string file = tarnwick::dated_file_name(path, date);
    check_parent(path);
    check_parent(file);

    const Components configured = components(path);
    const std::string_view name = configured.pieces.empty() ? "" : configured.pieces.back();
    const std::size_t dot = name == ".." || name == "." ? std::string_view::npos : name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) {
        check_equal(file, std::string(path) + suffix + ".log", "without an extension: the configured text, date, .log");
        return 0;
    }
    // The date goes before the last extension, and the file stays in the configured directory.
    const std::string dated = std::string(name.substr(0, dot)) + suffix + std::string(name.substr(dot));
    Components want = configured;
    want.pieces.back() = dated;
    check(components(file) == want, "with an extension: the same directory, the date before the extension");
    check(file == dated || (file.ends_with("/" + dated) && !file.ends_with("//" + dated)),
          "one separator between the directory and the name");
    check_equal(tarnwick::path_parent(file), tarnwick::path_parent(path), "the directory made is the configured one");
    return 0;
}
