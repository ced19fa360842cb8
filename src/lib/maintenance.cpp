#include "lib/maintenance.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#ifdef __linux__
#include <sys/syscall.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lib/file_lock.hpp"
#include "lib/fork_safety.hpp"
#include "lib/gzip_file.hpp"
#include "lib/io_error.hpp"
#include "lib/json_escape.hpp"

namespace tarnwick {

namespace {

using Clock = std::chrono::steady_clock;

// A file some writer still holds is usually let go within a second (at its next write or check).
constexpr std::chrono::milliseconds FIRST_BACKOFF{250};
constexpr std::chrono::milliseconds MAX_BACKOFF{30'000};
// Below the writers and the logging threads: compression takes whatever processor time is left.
constexpr int MAINTENANCE_NICENESS = 10;

struct Entry {
    SetFile file;
    std::string path;
    std::string original;  // the plain file that this one is, or is the compression of
    bool gone = false;
};

std::string quoted(const std::string& path) { return '"' + json_escaped(path) + '"'; }

// The set's files in its directory, oldest first; none when the directory cannot be read.
std::vector<Entry> list(const FileSet& files) {
    std::vector<Entry> out;
    DIR* dir = ::opendir(files.directory().c_str());
    if (dir == nullptr) return out;
    while (const dirent* e = ::readdir(dir)) {
        if (std::optional<SetFile> file = files.parse(e->d_name)) {
            out.push_back({*file, files.entry_path(e->d_name), files.file(file->date, file->part)});
        }
    }
    ::closedir(dir);
    std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) {
        const std::int64_t da = days_since_epoch(a.file.date), db = days_since_epoch(b.file.date);
        return da != db ? da < db : a.file.part < b.file.part;
    });
    return out;
}

// Deletes a file of an expired day unless a writer still appends to it (just after midnight) or a
// compression of it is under way; sets `busy` when it was left for later for that reason.
IoStatus delete_expired(const Entry& entry, bool& busy) {
    if (entry.file.form == SetFile::Form::Plain) {
        // Writable for the exclusive lock; a file that cannot be opened so (a directory, one without
        // write permission) cannot be appended to either.
        TrackedFd held(entry.path, O_RDWR | O_NOCTTY);
        if (!held && errno == ENOENT) return std::nullopt;
        if (held && try_lock(held.get(), true) == LockResult::Busy) {
            busy = true;
            return std::nullopt;
        }
        if (held && !names_same_file(held.get(), entry.path)) return std::nullopt;  // deleted meanwhile
        if (::unlink(entry.path.c_str()) != 0 && errno != ENOENT) return IoError::os(errno);
        return std::nullopt;
    }
    if (entry.file.form == SetFile::Form::GzTmp) {
        if (!remove_stale_tmp(entry.original) && ::access(entry.path.c_str(), F_OK) == 0) busy = true;
        return std::nullopt;
    }
    if (::unlink(entry.path.c_str()) != 0 && errno != ENOENT) return IoError::os(errno);
    return std::nullopt;
}

void report_once(bool& reported, const std::string& text) {
    if (reported) return;
    reported = true;
    report(text);
}

struct Request {
    FileSet files;
    FileOptions options;
    Date today;
    Clock::time_point due;
    Clock::duration backoff = FIRST_BACKOFF;
};

struct Maintenance {
    std::mutex mutex;
    std::condition_variable wake;
    std::map<std::string, Request> requests;  // by FileSet::key()
    std::map<std::string, Reported> reported;
    bool running = false;  // the thread exists
    bool hooked = false;   // the fork handlers are registered
    bool start_failed = false;
};

// Never destroyed: the thread may still run while the process exits.
Maintenance& MAINTENANCE = *new Maintenance;

void before_fork() noexcept { MAINTENANCE.mutex.lock(); }
void after_fork_in_parent() noexcept { MAINTENANCE.mutex.unlock(); }
// The thread is gone, and its requests are the parent's: a child's writers ask afresh.
void after_fork_in_child() noexcept {
    recreate_in_child(MAINTENANCE.mutex);
    recreate_in_child(MAINTENANCE.wake);
    MAINTENANCE.running = false;
    MAINTENANCE.requests.clear();
}

void run_maintenance() noexcept {
#ifdef __linux__
    // On Linux a thread's own id sets the niceness of that thread alone.
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), MAINTENANCE_NICENESS);
#endif
    std::unique_lock lock(MAINTENANCE.mutex);
    for (;;) {
        auto next = std::min_element(MAINTENANCE.requests.begin(), MAINTENANCE.requests.end(),
                                     [](const auto& a, const auto& b) { return a.second.due < b.second.due; });
        if (next == MAINTENANCE.requests.end()) {
            MAINTENANCE.wake.wait(lock);
            continue;
        }
        if (next->second.due > Clock::now()) {
            MAINTENANCE.wake.wait_until(lock, next->second.due);
            continue;
        }
        const std::string key = next->first;
        Request request = std::move(next->second);
        MAINTENANCE.requests.erase(next);
        Reported reported = MAINTENANCE.reported[key];
        lock.unlock();
        bool busy = false;
        try {
            busy = maintain(request.files, request.options, request.today, reported);
        } catch (const std::exception& e) {
            report(std::string("maintenance of log files failed: ") + e.what());
        }
        lock.lock();
        MAINTENANCE.reported[key] = reported;
        // A newer request for the set replaces the repetition.
        if (busy && !MAINTENANCE.requests.contains(key)) {
            request.backoff = std::min<Clock::duration>(2 * request.backoff, MAX_BACKOFF);
            request.due = Clock::now() + request.backoff;
            MAINTENANCE.requests.emplace(key, std::move(request));
        }
    }
}

}  // namespace

