// The names of one base path's files: the dated file of each day, its numbered parts, their
// compressed forms, and the lock file beside them; and which directory entries are such files.
// Pure naming; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "lib/local_date.hpp"

namespace tarnwick {

// Days since 1970-01-01 of a calendar date (proleptic Gregorian).
std::int64_t days_since_epoch(const Date& date) noexcept;
bool is_valid_date(const Date& date) noexcept;

// A file of the set, as its name tells: the day, the part (0 for the day's first file) and form.
struct SetFile {
    enum class Form { Plain, Gz, GzTmp };
    Date date;
    std::uint64_t part;
    Form form;
};

// For "logs/app.log": logs/app_20260314.log, then the parts logs/app_20260314.1.log, .2, ... of
// the same day; <name>.gz once compressed (<name>.gz.tmp while that is written); and the lock
// file logs/.app.log.lock. Nothing is normalised: names follow the configured text as
// dated_file_name() does.
class FileSet {
public:
    explicit FileSet(std::string_view configured_path);

    // The path of a day's part; part 0 is the day's first file, dated_file_name()'s.
    std::string file(const Date& date, std::uint64_t part = 0) const;
    std::string lock_file() const { return dir_ + "." + name_head_ + tail_ + ".lock"; }
    // The directory to list for the set's files, and the path of one of its entries.
    std::string directory() const { return dir_.empty() ? "." : dir_; }
    std::string entry_path(std::string_view entry) const { return dir_ + std::string(entry); }
    // The set's file that a directory entry of directory() names exactly; none for any other name,
    // a date that does not exist, or a part number with leading zeros.
    std::optional<SetFile> parse(std::string_view entry) const;
    // Two base paths with the same key write the same files ("logs/app" and "logs/app.log").
    std::string key() const { return dir_ + name_head_ + "_" + tail_; }

private:
    std::string dir_;        // up to and including the last "/"; empty for the working directory
    std::string name_head_;  // the file name before "_YYYYMMDD"
    std::string tail_;       // after the date (and the part): ".log"
};

}  // namespace tarnwick
