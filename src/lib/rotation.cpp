#include "lib/rotation.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

namespace tarnwick {

namespace {

struct PathSplit {
    std::string_view parent;
    std::optional<std::string_view> file_name;  // absent for "", "/", ".", or a trailing ".."
};

bool is_dot_piece_at_end(std::string_view s) { return s.size() >= 2 && s.back() == '.' && s[s.size() - 2] == '/'; }

// Drops trailing separators and "." pieces, keeping a lone leading "/" or "." of its own.
std::string_view trim_trailing(std::string_view s) {
    for (;;) {
        if (s.size() > 1 && s.back() == '/') {
            s.remove_suffix(1);
        } else if (is_dot_piece_at_end(s)) {
            s.remove_suffix(1);
        } else {
            return s;
        }
    }
}

PathSplit split_path(std::string_view path) {
    const std::string_view trimmed = trim_trailing(path);
    if (trimmed.empty() || trimmed == "/") return {};
    const std::size_t slash = trimmed.rfind('/');
    const std::string_view last = slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1);
    const std::string_view before = slash == std::string_view::npos ? std::string_view() : trimmed.substr(0, slash + 1);
    PathSplit out{trim_trailing(before), std::nullopt};
    if (last != "." && last != "..") out.file_name = last;
    return out;
}

bool contains_nul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

bool is_directory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Succeeds also when the directory exists, whatever mkdir said about it.
int make_directory(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0777) == 0) return 0;
    const int error = errno;
    return is_directory(dir) ? 0 : error;
}

IoResult<int> open_append(const std::string& file, bool readable) {
    if (contains_nul(file)) return IoError::custom(NUL_IN_PATH);
    for (;;) {
        const int fd = ::open(file.c_str(), (readable ? O_RDWR : O_WRONLY) | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno != EINTR) return IoError::os(errno);
    }
}

// The file's size when it ends inside a line, as a writer that failed or was killed may leave it.
// Read through a descriptor of its own: the writer's is write-only.
std::optional<off_t> torn_size(const std::string& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    char last = '\n';
    if (::fstat(fd, &st) == 0 && st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) != 1) last = '\n';
    ::close(fd);
    return last != '\n' ? std::optional<off_t>(st.st_size) : std::nullopt;
}

}  // namespace

DatedNameParts dated_name_parts(std::string_view configured_path) {
    const PathSplit split = split_path(configured_path);
    const std::size_t dot = split.file_name ? split.file_name->rfind('.') : std::string_view::npos;
    // No extension when there is no dot, or the only one starts the name (".hidden").
    if (dot == std::string_view::npos || dot == 0) return {std::string(configured_path), ".log"};
    std::string head(split.parent);
    if (!head.empty() && head.back() != '/') head += '/';
    head += split.file_name->substr(0, dot);
    return {std::move(head), std::string(split.file_name->substr(dot))};
}

std::string dated_file_name(std::string_view configured_path, const Date& date) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "_%04d%02d%02d", date.year, date.month, date.day);
    DatedNameParts parts = dated_name_parts(configured_path);
    return std::move(parts.head) + suffix + parts.tail;
}

std::string_view path_parent(std::string_view path) { return split_path(path).parent; }

IoStatus create_directories(std::string_view dir) {
    if (contains_nul(dir)) return IoError::custom(NUL_IN_PATH);
    // Walk up to the nearest existing ancestor, so the common case costs one mkdir.
    std::vector<std::string> missing;
    std::string current(dir);
    for (;;) {
        const int error = make_directory(current);
        if (error == 0) break;
        if (error != ENOENT) return IoError::os(error);
        // A copy, not a view: moving `current` may move the bytes a view would read.
        std::string up(path_parent(current));
        missing.push_back(std::move(current));
        if (up.empty()) break;
        current = std::move(up);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (const int error = make_directory(*it)) return IoError::os(error);
    }
    return std::nullopt;
}

IoResult<AppendFile> open_append_file(const std::string& file, bool readable) {
    const std::string_view dir = path_parent(file);
    if (!dir.empty()) {
        if (IoStatus status = create_directories(dir)) return *status;
    }
    IoResult<int> fd = open_append(file, readable);
    if (auto* error = std::get_if<IoError>(&fd)) return *error;
    return AppendFile{std::get<int>(fd), torn_size(file)};
}

IoResult<BufferedWriter> rotate(const std::optional<std::string>& path, const Date& date) {
    if (!path) return BufferedWriter(std::make_unique<StdoutDestination>());
    std::string file = dated_file_name(*path, date);
    IoResult<AppendFile> opened = open_append_file(file);
    if (auto* error = std::get_if<IoError>(&opened)) return *error;
    const AppendFile& f = std::get<AppendFile>(opened);
    return BufferedWriter(std::make_unique<FileDestination>(f.fd, f.torn_size, std::move(file)));
}

}  // namespace tarnwick
