// The log call path behind the six level methods, logger creation and shutdown.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "lib/batch_pool.hpp"
#include "lib/mono_clock.hpp"
#include "lib/producer.hpp"
#include "lib/record_line.hpp"
#include "lib/settings.hpp"
#include "python/bound_fields.hpp"
#include "python/message_format.hpp"
#include "python/owned_ref.hpp"
#include "python/py_logger.hpp"
#include "python/shared_writer.hpp"

namespace tarnwick::python {

namespace {

// Lends the thread's scratch buffer to one formatting pass and gives it back emptied. A nested
// log call (from an argument's __str__) finds the slot empty and uses a fresh buffer; the outer
// call's buffer replaces it afterwards.
class ScratchLoan {
public:
    explicit ScratchLoan(Producer& p) : producer_(p), buffer_(std::move(p.scratch)) {}
    ~ScratchLoan() {
        buffer_.clear();
        producer_.scratch = std::move(buffer_);
    }
    ScratchLoan(const ScratchLoan&) = delete;
    ScratchLoan& operator=(const ScratchLoan&) = delete;
    Bytes& buffer() noexcept { return buffer_; }

private:
    Producer& producer_;
    Bytes buffer_;
};

// Thread.join() returns once the thread's Python state is cleared, before its C++ thread_local
// destructors run: a program that joins its workers and exits at once would lose their last lines.
// An object in the thread-state dict is released inside that clearing, so it hands the batch over
// before join() can return. The thread_local destructor stays for lines logged after that.
constexpr const char* THREAD_END_KEY = "tarnwick._logger.thread_end";

void hand_over_at_thread_end(PyObject* capsule) noexcept {
    Producer* owner = static_cast<Producer*>(PyCapsule_GetPointer(capsule, THREAD_END_KEY));
    // Finalisation clears daemon threads' states from the main thread: their batches are not ours.
    Producer* p = existing_producer();
    if (p == nullptr || p != owner || p->in_use) return;
    try {
        ProducerUse use(*p);
        p->hand_over_pending();
    } catch (...) {
        // the thread is ending; its thread_local destructor tries once more
    }
}

// The first use on a thread; kept out of line so the common case below stays a TLS load.
[[gnu::noinline]] Producer& first_thread_producer() {
    Producer& p = details::create_producer();
    PyObject* dict = PyThreadState_GetDict();  // borrowed; null, without an error, if unavailable
    OwnedRef watch = OwnedRef::steal(PyCapsule_New(&p, THREAD_END_KEY, hand_over_at_thread_end));
    if (dict == nullptr || !watch || PyDict_SetItemString(dict, THREAD_END_KEY, watch.get()) < 0) {
        PyErr_Clear();  // only the thread_local destructor will hand the lines over
    }
    return p;
}

inline Producer& thread_producer() {
    if (Producer* p = details::PRODUCER) [[likely]] return *p;
    return first_thread_producer();
}

// What became of a record: appended (a full batch sent on), appended to a full batch that waits
// for room, or not rendered because earlier lines for another writer wait for room first.
enum class Append { Done, BatchWaiting, LinesInTheWay };

// Renders one line at the end of the thread's batch and hands the batch over when full, never
// waiting for room in a writer's queue. Runs no Python code, so nothing can re-enter the producer
// while it is held.
Append append_record(Producer& producer, PyLogger& logger, Level level, std::optional<EscapedName> name,
                     std::string_view message, std::string_view tail, std::uint64_t batch_size) {
    constexpr std::chrono::steady_clock::time_point NO_WAIT{};  // long past
    ProducerUse use(producer);
    SharedWriter& writer = *logger.writer;
    if (producer.owner != &writer) [[unlikely]] {
        if (!producer.hand_over_pending(NO_WAIT)) return Append::LinesInTheWay;
        producer.adopt(logger.writer, writer.destination);
    }
    const WallTime now = producer.clock.now();
    render_line(producer.batch, producer.cache, now, level, writer.style, name, message, tail);
    if (++producer.pending < batch_size) return Append::Done;
    if (!writer.hand_off_until(producer.batch, Wake::Lazily, NO_WAIT)) return Append::BatchWaiting;
    producer.batch = BATCH_POOL.take();
    producer.pending = 0;
    return Append::Done;
}

// A writer's queue is full (its destination does not keep up, or nobody reads it): hands the
// pending lines over, waiting for room in short slices and running the signal handlers between
// them, outside the producer's use because a handler may log. Ctrl-C can so end a wait that may
// never end by itself. False with the handler's exception set; the lines stay pending then.
bool hand_over_interruptibly(Producer& producer) {
    constexpr auto SLICE = std::chrono::milliseconds(100);
    for (;;) {
        {
            ProducerUse use(producer);
            if (producer.hand_over_pending(std::chrono::steady_clock::now() + SLICE)) return true;
        }
        if (PyErr_CheckSignals() < 0) return false;
    }
}

PyObject* record(Producer& producer, PyLogger& logger, Level level, std::optional<EscapedName> name,
                 std::string_view message, std::string_view tail, std::uint64_t batch_size) {
    for (;;) {
        const Append appended = append_record(producer, logger, level, name, message, tail, batch_size);
        if (appended == Append::Done) [[likely]] Py_RETURN_NONE;
        if (!hand_over_interruptibly(producer)) return nullptr;
        if (appended == Append::BatchWaiting) Py_RETURN_NONE;
    }
}

}  // namespace

PyObject* log_args(PyLogger& logger, Level level, PyObject* message, PyObject* const* args, Py_ssize_t nargs) {
    // The fields are immutable and owned by the logger, which the call holds.
    const std::string_view tail = logger.fields ? std::string_view(logger.fields->rendered) : std::string_view();
    return log_args_with_tail(logger, level, message, args, nargs, tail);
}

PyObject* log_args_with_tail(PyLogger& logger, Level level, PyObject* message, PyObject* const* args,
                             Py_ssize_t nargs, std::string_view tail) {
    std::optional<EscapedName> name;
    if (logger.name) name = EscapedName{*logger.name};
    return log_named(logger, level, name, message, args, nargs, tail);
}

PyObject* log_named(PyLogger& logger, Level level, std::optional<EscapedName> name, PyObject* message,
                    PyObject* const* args, Py_ssize_t nargs, std::string_view tail) {
    const std::uint64_t batch_size = BATCH_SIZE.load(std::memory_order_relaxed);
    Producer& producer = thread_producer();
    if (nargs == 0) {
        std::string_view text;
        if (!utf8_of(message, text)) return nullptr;
        return record(producer, logger, level, name, text, tail, batch_size);
    }
    // The text lives in the loan's own buffer, out of reach of a signal handler's nested call.
    ScratchLoan scratch(producer);
    if (!format_message(scratch.buffer(), message, args, nargs)) return nullptr;
    return record(producer, logger, level, name, scratch.buffer().view(), tail, batch_size);
}

PyObject* log_text(PyLogger& logger, Level level, std::optional<EscapedName> name, std::string_view text,
                   std::string_view tail) {
    const std::uint64_t batch_size = BATCH_SIZE.load(std::memory_order_relaxed);
    return record(thread_producer(), logger, level, name, text, tail, batch_size);
}

PyObject* create_logger(PyTypeObject* type, std::shared_ptr<const std::string> name, std::optional<std::string> path,
                        Level level) {
    return alloc_logger(type, shared_writer(std::move(path)), std::move(name), level);
}

namespace {

// Hands this thread's pending lines over and waits up to 5 s for the writer to write and flush
// everything it was sent before.
void hand_over_and_wait(SharedWriter& writer) {
    Producer& producer = thread_producer();
    {
        ProducerUse use(producer);
        producer.hand_over_pending();  // to the writer those lines belong to
    }
    auto [ack_sender, ack_receiver] = make_channel<Ack>(1);
    if (writer.request_flush(std::move(ack_sender))) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        (void)ack_receiver.recv_until(deadline);
    }
}

}  // namespace

PyObject* py_logger_shutdown(PyObject* self, PyObject*) {
    auto& logger = *reinterpret_cast<PyLogger*>(self);
    hand_over_and_wait(*logger.writer);
    if (logger.writer.use_count() == 1) logger.writer->stop();
    Py_RETURN_NONE;
}

PyObject* py_logger_flush(PyObject* self, PyObject*) {
    hand_over_and_wait(*reinterpret_cast<PyLogger*>(self)->writer);
    Py_RETURN_NONE;
}

}  // namespace tarnwick::python
