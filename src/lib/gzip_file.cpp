#include "lib/gzip_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "lib/file_lock.hpp"
#include "lib/rotation.hpp"

namespace tarnwick {

namespace {

constexpr std::size_t CHUNK = 256 * 1024;
constexpr int GZIP_WINDOW = 15 + 16;  // the largest window, with a gzip header and trailer
constexpr int MEMORY_LEVEL = 8;       // zlib's default
constexpr const char* ZLIB_FAILED = "zlib failed";

IoResult<std::size_t> read_some(int fd, unsigned char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return IoError::os(errno);
    }
}

IoStatus write_all(int fd, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return IoError::os(errno);
        }
        if (n == 0) return IoError::custom(WRITE_ZERO);
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return std::nullopt;
}

IoStatus rewind(int fd) {
    if (::lseek(fd, 0, SEEK_SET) != 0) return IoError::os(errno);
    return std::nullopt;
}

// What a gzip member's trailer records of its contents: CRC-32 and length modulo 2^32.
struct Trailer {
    std::uint32_t crc = 0;
    std::uint32_t size = 0;
    friend bool operator==(const Trailer&, const Trailer&) = default;
};

IoResult<Trailer> trailer_of_contents(int fd, std::vector<unsigned char>& buffer) {
    if (IoStatus status = rewind(fd)) return *status;
    uLong crc = crc32(0, nullptr, 0);
    std::uint64_t size = 0;
    for (;;) {
        IoResult<std::size_t> got = read_some(fd, buffer.data(), buffer.size());
        if (auto* error = std::get_if<IoError>(&got)) return *error;
        const std::size_t n = std::get<std::size_t>(got);
        if (n == 0) break;
        crc = crc32(crc, buffer.data(), static_cast<uInt>(n));
        size += n;
    }
    return Trailer{static_cast<std::uint32_t>(crc), static_cast<std::uint32_t>(size)};
}

// The last member's trailer of a gzip file; none when it is too short to hold one.
IoResult<std::optional<Trailer>> last_trailer(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return IoError::os(errno);
    constexpr off_t SMALLEST_MEMBER = 18;  // a 10-byte header, an empty deflate stream, the trailer
    if (st.st_size < SMALLEST_MEMBER) return std::optional<Trailer>();
    unsigned char b[8];
    if (::pread(fd, b, sizeof b, st.st_size - 8) != 8) return IoError::os(errno != 0 ? errno : EIO);
    const auto le32 = [](const unsigned char* p) {
        return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
               static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
    };
    return std::optional<Trailer>(Trailer{le32(b), le32(b + 4)});
}

IoStatus copy_all(int from, int to, std::vector<unsigned char>& buffer) {
    if (IoStatus status = rewind(from)) return status;
    for (;;) {
        IoResult<std::size_t> got = read_some(from, buffer.data(), buffer.size());
        if (auto* error = std::get_if<IoError>(&got)) return *error;
        const std::size_t n = std::get<std::size_t>(got);
        if (n == 0) return std::nullopt;
        if (IoStatus status = write_all(to, buffer.data(), n)) return status;
    }
}

struct DeflateEnd {
    void operator()(z_stream* s) const noexcept { deflateEnd(s); }
};

// Appends one gzip member holding all of `from` to `to`.
IoStatus deflate_all(int from, int to, std::vector<unsigned char>& in) {
    if (IoStatus status = rewind(from)) return status;
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, GZIP_WINDOW, MEMORY_LEVEL, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        return IoError::custom(ZLIB_FAILED);
    }
    const std::unique_ptr<z_stream, DeflateEnd> end(&stream);
    std::vector<unsigned char> out(CHUNK);
    for (;;) {
        IoResult<std::size_t> got = read_some(from, in.data(), in.size());
        if (auto* error = std::get_if<IoError>(&got)) return *error;
        const std::size_t n = std::get<std::size_t>(got);
        const int flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
        stream.next_in = in.data();
        stream.avail_in = static_cast<uInt>(n);
        do {
            stream.next_out = out.data();
            stream.avail_out = static_cast<uInt>(out.size());
            const int rc = deflate(&stream, flush);
            if (rc == Z_STREAM_ERROR) return IoError::custom(ZLIB_FAILED);
            if (IoStatus status = write_all(to, out.data(), out.size() - stream.avail_out)) return status;
        } while (stream.avail_out == 0);
        if (flush == Z_FINISH) return std::nullopt;
    }
}

