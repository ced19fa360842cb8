// Retention and compression of a base path's files. They run on one background thread per process,
// started by the first request, so that writing never waits for them; maintain() is one pass, for
// that thread and for tests. Any thread may ask.
#pragma once

#include "lib/file_options.hpp"
#include "lib/file_set.hpp"
#include "lib/local_date.hpp"

namespace tarnwick {

// The error kinds already told of for a file set: each is reported once per process.
struct Reported {
    bool delete_failed = false;
    bool compress_failed = false;
};

// One pass over the set's files as of `today`. With keep_days, deletes every file of a day more
// than that many days before today (by the date in its name), under the set's lock file. With
// compress, removes .gz.tmp files a crash left, then compresses each closed file: every earlier
// day's, and today's parts below the highest. A failure is reported once on standard error and the
// file left as it is. True when a file had to be left for later because a writer of some process
// still appends to it, or another process compresses it.
bool maintain(const FileSet& files, const FileOptions& options, const Date& today, Reported& reported);

// Asks the maintenance thread for a pass over the set as of `today`; a request for a set that is
// waiting already replaces it. A pass that had to leave a file for later is repeated, less often
// each time.
void request_maintenance(const FileSet& files, const FileOptions& options, const Date& today);

}  // namespace tarnwick
