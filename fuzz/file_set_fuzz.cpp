// Any configured path and any directory entry name: an entry is taken for one of the set's files
// only when the set would give it exactly that name (so retention never deletes another file), and
// every name the set gives for a real date and part is taken back for that date and part.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "lib/file_set.hpp"

namespace {

using tarnwick::fuzz::check;
using tarnwick::fuzz::check_equal;

const char* const FORM_SUFFIX[] = {"", ".gz", ".gz.tmp"};

std::string_view last_component(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint64_t word = 0;
    const std::size_t header = std::min(size, sizeof word);
    if (header != 0) std::memcpy(&word, data, header);
    const std::string_view rest(reinterpret_cast<const char*>(data) + header, size - header);
    const std::size_t split = std::min(rest.find('\0'), rest.size());
    const std::string_view configured = rest.substr(0, split);
    const std::string_view entry = rest.substr(std::min(split + 1, rest.size()));

    const tarnwick::FileSet files(configured);
    if (const std::optional<tarnwick::SetFile> parsed = files.parse(entry)) {
        check(tarnwick::is_valid_date(parsed->date), "only real dates");
        const std::string name = files.file(parsed->date, parsed->part) + FORM_SUFFIX[static_cast<int>(parsed->form)];
        check_equal(last_component(name), entry, "a parsed entry is exactly the name the set gives");
    }

    const tarnwick::Date date{static_cast<int>(word % 10000), static_cast<int>(1 + (word >> 16) % 12),
                              static_cast<int>(1 + (word >> 24) % 28)};
    const std::uint64_t part = (word >> 32) % 1000;
    const int form = static_cast<int>((word >> 48) % 3);
    const std::string name = files.file(date, part) + FORM_SUFFIX[form];
    const std::optional<tarnwick::SetFile> back = files.parse(last_component(name));
    check(back && back->date == date && back->part == part && static_cast<int>(back->form) == form,
          "every name the set gives parses back to its date, part and form");
    return 0;
}
