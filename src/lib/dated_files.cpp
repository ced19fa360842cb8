#include "lib/dated_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <utility>

#include "lib/maintenance.hpp"
#include "lib/rotation.hpp"

namespace tarnwick {

namespace {

// Opening a part that is compressed and deleted between the open and the lock is retried; so
// often in a row means something else keeps replacing it, and the open file is kept.
constexpr int MAX_REOPENS = 8;

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// A part counts as there when its file or its compressed file is.
bool part_exists(const FileSet& files, const Date& date, std::uint64_t part) {
    const std::string name = files.file(date, part);
    return exists(name) || exists(name + ".gz");
}

}  // namespace

IoResult<BufferedWriter> DatedFiles::open(const Date& date) {
    const bool new_day = !day_ || *day_ != date;
    IoResult<Opened> opened = open_part(date, new_day ? 0 : part_);
    if (auto* error = std::get_if<IoError>(&opened)) return *error;
    Opened& o = std::get<Opened>(opened);
    const bool moved_on = new_day || o.part > part_;
    day_ = date;
    part_ = o.part;
    // A new day may have expired old ones; a part left behind (another process split it) is closed.
    if (moved_on) maintain(date);
    return BufferedWriter(std::make_unique<PartFile>(*this, date, o.part, std::move(o.file)));
}

IoResult<DatedFiles::Opened> DatedFiles::open_part(const Date& date, std::uint64_t part) {
    // Parts are made one after another, so the first one missing ends them.
    while (part_exists(files_, date, part + 1)) ++part;
    for (int reopens = 0;;) {
        const std::string name = files_.file(date, part);
        if (exists(name + ".gz")) {  // compressed: closed for good
            ++part;
            continue;
        }
        // Readable: a shared lock needs it.
        IoResult<AppendFile> opened = open_append_file(name, true);
        if (auto* error = std::get_if<IoError>(&opened)) return *error;
        AppendFile& f = std::get<AppendFile>(opened);
        if (try_lock(f.fd, false) == LockResult::Busy) {  // a compressor has it: it is closed
            close_descriptor(f.fd);
            ++part;
            continue;
        }
        // Another process's line may be under way at the end: only a file that nobody else appends
        // to can be left torn.
        if (locked_by_others(f.fd)) f.torn_size.reset();
        auto file = std::make_unique<FileDestination>(f.fd, f.torn_size, name);
        // Compressed and deleted by another process between the look and the lock.
        if (reopens++ < MAX_REOPENS && (!names_same_file(f.fd, name) || exists(name + ".gz"))) continue;
        return Opened{part, std::move(file)};
    }
}

IoResult<DatedFiles::Opened> DatedFiles::next_part(const Date& date, std::uint64_t part) {
    // Without a lock file (a directory we may not create files in) the split still works for this
    // process; O_APPEND keeps the lines of others whole.
    if (!lock_) lock_ = TrackedFd(files_.lock_file(), O_RDWR | O_CREAT | O_NOCTTY, 0666);
    const bool locked = lock_ && lock_exclusive(lock_.get());
    IoResult<Opened> opened = open_part(date, part + 1);
    if (locked) unlock(lock_.get());
    if (auto* o = std::get_if<Opened>(&opened); o && day_ == date) part_ = std::max(part_, o->part);
    return opened;
}

void DatedFiles::maintain(const Date& today) const {
    if (options_.keep_days || options_.compress) request_maintenance(files_, options_, today);
}

IoResult<std::size_t> PartFile::write(const char* data, std::size_t size) {
    if (files_.options().max_bytes == 0) return file_->write(data, size);
    IoResult<std::size_t> take = portion(std::string_view(data, size));
    if (auto* error = std::get_if<IoError>(&take)) return *error;
    IoResult<std::size_t> written = file_->write(data, std::get<std::size_t>(take));
    if (const auto* n = std::get_if<std::size_t>(&written); n != nullptr && *n > 0) mid_line_ = data[*n - 1] != '\n';
    return written;
}

IoResult<std::size_t> PartFile::portion(std::string_view bytes) {
    const std::size_t first_line = bytes.find('\n') == std::string_view::npos ? bytes.size() : bytes.find('\n') + 1;
    if (mid_line_) return first_line;  // a line is never split between two parts
    const std::uint64_t max = files_.options().max_bytes;
    for (;;) {
        if (split_due_) {
            if (IoStatus failed = split()) return *failed;
        }
        // The size as other processes have left it too.
        struct stat st {};
        if (::fstat(file_->fd(), &st) != 0) return IoError::os(errno);
        const auto used = static_cast<std::uint64_t>(st.st_size);
        if (used + bytes.size() <= max) return bytes.size();
        const std::uint64_t room = used < max ? max - used : 0;
        const std::size_t last = bytes.substr(0, room).rfind('\n');
        if (last != std::string_view::npos) return last + 1;
        if (used == 0) return first_line;  // longer than a whole part: a part of its own
        split_due_ = true;
    }
}

IoStatus PartFile::split() {
    next_name_ = files_.files().file(date_, part_ + 1);
    IoResult<DatedFiles::Opened> next = files_.next_part(date_, part_);
    if (auto* error = std::get_if<IoError>(&next)) return *error;  // lines wait; this part stays closed
    DatedFiles::Opened& o = std::get<DatedFiles::Opened>(next);
    file_ = std::move(o.file);  // the closed part's lock goes with it
    part_ = o.part;
    split_due_ = false;
    mid_line_ = false;
    next_name_.clear();
    if (files_.options().compress) files_.maintain(date_);  // the part just closed
    return std::nullopt;
}

bool PartFile::unwrite(std::size_t n) {
    if (!file_->unwrite(n)) return false;
    mid_line_ = false;  // only an unfinished line is taken back
    return true;
}

bool PartFile::replaced() {
    if (split_due_) return false;  // moving on already
    return file_->replaced() || part_exists(files_.files(), date_, part_ + 1);
}

const std::string* PartFile::file_name() const { return split_due_ ? &next_name_ : file_->file_name(); }

}  // namespace tarnwick
