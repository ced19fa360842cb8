// Dated log file names and the opening of a writer's destination. rotate() runs on the writer
// thread; the naming functions are pure and may run anywhere.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "lib/buffered_writer.hpp"
#include "lib/io_error.hpp"
#include "lib/local_date.hpp"

namespace tarnwick {

// "logs/app.log" on 5 January 2026 gives "logs/app_20260105.log"; a name without an extension
// keeps the whole configured text and gets "_20260105.log" appended.
std::string dated_file_name(std::string_view configured_path, const Date& date);

// A dated file name is `head` + "_YYYYMMDD" + `tail`: ("logs/app", ".log") for "logs/app.log".
// `tail` starts with "." and holds no "/".
struct DatedNameParts {
    std::string head;
    std::string tail;
};
DatedNameParts dated_name_parts(std::string_view configured_path);

// The directory part of `path`, with trailing separators and "." pieces dropped; "" when none.
std::string_view path_parent(std::string_view path);

// Creates `dir` and any missing ancestors with mode 0777 (umask applies); an existing directory,
// even one made concurrently by someone else, is fine.
IoStatus create_directories(std::string_view dir);

// A file opened for appending, and its size when it ends inside a line (see FileDestination).
struct AppendFile {
    int fd;
    std::optional<off_t> torn_size;
};

// Opens `file` for appending (write-only unless `readable`, created with mode 0666 less the umask,
// close-on-exec), creating its directory and any missing ancestors first.
IoResult<AppendFile> open_append_file(const std::string& file, bool readable = false);

// Opens the destination for `date`: standard output when there is no path, else the dated file of
// `path` (for appending, creating it and its directories as needed; a file left ending inside a
// line is continued on a new one).
IoResult<BufferedWriter> rotate(const std::optional<std::string>& path, const Date& date);

}  // namespace tarnwick
