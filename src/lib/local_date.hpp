// Local calendar dates for naming log files. Any thread.
#pragma once

#include <ctime>

namespace tarnwick {

struct Date {
    int year;
    int month;  // 1 to 12
    int day;    // 1 to 31
    friend bool operator==(const Date&, const Date&) = default;
};

// Under the process's time-zone rules, as the C library has cached them.
Date local_date(std::time_t t) noexcept;
Date local_date_now() noexcept;

}  // namespace tarnwick
