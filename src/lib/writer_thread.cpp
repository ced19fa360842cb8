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

IoResult<std::size_t> write_fd(int fd, const char* data, std::size_t size) noexcept {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) return IoError::os(errno);
    return static_cast<std::size_t>(n);
}

// One write(2), so the line is not torn apart by other writers of standard error.
void report(std::string_view text) noexcept {
    try {
        std::string line = "error ";
        line += text;
        line += '\n';
        while (::write(2, line.data(), line.size()) < 0 && errno == EINTR) {
        }
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
                if (IoStatus status = writer.flush()) return status;
                (void)ack.send(Ack{});  // the waiter may have given up: nothing to tell anyone
                return std::nullopt;
            } else {
                stop = true;
                return writer.flush();
            }
        },
        action);
}

// Everything up to the exit. The buffered writer is closed before this returns.
IoStatus serve(Context& context) {
    IoResult<BufferedWriter> opened = context.open_destination(context);
    if (auto* error = std::get_if<IoError>(&opened)) return *error;
    BufferedWriter writer = std::move(std::get<BufferedWriter>(opened));
    auto last_check = std::chrono::steady_clock::now();

    for (;;) {
        RecvResult<Action> got =
            context.receiver.recv_until(std::chrono::steady_clock::now() + context.check_interval);
        // Written out here rather than by the close, whose errors nobody would hear of. No
        // destination flush: nobody waits for one.
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
                IoResult<BufferedWriter> next = context.open_destination(context);
                if (auto* error = std::get_if<IoError>(&next)) return *error;
                // The old day's last lines must not vanish silently in the close.
                if (IoStatus status = writer.write_out()) return status;
                writer = std::move(std::get<BufferedWriter>(next));
            }
        }
        if (IoStatus status = writer.flush()) return status;
    }
}

void* writer_entry(void* arg) noexcept {
    std::unique_ptr<Context> context(static_cast<Context*>(arg));
    run_writer(std::move(*context));
    return nullptr;
}

}  // namespace

IoResult<std::size_t> StdoutDestination::write(const char* data, std::size_t size) {
    IoResult<std::size_t> result = write_fd(fd_, data, size);
    if (auto* error = std::get_if<IoError>(&result); error && error->os_code() == EBADF) return size;
    return result;
}

FileDestination::~FileDestination() {
    if (fd_ >= 0) ::close(fd_);  // no error to report: every write has returned already
}

IoResult<std::size_t> FileDestination::write(const char* data, std::size_t size) {
    return write_fd(fd_, data, size);
}

BufferedWriter::BufferedWriter(std::unique_ptr<Destination> destination)
    : buffer_(WRITE_BUFFER_CAPACITY), destination_(std::move(destination)) {}

BufferedWriter& BufferedWriter::operator=(BufferedWriter&& o) noexcept {
    if (this != &o) {
        close();
        buffer_ = std::move(o.buffer_);
        destination_ = std::move(o.destination_);
    }
    return *this;
}

void BufferedWriter::close() noexcept {
    if (!destination_) return;
    (void)write_out();
    buffer_ = Bytes();
    destination_.reset();
}

IoStatus BufferedWriter::write(std::string_view bytes) {
    const std::size_t free = WRITE_BUFFER_CAPACITY - buffer_.size();
    if (bytes.size() < free) {
        buffer_.append(bytes);
        return std::nullopt;
    }
    if (bytes.size() > free) {
        if (IoStatus status = write_out()) return status;
    }
    if (bytes.size() >= WRITE_BUFFER_CAPACITY) return write_direct(bytes);
    buffer_.append(bytes);
    return std::nullopt;
}

IoStatus BufferedWriter::write_out() {
    std::size_t written = 0;
    IoStatus status;
    while (written < buffer_.size()) {
        IoResult<std::size_t> r = destination_->write(buffer_.data() + written, buffer_.size() - written);
        if (auto* error = std::get_if<IoError>(&r)) {
            if (error->interrupted()) continue;
            status = *error;
            break;
        }
        const std::size_t n = std::get<std::size_t>(r);
        if (n == 0) {
            status = IoError::custom(BUFFERED_WRITE_ZERO);
            break;
        }
        written += n;
    }
    const std::size_t rest = buffer_.size() - written;
    if (written > 0 && rest > 0) std::memmove(buffer_.data(), buffer_.data() + written, rest);
    buffer_.truncate(rest);
    return status;
}

IoStatus BufferedWriter::write_direct(std::string_view bytes) {
    while (!bytes.empty()) {
        IoResult<std::size_t> r = destination_->write(bytes.data(), bytes.size());
        if (auto* error = std::get_if<IoError>(&r)) {
            if (error->interrupted()) continue;
            return *error;
        }
        const std::size_t n = std::get<std::size_t>(r);
        if (n == 0) return IoError::custom(DIRECT_WRITE_ZERO);
        bytes.remove_prefix(n);
    }
    return std::nullopt;
}

IoStatus BufferedWriter::flush() {
    if (IoStatus status = write_out()) return status;
    return destination_->flush();
}

void run_writer(Context context) noexcept {
    std::optional<std::string> failure;
    try {
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
