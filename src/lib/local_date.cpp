#include "lib/local_date.hpp"

#include <limits>

namespace tarnwick {

Date local_date(std::time_t t) noexcept {
    std::tm tm{};
    // Only a time beyond the range of int years fails; the UTC date is the best left to offer.
    if (localtime_r(&t, &tm) == nullptr && gmtime_r(&t, &tm) == nullptr) return Date{1970, 1, 1};
    // tm_year counts from 1900, so its last 1900 years have no int year: no date to give there either.
    if (tm.tm_year > std::numeric_limits<int>::max() - 1900) return Date{1970, 1, 1};
    return Date{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
}

Date local_date_now() noexcept { return local_date(std::time(nullptr)); }

}  // namespace tarnwick
