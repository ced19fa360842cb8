#include "lib/timestamp_cache.hpp"

#include <time.h>

#include <cassert>
#include <charconv>
#include <cstring>

#include "lib/line_shape.hpp"

namespace tarnwick {
namespace {

constexpr std::int64_t SECONDS_PER_DAY = 86'400;

struct CivilTime {
    std::int64_t year;
    unsigned month, day, hour, minute, second;
};

constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Proleptic Gregorian calendar from days since 1970-01-01 (H. Hinnant's civil_from_days), so any
// 64-bit second converts without the C library's range limits.
constexpr CivilTime civil_time(std::int64_t unix_seconds) noexcept {
    const std::int64_t days = floor_div(unix_seconds, SECONDS_PER_DAY);
    const auto of_day = static_cast<unsigned>(unix_seconds - days * SECONDS_PER_DAY);
    const std::int64_t z = days + 719'468;
    const std::int64_t era = floor_div(z, 146'097);
    const auto doe = static_cast<unsigned>(z - era * 146'097);
    const unsigned yoe = (doe - doe / 1'460 + doe / 36'524 - doe / 146'096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    return CivilTime{
        .year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0),
        .month = month,
        .day = doy - (153 * mp + 2) / 5 + 1,
        .hour = of_day / 3'600,
        .minute = of_day % 3'600 / 60,
        .second = of_day % 60,
    };
}
static_assert(civil_time(1'773'476'813).year == 2026 && civil_time(1'773'476'813).day == 14);
static_assert(civil_time(-1).year == 1969 && civil_time(-1).second == 59);

// Offset of the process's local time zone at `unix_seconds`, seconds east of UTC.
long utc_offset(std::int64_t unix_seconds) noexcept {
    const auto t = static_cast<time_t>(unix_seconds);
    tm local{};
    // Only a time far outside any real clock fails; UTC still names that instant correctly.
    if (localtime_r(&t, &local) == nullptr) return 0;
    return local.tm_gmtoff;
}

char* put_two(char* p, unsigned value) noexcept {
    p[0] = static_cast<char>('0' + value / 10 % 10);
    p[1] = static_cast<char>('0' + value % 10);
    return p + 2;
}

char* put_year(char* p, std::int64_t year) noexcept {
    if (year < 0) *p++ = '-';
    const std::uint64_t magnitude = year < 0 ? 0 - static_cast<std::uint64_t>(year) : static_cast<std::uint64_t>(year);
    char digits[20];
    const auto end = std::to_chars(digits, digits + sizeof digits, magnitude).ptr;
    const auto count = static_cast<std::size_t>(end - digits);
    for (std::size_t i = count; i < 4; ++i) *p++ = '0';
    std::memcpy(p, digits, count);
    return p + count;
}

}  // namespace

void TimestampCache::Text::assign(std::string_view head, std::string_view tail) noexcept {
    assert(head.size() + tail.size() <= bytes.size() && "time text longer than its slot");
    std::memcpy(bytes.data(), head.data(), head.size());
    std::memcpy(bytes.data() + head.size(), tail.data(), tail.size());
    size = static_cast<std::uint8_t>(head.size() + tail.size());
}

void TimestampCache::refresh(std::int64_t seconds, TextGroup requested) {
    const long offset = utc_offset(seconds);
    const CivilTime local = civil_time(seconds + offset);

    // The parts every group shares: "YYYY-MM-DDTHH:MM:SS.", "+HH:MM" and "<seconds>.".
    char calendar_buf[32];
    char* p = put_year(calendar_buf, local.year);
    *p++ = '-';
    p = put_two(p, local.month);
    *p++ = '-';
    p = put_two(p, local.day);
    *p++ = 'T';
    p = put_two(p, local.hour);
    *p++ = ':';
    p = put_two(p, local.minute);
    *p++ = ':';
    p = put_two(p, local.second);
    *p++ = '.';
    const std::string_view calendar(calendar_buf, static_cast<std::size_t>(p - calendar_buf));

    // Seconds of the offset are dropped, not rounded; the sign of a zero offset is "+".
    const unsigned long magnitude =
        offset < 0 ? 0ul - static_cast<unsigned long>(offset) : static_cast<unsigned long>(offset);
    char offset_buf[6];
    offset_buf[0] = offset < 0 ? '-' : '+';
    put_two(offset_buf + 1, static_cast<unsigned>(magnitude / 3'600 % 100));
    offset_buf[3] = ':';
    put_two(offset_buf + 4, static_cast<unsigned>(magnitude % 3'600 / 60));
    const std::string_view zone(offset_buf, sizeof offset_buf);

    char unix_buf[24];
    char* u = std::to_chars(unix_buf, unix_buf + sizeof unix_buf - 1, seconds).ptr;
    *u++ = '.';
    const std::string_view unix_secs(unix_buf, static_cast<std::size_t>(u - unix_buf));

    second_ = seconds;

    for (std::size_t i = 0; i < TEXT_GROUPS; ++i) {
        const auto group = static_cast<TextGroup>(i);
        // The plain group always, so none goes stale; the others once a line has needed them.
        if (group != TextGroup::Plain && group != requested && !has(group)) continue;
        const LineShape& shape = line_shape(group);
        group_[i].calendar_prefix.assign(shape.time_key.view(), calendar);
        group_[i].offset_suffix.assign(zone, shape.offset_level_key.view());
        group_[i].unix_prefix.assign(shape.unix_time_key.view(), unix_secs);
    }
}

}  // namespace tarnwick
