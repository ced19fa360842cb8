#include "lib/writer_thread.hpp"

#include "lib/core_hooks.hpp"

#include <algorithm>
#include <chrono>
#include <exception>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>

#include "lib/batch_pool.hpp"
#include "lib/core_hooks.hpp"
#include "lib/dated_files.hpp"

namespace tarnwick {

namespace {

constexpr std::size_t WRITER_STACK_SIZE = 2 * 1024 * 1024;

// Handles one message. Sets `stop` after Stop, which the closing of the output carries out.
void handle(Action& action, Output& output, bool& stop) {
    std::visit(
        [&](auto& message) {
            using M = std::decay_t<decltype(message)>;
            if constexpr (std::is_same_v<M, Write>) {
                output.write(message.bytes.view());
                BATCH_POOL.give(std::move(message.bytes));
            } else if constexpr (std::is_same_v<M, FlushAck>) {
                AckSender ack = std::move(message.ack);     // dropped unanswered while lines wait or are lost
                if (output.flush()) (void)ack.send(Ack{});  // the waiter may have given up: nothing to tell anyone
            } else {
                stop = true;
            }
        },
        action);
}

// Everything up to the exit; returns the text of the error line due, if any.
std::optional<std::string> serve(Context& context) {
    // Declared before the output, whose destinations refer to it.
    std::optional<DatedFiles> files;
    OpenDestination open = core_hooks().open_destination;
    if (!open && context.path) {
        files.emplace(*context.path, context.files);
        open = [&files](const std::optional<std::string>&, const Date& date) { return files->open(date); };
    } else if (!open) {
        open = rotate;
    }
    Output output(context.path, std::move(open));
    output.open(context.date);
    auto last_check = std::chrono::steady_clock::now();

    while (!output.failed()) {
        const auto wake = std::min(std::chrono::steady_clock::now() + context.check_interval, output.retry_at());
        RecvResult<Action> got = context.receiver.recv_until(wake);
        if (got.status == RecvStatus::Disconnected) break;
        if (got.status == RecvStatus::Message) {
            bool stop = false;
            handle(*got.message, output, stop);
            got.message.reset();
            if (stop) break;
        }

        const auto now = std::chrono::steady_clock::now();
        if (now - last_check < context.check_interval) {
            if (now >= output.retry_at()) output.tick(now);
            continue;
        }
        last_check = now;
        if (context.path) {
            const Date today = core_hooks().today();
            if (today != context.date) {
                context.date = today;
                output.open(context.date);
                continue;
            }
            // A file deleted or renamed behind the writer's back: what is pending goes after the
            // lines already there, everything later into a file of the name.
            output.reopen_if_replaced();
        }
        output.tick(now);
    }
    // Written out here rather than by the buffered writer's close, whose errors nobody would hear of.
    return output.close();
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
        failure = serve(context);
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
