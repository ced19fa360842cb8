// Dated log file names and the opening of a writer's destination. rotate() runs on the writer
// thread; the naming functions are pure and may run anywhere.
#pragma once

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

// The directory part of `path`, with trailing separators and "." pieces dropped; "" when none.
std::string_view path_parent(std::string_view path);

// Creates `dir` and any missing ancestors with mode 0777 (umask applies); an existing directory,
// even one made concurrently by someone else, is fine.
IoStatus create_directories(std::string_view dir);

// Opens the destination for `date`: standard output when there is no path, else the dated file of
// `path` (for appending, creating it and its directories as needed; a file left ending inside a
// line is continued on a new one).
IoResult<BufferedWriter> rotate(const std::optional<std::string>& path, const Date& date);

}  // namespace tarnwick
