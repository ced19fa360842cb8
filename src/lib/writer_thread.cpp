#include "lib/writer_thread.hpp"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>

#include "lib/batch_pool.hpp"

namespace tarnwick {

namespace {

constexpr std::size_t WRITER_STACK_SIZE = 2 * 1024 * 1024;

// One write(2), so the line is not torn apart by other writers of standard error.
void report(std::string_view text) noexcept {
    try {
        std::string line = "error ";
        line += text;
        line += '\n';
        while (::write(2, line.data(), line.size()) < 0 && errno == EINTR) {}
    } catch (...) {
        static constexpr char fallback[] = "error (out of memory)\n";
        [[maybe_unused]] ssize_t n = ::write(2, fallback, sizeof fallback - 1);
    }
}

// Handles one message. Sets `stop` after Stop; an error means the error exit.
IoStatus handle(Action& action, BufferedWriter& writer, bool& stop) {
    return std::visit(
        [&](auto& message) -> IoStatus {
            using M = std::decay_t<decltype(message)>;
            if constexpr (std::is_same_v<M, Write>) {
                IoStatus status = writer.write(message.bytes.view());
                BATCH_POOL.give(std::move(message.bytes));
                return status;
            } else if constexpr (std::is_same_v<M, FlushAck>) {
                AckSender ack = std::move(message.ack);  // dropped unanswered on error
                if (IoStatus status = writer.write_out()) return status;
                (void)ack.send(Ack{});  // the waiter may have given up: nothing to tell anyone
                return std::nullopt;
            } else {
                stop = true;
                return writer.write_out();
            }
        },
        action);
}

// Everything up to the exit. The buffered writer is closed before this returns.
IoStatus serve(Context& context) {
    IoResult<BufferedWriter> opened = context.open_destination(context.path, context.date);
    if (auto* error = std::get_if<IoError>(&opened)) return *error;
    BufferedWriter writer = std::move(std::get<BufferedWriter>(opened));
    auto last_check = std::chrono::steady_clock::now();

    for (;;) {
        RecvResult<Action> got = context.receiver.recv_until(std::chrono::steady_clock::now() + context.check_interval);
        // Written out here rather than by the close, whose errors nobody would hear of.
        if (got.status == RecvStatus::Disconnected) return writer.write_out();
        if (got.status == RecvStatus::Message) {
            bool stop = false;
            IoStatus status = handle(*got.message, writer, stop);
            got.message.reset();
            if (status || stop) return status;
        }

        const auto now = std::chrono::steady_clock::now();
        if (now - last_check < context.check_interval) continue;
        last_check = now;
        if (context.path) {
            const Date today = context.today();
            if (today != context.date) {
                context.date = today;
                IoResult<BufferedWriter> next = context.open_destination(context.path, context.date);
                if (auto* error = std::get_if<IoError>(&next)) return *error;
                // The old day's last lines must not vanish silently in the close.
                if (IoStatus status = writer.write_out()) return status;
                writer = std::move(std::get<BufferedWriter>(next));
            }
        }
        if (IoStatus status = writer.write_out()) return status;
    }
}

void* writer_entry(void* arg) noexcept {
    std::unique_ptr<Context> context(static_cast<Context*>(arg));
    run_writer(std::move(*context));
    return nullptr;
}

}  // namespace

void WriterTurn::wait() {
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [&] { return done_; });
}

bool WriterTurn::wait_until(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return finished_.wait_until(lock, deadline, [&] { return done_; });
}

bool WriterTurn::finished() {
    std::lock_guard lock(mutex_);
    return done_;
}

void WriterTurn::finish() {
    {
        std::lock_guard lock(mutex_);
        done_ = true;
    }
    finished_.notify_all();
}

void run_writer(Context context) noexcept {
    std::optional<std::string> failure;
    try {
        if (context.after) std::exchange(context.after, nullptr)->wait();
        if (IoStatus status = serve(context)) failure = status->text();
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "unknown exception in the writer thread";
    }
    // Senders must see the writer as gone before anyone reads the error line.
    { Receiver<Action> gone = std::move(context.receiver); }
    context.path.reset();
    if (failure) report(*failure);
    if (context.turn) context.turn->finish();
}

WriterThread& WriterThread::operator=(WriterThread&& o) noexcept {
    if (this != &o) {
        if (joinable_) pthread_detach(thread_);
        thread_ = o.thread_;
        joinable_ = std::exchange(o.joinable_, false);
    }
    return *this;
}

WriterThread::~WriterThread() {
    if (joinable_) pthread_detach(thread_);
}

WriterThread WriterThread::spawn(Context context) {
    auto owned = std::make_unique<Context>(std::move(context));
    WriterThread handle;
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc == 0) {
        rc = pthread_attr_setstacksize(&attr, WRITER_STACK_SIZE);
        if (rc == 0) rc = pthread_create(&handle.thread_, &attr, writer_entry, owned.get());
        pthread_attr_destroy(&attr);
    }
    // On failure `owned` still holds the context, so the receiver goes and later sends fail cleanly.
    if (rc != 0) throw std::runtime_error("failed to spawn thread: " + os_error_text(rc));
    static_cast<void>(owned.release());  // the thread owns it now
    handle.joinable_ = true;
    return handle;
}

void WriterThread::join() noexcept {
    if (!joinable_) return;
    pthread_join(thread_, nullptr);
    joinable_ = false;
}

}  // namespace tarnwick
