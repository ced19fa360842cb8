#include "lib/file_set.hpp"

#include <gtest/gtest.h>

#include <string>

#include "lib/rotation.hpp"

namespace tarnwick {
namespace {

constexpr Date MAR14{2026, 3, 14};

// Every kind of configured path: the day's first file is dated_file_name()'s, parts go between the
// date and the extension, and the lock file is hidden beside them.
TEST(FileSet, NamesOfDaysPartsAndLock) {
    // clang-format off
    const struct { std::string configured, part2, lock, entry_of_part2; } table[] = {
        {"logs/app.log", "logs/app_20260314.2.log", "logs/.app.log.lock", "app_20260314.2.log"},
        {"app.log", "app_20260314.2.log", ".app.log.lock", "app_20260314.2.log"},
        {"logs/app", "logs/app_20260314.2.log", "logs/.app.log.lock", "app_20260314.2.log"},
        {"logs/archive.tar.gz", "logs/archive.tar_20260314.2.gz", "logs/.archive.tar.gz.lock", "archive.tar_20260314.2.gz"},
        {"logs/app.", "logs/app_20260314.2.", "logs/.app..lock", "app_20260314.2."},
        {"logs//app", "logs//app_20260314.2.log", "logs//.app.log.lock", "app_20260314.2.log"},
        {"logs/", "logs/_20260314.2.log", "logs/..log.lock", "_20260314.2.log"}};
    // clang-format on
    for (const auto& c : table) {
        const FileSet files(c.configured);
        EXPECT_EQ(files.file(MAR14), dated_file_name(c.configured, MAR14)) << c.configured;
        EXPECT_EQ(files.file(MAR14, 2), c.part2) << c.configured;
        EXPECT_EQ(files.lock_file(), c.lock) << c.configured;
        EXPECT_EQ(files.entry_path(c.entry_of_part2), c.part2) << c.configured;
        const std::optional<SetFile> parsed = files.parse(c.entry_of_part2);
        ASSERT_TRUE(parsed) << c.configured;
        EXPECT_EQ(parsed->date, MAR14);
        EXPECT_EQ(parsed->part, 2u);
    }
    EXPECT_EQ(FileSet("logs/app").key(), FileSet("logs/app.log").key()) << "the same files";
    EXPECT_NE(FileSet("logs/app.log").key(), FileSet("logs/app.txt").key());
}

// Only the exact names of the set count: other bases, other date layouts, impossible dates, part
// numbers with leading zeros and stray suffixes are never the set's files (so never deleted).
TEST(FileSet, ParsesOnlyTheSetsOwnNames) {
    using Form = SetFile::Form;
    const FileSet files("/var/log/app.log");
    // clang-format off
    const struct { const char* entry; Date date; std::uint64_t part; Form form; } table[] = {
        {"app_20260314.log", MAR14, 0, Form::Plain},
        {"app_20260314.log.gz", MAR14, 0, Form::Gz},
        {"app_20260314.log.gz.tmp", MAR14, 0, Form::GzTmp},
        {"app_20260314.17.log", MAR14, 17, Form::Plain},
        {"app_20260314.17.log.gz", MAR14, 17, Form::Gz},
        {"app_20240229.log", {2024, 2, 29}, 0, Form::Plain}};
    // clang-format on
    for (const auto& c : table) {
        const std::optional<SetFile> parsed = files.parse(c.entry);
        ASSERT_TRUE(parsed) << c.entry;
        EXPECT_EQ(parsed->date, c.date) << c.entry;
        EXPECT_EQ(parsed->part, c.part) << c.entry;
        EXPECT_EQ(parsed->form, c.form) << c.entry;
    }
    for (const char* other : {"app_20260314.0.log", "app_20260314.01.log", "app_20260314.1234567890123456789.log",
                              "app_20250229.log", "app_20261314.log", "app_2026-03-14.log", "app_202603141.log",
                              "app_2026031.log", "app_20260314.log.1", "app_20260314.log.gz.tmp.x", "app_20260314.txt",
                              "app_20260314.2.txt", "app_20260314..log", "xapp_20260314.log", "app-x_20260314.log",
                              "app20260314.log", ".app.log.lock", "app_"}) {
        EXPECT_FALSE(files.parse(other)) << other;
    }
    // A tail that looks like a part number still parses one way only.
    const FileSet numbered("app.123");
    EXPECT_EQ(numbered.parse("app_20260314.123")->part, 0u);
    EXPECT_EQ(numbered.parse("app_20260314.5.123")->part, 5u);
    EXPECT_FALSE(numbered.parse("app_20260314.log"));
}

TEST(FileSet, DaysSinceEpoch) {
    EXPECT_EQ(days_since_epoch({1969, 12, 31}), -1);
    EXPECT_EQ(days_since_epoch({2026, 3, 14}), 20526);
    EXPECT_EQ(days_since_epoch({2100, 3, 1}) - days_since_epoch({2100, 2, 28}), 1) << "2100 is not a leap year";
}

}  // namespace
}  // namespace tarnwick
