// Advisory locks between the processes that share a base path's files, and the descriptors that
// hold them. A writer holds a shared lock on the file it appends to; compressing or deleting a file
// takes an exclusive one, so no file goes while some process still appends to it. The locks are
// open file description locks (F_OFD_SETLK): whole-file, owned by the open file as flock() locks
// are, but open to a query of whether anyone else holds one. Any thread.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>

namespace tarnwick {

enum class LockResult {
    Locked,
    Busy,         // another open file holds a conflicting lock
    Unsupported,  // the file system has no locks (some network file systems); errno tells why
};

// Non-blocking; a signal is retried. A shared lock needs `fd` open for reading, an exclusive one
// for writing.
LockResult try_lock(int fd, bool exclusive) noexcept;
// Waits for an exclusive lock; false (errno set) when the file system has none.
bool lock_exclusive(int fd) noexcept;
void unlock(int fd) noexcept;
// Whether another open file (another writer, or a compressor) holds a lock on the file now.
bool locked_by_others(int fd) noexcept;

// Whether `fd` is still the file that `path` names: not deleted, renamed or replaced since it was
// opened. A path that cannot be looked at for another reason (permissions) counts as the same.
bool names_same_file(int fd, const std::string& path) noexcept;

// Writers' and compressors' descriptors are closed in a fork child: there the parent's threads
// are gone, and copies of their descriptors would keep the parent's locks and deleted files alive
// for as long as the child lives.
void track_descriptor(int fd) noexcept;
// Unlocks, forgets and closes `fd`. Unlocking first matters: a lock belongs to the open file,
// which a fork child that has not closed its copy yet would otherwise keep locked.
void close_descriptor(int fd) noexcept;

// A tracked descriptor, closed (and unlocked) with the object; -1 when the open failed, errno set.
class TrackedFd {
public:
    TrackedFd() noexcept = default;
    TrackedFd(const std::string& path, int flags, mode_t mode = 0) noexcept;
    TrackedFd(TrackedFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    TrackedFd& operator=(TrackedFd&& o) noexcept;
    ~TrackedFd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    void reset() noexcept;

private:
    int fd_ = -1;
};

}  // namespace tarnwick