IoStatus sync(int fd) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) return IoError::os(errno);
    }
    return std::nullopt;
}

// Writes `tmp`: the bytes of `earlier` (a .gz already there), then a member with all of `source`.
IoStatus write_tmp(const std::string& tmp, int source, int earlier, std::vector<unsigned char>& buffer) {
    TrackedFd out(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY, 0666);
    if (!out) return IoError::os(errno);
    if (earlier >= 0) {
        if (IoStatus status = copy_all(earlier, out.get(), buffer)) return status;
    }
    if (IoStatus status = deflate_all(source, out.get(), buffer)) return status;
    if (IoStatus status = sync(out.get())) return status;
    // Written and on disk: the page cache has better uses for it.
#ifdef POSIX_FADV_DONTNEED  // not on macOS
    (void)::posix_fadvise(out.get(), 0, 0, POSIX_FADV_DONTNEED);
#endif
    return std::nullopt;
}

void sync_directory_of(const std::string& path) {
    const std::string_view parent = path_parent(path);
    TrackedFd dir(parent.empty() ? std::string(".") : std::string(parent), O_RDONLY | O_DIRECTORY);
    if (dir) (void)sync(dir.get());
}

IoStatus remove(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return IoError::os(errno);
    return std::nullopt;
}

}  // namespace

IoResult<CompressOutcome> compress_file(const std::string& path) {
    TrackedFd source(path, O_RDWR | O_NOCTTY);  // writable for the exclusive lock; never written
    if (!source) {
        if (errno == ENOENT) return CompressOutcome::Gone;
        return IoError::os(errno);
    }
    switch (try_lock(source.get(), true)) {
        case LockResult::Busy:
            return CompressOutcome::Busy;
        case LockResult::Unsupported:
            return IoError::os(errno);  // nothing would tell that no writer appends to it any more
        case LockResult::Locked:
            break;
    }
    // Compressed and deleted by another process between our open and our lock.
    if (!names_same_file(source.get(), path)) return CompressOutcome::Gone;
#ifdef POSIX_FADV_SEQUENTIAL
    (void)::posix_fadvise(source.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
#endif

    std::vector<unsigned char> buffer(CHUNK);
    const std::string gz = path + ".gz";
    TrackedFd earlier(gz, O_RDONLY | O_NOCTTY);
    if (!earlier && errno != ENOENT) return IoError::os(errno);
    if (earlier) {
        IoResult<std::optional<Trailer>> last = last_trailer(earlier.get());
        if (auto* error = std::get_if<IoError>(&last)) return *error;
        IoResult<Trailer> mine = trailer_of_contents(source.get(), buffer);
        if (auto* error = std::get_if<IoError>(&mine)) return *error;
        // A crash came between the rename and the delete last time: the .gz holds this file already.
        if (std::get<std::optional<Trailer>>(last) == std::get<Trailer>(mine)) {
            if (IoStatus status = remove(path)) return *status;
            return CompressOutcome::Done;
        }
    }

    const std::string tmp = gz + ".tmp";
    IoStatus failed = write_tmp(tmp, source.get(), earlier.get(), buffer);
    if (!failed && ::rename(tmp.c_str(), gz.c_str()) != 0) failed = IoError::os(errno);
    if (failed) {
        (void)::unlink(tmp.c_str());
        return *failed;
    }
    // The .gz must be in place on disk before the only other copy of the lines goes.
    sync_directory_of(path);
    if (IoStatus status = remove(path)) return *status;
    return CompressOutcome::Done;
}

bool remove_stale_tmp(const std::string& path) {
    const std::string tmp = path + ".gz.tmp";
    struct stat st {};
    if (::lstat(tmp.c_str(), &st) != 0) return false;
    // A compression under way holds the original locked, and keeps it in place until its .tmp is
    // renamed; with no original, no compression of it can be running.
    TrackedFd source(path, O_RDWR | O_NOCTTY);
    if (source && try_lock(source.get(), true) != LockResult::Locked) return false;
    if (!source && errno != ENOENT) return false;
    return ::unlink(tmp.c_str()) == 0;
}

}  // namespace tarnwick
