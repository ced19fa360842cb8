// gzip compression of a closed log file beside itself, safe against crashes and full disks: the
// original is deleted only once <name>.gz is completely written, synced and in place. Runs on the
// maintenance thread (or a test's), never on a writer thread.
#pragma once

#include <string>

#include "lib/io_error.hpp"

namespace tarnwick {

enum class CompressOutcome {
    Done,  // <name>.gz holds the file's bytes and the file is gone
    Busy,  // a writer still appends to it, or another process compresses it: try again later
    Gone,  // the file is no longer there (another process compressed or deleted it)
};

// Writes <path>.gz.tmp, syncs it, renames it to <path>.gz, syncs the directory, deletes `path`.
// A <path>.gz that is already there is kept in front (gzip members concatenate), unless it already
// ends with this very file, left so by a crash between the rename and the delete. On failure the
// .tmp is removed and the original kept.
IoResult<CompressOutcome> compress_file(const std::string& path);

// Removes <path>.gz.tmp when no compression of `path` is under way in any process: one that a
// crash left behind. True when there was one to remove and it is gone.
bool remove_stale_tmp(const std::string& path);

}  // namespace tarnwick