bool maintain(const FileSet& files, const FileOptions& options, const Date& today, Reported& reported) {
    std::vector<Entry> entries = list(files);
    const std::int64_t today_days = days_since_epoch(today);
    bool busy = false;

    if (options.keep_days) {
        const auto expired = [&](const Entry& e) {
            return today_days - days_since_epoch(e.file.date) > *options.keep_days;
        };
        if (std::any_of(entries.begin(), entries.end(), expired)) {
            // One process at a time, so no file is deleted twice.
            TrackedFd lock(files.lock_file(), O_RDWR | O_CREAT | O_NOCTTY, 0666);
            if (lock) (void)lock_exclusive(lock.get());
            for (Entry& e : entries) {
                if (!expired(e)) continue;
                e.gone = true;
                if (IoStatus failed = delete_expired(e, busy)) {
                    report_once(reported.delete_failed,
                                "cannot delete " + quoted(e.path) + ": " + failed->text() + "; left in place");
                }
            }
        }
    }
    if (!options.compress) return busy;

    std::uint64_t highest_today = 0;
    for (const Entry& e : entries) {
        if (!e.gone && e.file.date == today) highest_today = std::max(highest_today, e.file.part);
    }
    for (Entry& e : entries) {
        if (e.gone || e.file.form != SetFile::Form::GzTmp) continue;
        (void)remove_stale_tmp(e.original);  // its original is compressed again below
        e.gone = true;
    }
    for (Entry& e : entries) {
        if (e.gone || e.file.form != SetFile::Form::Plain) continue;
        const std::int64_t day = days_since_epoch(e.file.date);
        const bool closed = day < today_days || (day == today_days && e.file.part < highest_today);
        if (!closed) continue;
        IoResult<CompressOutcome> outcome = compress_file(e.path);
        if (auto* error = std::get_if<IoError>(&outcome)) {
            report_once(reported.compress_failed,
                        "cannot compress " + quoted(e.path) + ": " + error->text() + "; kept uncompressed");
        } else if (std::get<CompressOutcome>(outcome) == CompressOutcome::Busy) {
            busy = true;
        }
    }
    return busy;
}

void request_maintenance(const FileSet& files, const FileOptions& options, const Date& today) {
    std::lock_guard lock(MAINTENANCE.mutex);
    const std::string key = files.key();
    MAINTENANCE.requests.insert_or_assign(key, Request{files, options, today, Clock::now()});
    if (!MAINTENANCE.running) {
        if (!MAINTENANCE.hooked) {
            MAINTENANCE.hooked = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
        }
        try {
            std::thread(run_maintenance).detach();
            MAINTENANCE.running = true;
        } catch (const std::system_error& e) {
            // Tried again at the next request; the files stay as they are meanwhile.
            if (!std::exchange(MAINTENANCE.start_failed, true)) {
                report(std::string("cannot start the maintenance thread: ") + e.what() + "; files left as they are");
            }
            return;
        }
    }
    MAINTENANCE.wake.notify_one();
}

}  // namespace tarnwick
