// The writer thread's destination, and what happens when writing to it fails. A failure that may
// pass (a full disk) is waited out: lines are held in the buffer while they fit, the rest are
// dropped and counted, writing is retried with backoff, and one line on standard error tells of
// it once it is over. Any other failure ends the output. Writer thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "lib/buffered_writer.hpp"
#include "lib/io_error.hpp"
#include "lib/local_date.hpp"

namespace tarnwick {

// Opens a writer's destination for a date: standard output, the dated files of the path, or a
// test's fake.
using OpenDestination =
    std::function<IoResult<BufferedWriter>(const std::optional<std::string>& path, const Date& date)>;

// Retries start soon, so a short outage loses little, and slow down to one a second.
inline constexpr std::chrono::milliseconds FIRST_RETRY{10};
inline constexpr std::chrono::milliseconds MAX_RETRY{1000};

class Output {
public:
    using Clock = std::chrono::steady_clock;

    Output(std::optional<std::string> path, OpenDestination open_destination)
        : path_(std::move(path)), open_(std::move(open_destination)) {}
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Opens the destination of `date`: at the start, and at each date change, after the old
    // destination's pending lines were written out (or counted as lost: they belong to its day).
    void open(const Date& date);
    // Opens the destination anew when its file was deleted or renamed behind the writer's back (or
    // is no longer the one to append to); what is pending goes to the old one first.
    void reopen_if_replaced();
    void write(std::string_view lines);
    // Writes out everything pending now, also during an outage; true once all of it has reached
    // the destination.
    bool flush();
    // The periodic write-out; during an outage, a retry once its backoff has passed.
    void tick(Clock::time_point now);
    // When tick() has a retry to make; max() when none.
    Clock::time_point retry_at() const;
    // Set once a failure that will not pass has ended the output.
    bool failed() const noexcept { return fatal_.has_value(); }
    // A last write-out, then the text of the error line still due, if any: an outage not over, or
    // the failure that ended the output.
    std::optional<std::string> close();

private:
    struct Outage {
        IoError error;
        std::string what;  // "cannot write <target>", named when the outage began
        std::size_t lost = 0;
        Clock::duration backoff = FIRST_RETRY;
        Clock::time_point retry_at;

        std::string line() const;  // the error line's text
    };

    // Starts or prolongs an outage for an error that may pass, else ends the output.
    void fail(const char* action, const IoError& error);
    void retry();
    void end_outage() noexcept;
    // Moves the writer's count of dropped lines into the outage.
    void collect() noexcept;
    std::string target() const;

    std::optional<std::string> path_;  // absent = standard output
    OpenDestination open_;
    Date date_{};
    std::optional<BufferedWriter> writer_;  // empty while it cannot be opened
    std::optional<Outage> outage_;
    std::optional<std::string> fatal_;
};

}  // namespace tarnwick
