#include "lib/output.hpp"

#include <algorithm>
#include <utility>
#include <variant>

#include "lib/json_escape.hpp"
#include "lib/rotation.hpp"

namespace tarnwick {

namespace {

constexpr const char* CANNOT_OPEN = "cannot open";
constexpr const char* CANNOT_WRITE = "cannot write";

}  // namespace

std::string Output::Outage::line() const {
    return what + ": " + error.text() + "; " + std::to_string(lost) + (lost == 1 ? " line lost" : " lines lost");
}

void Output::open(const Date& date) {
    if (writer_ && !flush()) {
        if (fatal_) return;
        writer_->drop_pending();
        collect();
    }
    date_ = date;
    IoResult<BufferedWriter> next = open_(path_, date_);
    if (auto* error = std::get_if<IoError>(&next)) {
        writer_.reset();
        fail(CANNOT_OPEN, *error);
        return;
    }
    writer_ = std::move(std::get<BufferedWriter>(next));
}

void Output::reopen_if_replaced() {
    if (writer_ && !fatal_ && writer_->destination()->replaced()) open(date_);
}

void Output::write(std::string_view lines) {
    if (fatal_) return;
    if (outage_) {
        if (writer_) {
            writer_->hold(lines);
            collect();
        } else {
            outage_->lost += count_lines(lines);
        }
        return;
    }
    if (IoStatus status = writer_->write(lines)) fail(CANNOT_WRITE, *status);
    collect();
}

bool Output::flush() {
    if (fatal_) return false;
    if (outage_) {
        retry();
        return !outage_ && !fatal_;
    }
    if (IoStatus status = writer_->write_out()) {
        fail(CANNOT_WRITE, *status);
        collect();
        return false;
    }
    return true;
}

void Output::tick(Clock::time_point now) {
    if (!outage_) {
        (void)flush();
    } else if (now >= retry_at()) {
        retry();
    }
}

Output::Clock::time_point Output::retry_at() const {
    // A writer with nothing pending has nothing to try: an empty write-out proves nothing.
    if (!outage_ || (writer_ && writer_->pending() == 0)) return Clock::time_point::max();
    return outage_->retry_at;
}

std::optional<std::string> Output::close() {
    if (!fatal_) {
        (void)flush();
    } else if (writer_) {
        (void)writer_->write_out();  // one more attempt: some failures pass after all
    }
    if (writer_) {
        writer_->drop_pending();
        collect();
        writer_.reset();
    }
    if (outage_) return std::exchange(outage_, std::nullopt)->line();
    return std::move(fatal_);
}

void Output::fail(const char* action, const IoError& error) {
    if (!error.may_pass()) {
        end_outage();  // a worse failure ends it: what it counted is told first
        fatal_ = std::string(action) + ' ' + target() + ": " + error.text() + "; writer stopped";
        return;
    }
    const auto now = Clock::now();
    if (!outage_) {
        outage_ = Outage{error, std::string(action) + ' ' + target(), 0, FIRST_RETRY, now + FIRST_RETRY};
        return;
    }
    outage_->backoff = std::min<Clock::duration>(2 * outage_->backoff, MAX_RETRY);
    outage_->retry_at = now + outage_->backoff;
}

void Output::retry() {
    if (!writer_) {
        IoResult<BufferedWriter> opened = open_(path_, date_);
        if (auto* error = std::get_if<IoError>(&opened)) return fail(CANNOT_OPEN, *error);
        writer_ = std::move(std::get<BufferedWriter>(opened));
    } else if (writer_->pending() == 0) {
        return;
    } else if (IoStatus status = writer_->write_out()) {
        fail(CANNOT_WRITE, *status);
        collect();
        return;
    }
    end_outage();
}

void Output::end_outage() noexcept {
    if (!outage_) return;
    try {
        report(outage_->line());
    } catch (...) {
        report("(out of memory)");
    }
    outage_.reset();
}

void Output::collect() noexcept {
    if (writer_ && outage_) outage_->lost += writer_->take_dropped();
}

std::string Output::target() const {
    if (!path_) return "standard output";
    const std::string* name = writer_ ? writer_->destination()->file_name() : nullptr;
    return '"' + json_escaped(name ? *name : dated_file_name(*path_, date_)) + '"';
}

}  // namespace tarnwick
