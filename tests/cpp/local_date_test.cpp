#include "lib/local_date.hpp"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

// Times whose year the C library still gives (as years since 1900) but an int cannot hold once 1900
// is added: the middle of that span, and the last second it has, whatever the time zone.
TEST(LocalDate, YearBeyondIntGivesTheFallbackDate) {
    for (const std::time_t t : {std::time_t{67768007769532800}, std::time_t{67768036191676799}}) {
        EXPECT_EQ(local_date(t), (Date{1970, 1, 1})) << t;
    }
}

}  // namespace
}  // namespace tarnwick
