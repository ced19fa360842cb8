// The dated files of one writer's base path as its writer thread sees them: which file to append
// to (the highest part of the day, never one that is closed), the split into parts before a file
// would pass max_bytes, and when to ask for retention and compression. Writer thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "lib/buffered_writer.hpp"
#include "lib/file_lock.hpp"
#include "lib/file_options.hpp"
#include "lib/file_set.hpp"
#include "lib/io_error.hpp"
#include "lib/local_date.hpp"

namespace tarnwick {

class PartFile;

// A part, once closed, is never written again: a writer starts the next one instead, also after a
// restart (it continues in the day's highest part) and when that one was compressed meanwhile.
class DatedFiles {
public:
    DatedFiles(std::string_view path, const FileOptions& options) : files_(path), options_(options) {}
    DatedFiles(const DatedFiles&) = delete;
    DatedFiles& operator=(const DatedFiles&) = delete;

    // The destination for `date`: its highest part from the one this writer last used on; a new
    // day also asks for retention and compression.
    IoResult<BufferedWriter> open(const Date& date);

    const FileSet& files() const noexcept { return files_; }
    const FileOptions& options() const noexcept { return options_; }

private:
    friend class PartFile;
    struct Opened {
        std::uint64_t part;
        std::unique_ptr<FileDestination> file;
    };

    // The first part from `part` on that is the day's highest and not closed, opened for
    // appending with a shared lock that keeps compression off it.
    IoResult<Opened> open_part(const Date& date, std::uint64_t part);
    // The part after `part`: a new one, or the one another process made, under the lock file.
    IoResult<Opened> next_part(const Date& date, std::uint64_t part);
    void maintain(const Date& today) const;

    FileSet files_;
    FileOptions options_;
    std::optional<Date> day_;  // the day of the part opened last
    std::uint64_t part_ = 0;   // the highest part of day_ this writer has used
    TrackedFd lock_;           // the lock file beside the files, opened at the first split
};

// The destination of a dated-files writer. With max_bytes, lines that would take the part past it
// go to the next part; a batch is split only at line ends, and a line longer than a whole part
// gets a part of its own. Another process's split is followed at the next check.
class PartFile final : public Destination {
public:
    PartFile(DatedFiles& files, const Date& date, std::uint64_t part, std::unique_ptr<FileDestination> file) noexcept
        : files_(files), date_(date), part_(part), file_(std::move(file)) {}

    IoResult<std::size_t> write(const char* data, std::size_t size) override;
    bool unwrite(std::size_t n) override;
    // The file was deleted or renamed, or a later part of the day exists.
    bool replaced() override;
    const std::string* file_name() const override;
    std::uint64_t part() const noexcept { return part_; }

private:
    // How much of `bytes` to write to the current part now; may move on to the next part first.
    IoResult<std::size_t> portion(std::string_view bytes);
    IoStatus split();

    DatedFiles& files_;
    Date date_;
    std::uint64_t part_;
    std::unique_ptr<FileDestination> file_;
    bool split_due_ = false;  // the current part is closed: nothing more goes to it
    bool mid_line_ = false;   // the last write ended inside a line, whose rest must follow it
    std::string next_name_;   // the part that could not be opened yet, for the error line
};

}  // namespace tarnwick
