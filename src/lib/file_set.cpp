#include "lib/file_set.hpp"

#include <cstdio>

#include "lib/rotation.hpp"

namespace tarnwick {

namespace {

constexpr std::string_view GZ = ".gz";
constexpr std::string_view GZ_TMP = ".gz.tmp";
constexpr std::size_t MAX_PART_DIGITS = 18;  // any such number fits 64 bits

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::optional<SetFile::Form> form_of(std::string_view rest, std::string_view tail) {
    if (!rest.starts_with(tail)) return std::nullopt;
    rest.remove_prefix(tail.size());
    if (rest.empty()) return SetFile::Form::Plain;
    if (rest == GZ) return SetFile::Form::Gz;
    if (rest == GZ_TMP) return SetFile::Form::GzTmp;
    return std::nullopt;
}

int number(std::string_view digits) {
    int n = 0;
    for (const char c : digits) n = n * 10 + (c - '0');
    return n;
}

}  // namespace

// Howard Hinnant's days_from_civil.
std::int64_t days_since_epoch(const Date& date) noexcept {
    const std::int64_t y = static_cast<std::int64_t>(date.year) - (date.month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t year_of_era = y - era * 400;
    const std::int64_t month = date.month > 2 ? date.month - 3 : date.month + 9;
    const std::int64_t day_of_year = (153 * month + 2) / 5 + date.day - 1;
    const std::int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

bool is_valid_date(const Date& date) noexcept {
    static constexpr int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (date.month < 1 || date.month > 12 || date.day < 1) return false;
    const bool leap = date.year % 4 == 0 && (date.year % 100 != 0 || date.year % 400 == 0);
    return date.day <= DAYS[date.month - 1] + (date.month == 2 && leap ? 1 : 0);
}

FileSet::FileSet(std::string_view configured_path) {
    DatedNameParts parts = dated_name_parts(configured_path);
    const std::size_t slash = parts.head.rfind('/');
    const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
    dir_ = parts.head.substr(0, name_start);
    name_head_ = parts.head.substr(name_start);
    tail_ = std::move(parts.tail);
}

std::string FileSet::file(const Date& date, std::uint64_t part) const {
    char middle[48];
    if (part == 0) {
        std::snprintf(middle, sizeof middle, "_%04d%02d%02d", date.year, date.month, date.day);
    } else {
        std::snprintf(middle, sizeof middle, "_%04d%02d%02d.%llu", date.year, date.month, date.day,
                      static_cast<unsigned long long>(part));
    }
    return dir_ + name_head_ + middle + tail_;
}

std::optional<SetFile> FileSet::parse(std::string_view entry) const {
    if (!entry.starts_with(name_head_) || entry.size() < name_head_.size() + 9 || entry[name_head_.size()] != '_') {
        return std::nullopt;
    }
    entry.remove_prefix(name_head_.size() + 1);
    for (std::size_t i = 0; i < 8; ++i) {
        if (!is_digit(entry[i])) return std::nullopt;
    }
    const Date date{number(entry.substr(0, 4)), number(entry.substr(4, 2)), number(entry.substr(6, 2))};
    if (!is_valid_date(date)) return std::nullopt;
    entry.remove_prefix(8);
    if (auto form = form_of(entry, tail_)) return SetFile{date, 0, *form};

    // ".<part>" and then the tail: a part number starts with 1-9.
    if (entry.size() < 2 || entry[0] != '.' || entry[1] == '0') return std::nullopt;
    std::size_t digits = 0;
    while (1 + digits < entry.size() && is_digit(entry[1 + digits])) ++digits;
    if (digits == 0 || digits > MAX_PART_DIGITS) return std::nullopt;
    std::uint64_t part = 0;
    for (const char c : entry.substr(1, digits)) part = part * 10 + static_cast<std::uint64_t>(c - '0');
    if (auto form = form_of(entry.substr(1 + digits), tail_)) return SetFile{date, part, *form};
    return std::nullopt;
}

}  // namespace tarnwick
