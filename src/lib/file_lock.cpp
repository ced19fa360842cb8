#include "lib/file_lock.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <vector>

#include "lib/fork_safety.hpp"

namespace tarnwick {

namespace {

struct Descriptors {
    std::mutex mutex;
    std::vector<int> fds;
    bool hooked = false;  // the fork handlers are registered
};

// Never destroyed: writer and compressor threads may close descriptors while the process exits.
Descriptors& TRACKED = *new Descriptors;

void before_fork() noexcept { TRACKED.mutex.lock(); }
void after_fork_in_parent() noexcept { TRACKED.mutex.unlock(); }
// Only the forking thread exists here, and the lock was taken before the fork: the list is
// consistent. Nothing is freed (only close() is called), so this is safe even before an exec.
void after_fork_in_child() noexcept {
    for (const int fd : TRACKED.fds) ::close(fd);
    TRACKED.fds.clear();
    recreate_in_child(TRACKED.mutex);
}

#ifdef F_OFD_SETLK
// The whole file, as far as it ever grows.
struct flock whole_file(short type) {
    struct flock l {};
    l.l_type = type;
    l.l_whence = SEEK_SET;
    return l;
}
#endif

}  // namespace

#ifdef F_OFD_SETLK

LockResult try_lock(int fd, bool exclusive) noexcept {
    struct flock l = whole_file(exclusive ? F_WRLCK : F_RDLCK);
    while (::fcntl(fd, F_OFD_SETLK, &l) != 0) {
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EACCES ? LockResult::Busy : LockResult::Unsupported;
    }
    return LockResult::Locked;
}

bool lock_exclusive(int fd) noexcept {
    struct flock l = whole_file(F_WRLCK);
    while (::fcntl(fd, F_OFD_SETLKW, &l) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

void unlock(int fd) noexcept {
    struct flock l = whole_file(F_UNLCK);
    (void)::fcntl(fd, F_OFD_SETLK, &l);
}

bool locked_by_others(int fd) noexcept {
    struct flock l = whole_file(F_WRLCK);
    return ::fcntl(fd, F_OFD_GETLK, &l) == 0 && l.l_type != F_UNLCK;
}

#else  // no open file description locks (macOS): flock() locks are owned alike, but cannot be asked about

LockResult try_lock(int fd, bool exclusive) noexcept {
    while (::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        return errno == EWOULDBLOCK ? LockResult::Busy : LockResult::Unsupported;
    }
    return LockResult::Locked;
}

bool lock_exclusive(int fd) noexcept {
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

void unlock(int fd) noexcept { (void)::flock(fd, LOCK_UN); }

bool locked_by_others(int) noexcept { return false; }

#endif

bool names_same_file(int fd, const std::string& path) noexcept {
    struct stat open_file {};
    struct stat named {};
    if (::fstat(fd, &open_file) != 0) return true;
    if (::stat(path.c_str(), &named) != 0) return errno != ENOENT && errno != ENOTDIR;
    return open_file.st_ino == named.st_ino && open_file.st_dev == named.st_dev;
}

void track_descriptor(int fd) noexcept {
    if (fd < 0) return;
    std::lock_guard lock(TRACKED.mutex);
    if (!TRACKED.hooked) {
        TRACKED.hooked = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
    }
    try {
        TRACKED.fds.push_back(fd);
    } catch (...) {
        // Out of memory: the descriptor still works, a fork child merely keeps its copy.
    }
}

void close_descriptor(int fd) noexcept {
    if (fd < 0) return;
    unlock(fd);
    {
        std::lock_guard lock(TRACKED.mutex);
        auto it = std::find(TRACKED.fds.begin(), TRACKED.fds.end(), fd);
        if (it != TRACKED.fds.end()) {
            *it = TRACKED.fds.back();
            TRACKED.fds.pop_back();
        }
        // Closed under the lock: a descriptor number freed here and reused by another thread's
        // open at once must not be forgotten by this call instead.
        ::close(fd);
    }
}

TrackedFd::TrackedFd(const std::string& path, int flags, mode_t mode) noexcept {
    do {
        fd_ = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ >= 0) {
        const int saved = errno;
        track_descriptor(fd_);
        errno = saved;
    }
}

TrackedFd& TrackedFd::operator=(TrackedFd&& o) noexcept {
    if (this != &o) {
        reset();
        fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
}

void TrackedFd::reset() noexcept { close_descriptor(std::exchange(fd_, -1)); }

}  // namespace tarnwick
