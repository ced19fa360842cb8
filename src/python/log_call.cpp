// The log call path behind the six level methods, logger creation and shutdown.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "lib/batch_pool.hpp"
#include "lib/producer.hpp"
#include "lib/record_line.hpp"
#include "lib/shared_writer.hpp"
#include "python/bound_fields.hpp"
#include "python/detached.hpp"
#include "python/logger_module/settings.hpp"
#include "python/message_format.hpp"
#include "python/owned_ref.hpp"
#include "python/py_logger.hpp"
#include "python/structured.hpp"

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

// This wait holds the interpreter (the thread's state is being cleared), so it is short: lines
// that find no room by then are left to the thread's C++ exit, which waits longer without it.
constexpr auto THREAD_END_WAIT = std::chrono::seconds(1);

// A destructor callback: nothing may be raised, and an ending thread has nobody to tell.
void hand_over_at_thread_end(PyObject* capsule) noexcept {
    Producer* owner = static_cast<Producer*>(PyCapsule_GetPointer(capsule, THREAD_END_KEY));
    // Finalisation clears daemon threads' states from the main thread: their batches are not ours.
    Producer* p = existing_producer();
    if (p == nullptr || p != owner || p->state.load(std::memory_order_relaxed) != Producer::FREE) return;
    try {
        ProducerUse use(*p);
        (void)p->hand_over_pending(std::chrono::steady_clock::now() + THREAD_END_WAIT);
    } catch (...) {
        // the thread_local destructor tries once more
    }
}

// The first use on a thread; kept out of line so the common case below stays a TLS load.
[[gnu::noinline]] Producer& first_thread_producer() {
    Producer& p = create_producer();
    PyObject* dict = PyThreadState_GetDict();  // borrowed; null, without an error, if unavailable
    OwnedRef watch = OwnedRef::steal(PyCapsule_New(&p, THREAD_END_KEY, hand_over_at_thread_end));
    if (dict == nullptr || !watch || PyDict_SetItemString(dict, THREAD_END_KEY, watch.get()) < 0) {
        PyErr_Clear();  // only the thread_local destructor will hand the lines over
    }
    return p;
}

inline Producer& thread_producer() {
    if (Producer* p = details::PRODUCER) [[likely]]
        return *p;
    return first_thread_producer();
}

// What became of a record: appended (a full batch sent on), appended to a full batch that waits
// for room, or not rendered because earlier lines for another writer wait for room first.
// NotRendered: the message needs the interpreter after all (format_native gave up).
enum class Append { Done, BatchWaiting, LinesInTheWay, NotRendered };

// Renders one line at the end of the thread's batch and hands the batch over when full, never
// waiting for room in a writer's queue. Runs no Python code, so nothing can re-enter the producer
// while it is held.
// WithTail: the line carries `tail` after the message and is printed under `name`; otherwise it is
// a plain call's line under the logger's own name, and both are unused (and optimised away).
// `render(batch, cache, now, style)` appends the line, or appends nothing and returns false
// (Append::NotRendered) when it cannot.
template <class Render>
Append append_record(Producer& producer, PyLogger& logger, std::uint64_t batch_size, Render&& render) {
    constexpr std::chrono::steady_clock::time_point NO_WAIT{};  // long past
    ProducerUse use(producer);
    SharedWriter& writer = *logger.writer;
    if (producer.owner != &writer) [[unlikely]] {
        if (!producer.hand_over_pending(NO_WAIT)) return Append::LinesInTheWay;
        producer.adopt(logger.writer, writer.config);
    }
    const WallTime now = producer.clock.now();
    if (!render(producer.batch, producer.cache, now, writer.config->style)) return Append::NotRendered;
    if (++producer.pending < batch_size) return Append::Done;
    if (!writer.hand_over(producer.batch, Wake::Lazily, NO_WAIT)) return Append::BatchWaiting;
    producer.batch = BATCH_POOL.take();
    producer.pending = 0;
    return Append::Done;
}

// The line of a ready message.
template <bool WithTail>
Append append_record(Producer& producer, PyLogger& logger, Level level, std::optional<EscapedName> name,
                     std::string_view message, std::string_view tail, std::uint64_t batch_size) {
    return append_record(producer, logger, batch_size,
                         [&](Bytes& batch, TimestampCache& cache, WallTime now, LineStyle style) {
                             if constexpr (WithTail) {
                                 render_line(batch, cache, now, level, style, name, message, tail);
                             } else {
                                 render_line(batch, cache, now, level, style, name_of(logger), message);
                             }
                             return true;
                         });
}

// A writer's queue is full (its destination does not keep up, or nobody reads it): hands the
// pending lines over, waiting for room in short slices without the interpreter, so other threads
// run meanwhile, and running the signal handlers between them, outside the producer's use because a
// handler may log. Ctrl-C can so end a wait that may never end by itself. False with the handler's
// exception set; the lines stay pending then.
bool hand_over_interruptibly(Producer& producer) {
    constexpr auto SLICE = std::chrono::milliseconds(100);
    for (;;) {
        bool done = false;
        {
            ProducerUse use(producer);
            Detached detached;
            done = producer.hand_over_pending(std::chrono::steady_clock::now() + SLICE);
        }
        if (done) return true;
        if (PyErr_CheckSignals() < 0) return false;
    }
}

// Appends with `append` until the line is in, handing full batches over meanwhile. Null with the
// exception set, or with `rendered` false (and nothing set) when `append` reported NotRendered.
template <class AppendLine>
PyObject* record_with(Producer& producer, AppendLine&& append, bool& rendered) {
    rendered = true;
    for (;;) {
        const Append appended = append();
        if (appended == Append::Done) [[likely]]
            Py_RETURN_NONE;
        if (appended == Append::NotRendered) {
            rendered = false;
            return nullptr;
        }
        if (!hand_over_interruptibly(producer)) return nullptr;
        if (appended == Append::BatchWaiting) Py_RETURN_NONE;
    }
}

template <bool WithTail>
PyObject* record(Producer& producer, PyLogger& logger, Level level, std::optional<EscapedName> name,
                 std::string_view message, std::string_view tail, std::uint64_t batch_size) {
    bool rendered = true;
    return record_with(
        producer, [&] { return append_record<WithTail>(producer, logger, level, name, message, tail, batch_size); },
        rendered);
}

// A message the interpreter formats, in the scratch buffer, before the producer is taken.
template <bool WithTail>
PyObject* log_formatted(Producer& producer, PyLogger& logger, Level level, std::optional<EscapedName> name,
                        PyObject* message, PyObject* const* args, Py_ssize_t nargs, std::string_view tail,
                        std::uint64_t batch_size) {
    // The text lives in the loan's own buffer, out of reach of a signal handler's nested call.
    ScratchLoan scratch(producer);
    if (!format_message(scratch.buffer(), message, args, nargs)) return nullptr;
    return record<WithTail>(producer, logger, level, name, scratch.buffer().view(), tail, batch_size);
}

// Room reserved for a message formatted straight into the batch; a longer one grows it as it goes.
constexpr std::size_t MESSAGE_ROOM = 256;

// Shared by the entries below; inlined so the plain log call pays for no extra layer.
template <bool WithTail>
[[gnu::always_inline]] inline PyObject* log_message(PyLogger& logger, Level level, std::optional<EscapedName> name,
                                                    PyObject* message, PyObject* const* args, Py_ssize_t nargs,
                                                    std::string_view tail) {
    const std::uint64_t batch_size = logger_module::BATCH_SIZE.load(std::memory_order_relaxed);
    Producer& producer = thread_producer();
    if (nargs == 0) {
        std::string_view text;
        if (!utf8_of(message, text)) return nullptr;
        return record<WithTail>(producer, logger, level, name, text, tail, batch_size);
    }
    // The common case, formatted straight into the batch: only exact str, int and float arguments,
    // so no Python code runs while the batch is held. The message is encoded first, outside: an
    // encoding error made inside could run a collection, whose finalizers may log on this thread.
    std::string_view text;
    if (!utf8_of(message, text)) {
        PyErr_Clear();  // raised again below, where the interpreter formats the message
        return log_formatted<WithTail>(producer, logger, level, name, message, args, nargs, tail, batch_size);
    }
    bool rendered = false;
    PyObject* result = record_with(
        producer,
        [&] {
            return append_record(
                producer, logger, batch_size, [&](Bytes& batch, TimestampCache& cache, WallTime now, LineStyle style) {
                    const std::size_t before = batch.size();
                    try {
                        const std::optional<EscapedName> line_name = WithTail ? name : name_of(logger);
                        const std::size_t start =
                            open_line(batch, cache, now, level, style, line_name, MESSAGE_ROOM + tail.size());
                        if (!format_native(batch, text, args, nargs)) {
                            batch.truncate(before);
                            return false;
                        }
                        close_line(batch, start, style, tail);
                    } catch (...) {
                        batch.truncate(before);  // never a partial line
                        throw;
                    }
                    return true;
                });
        },
        rendered);
    if (rendered) return result;
    return log_formatted<WithTail>(producer, logger, level, name, message, args, nargs, tail, batch_size);
}

// Trace ids alone: the span's members, read in place, are the whole tail. Kept out of log_args so
// that the plain call's code stays as it is.
[[gnu::noinline]] PyObject* log_span_ids(PyLogger& logger, Level level, PyObject* message, PyObject* const* args,
                                         Py_ssize_t nargs) {
    SpanIds span;
    if (!span.read(group_index(logger.writer->config->style))) return nullptr;
    return log_message<true>(logger, level, name_of(logger), message, args, nargs, span.text());
}

}  // namespace

PyObject* log_args(PyLogger& logger, Level level, PyObject* message, PyObject* const* args, Py_ssize_t nargs) {
    // Until a context is bound or trace ids are on, this word is all a call pays for them.
    if (ANY_STRUCTURE.load(std::memory_order_relaxed)) [[unlikely]] {
        if (span_ids_only(logger)) return log_span_ids(logger, level, message, args, nargs);
        return log_structured(logger, level, message, args, nargs);
    }
    // The fields are immutable and owned by the logger, which the call holds.
    if (logger.fields) [[unlikely]] {
        return log_message<true>(logger, level, name_of(logger), message, args, nargs, logger.fields->rendered);
    }
    return log_message<false>(logger, level, std::nullopt, message, args, nargs, {});
}

PyObject* log_named(PyLogger& logger, Level level, std::optional<EscapedName> name, PyObject* message,
                    PyObject* const* args, Py_ssize_t nargs, std::string_view tail) {
    return log_message<true>(logger, level, name, message, args, nargs, tail);
}

PyObject* log_text(PyLogger& logger, Level level, std::optional<EscapedName> name, std::string_view text,
                   std::string_view tail) {
    const std::uint64_t batch_size = logger_module::BATCH_SIZE.load(std::memory_order_relaxed);
    return record<true>(thread_producer(), logger, level, name, text, tail, batch_size);
}

PyObject* create_logger(PyTypeObject* type, std::shared_ptr<const std::string> name, std::optional<std::string> path,
                        Level level) {
    return alloc_logger(type, shared_writer(logger_module::writer_config(std::move(path))), std::move(name), level);
}

namespace {

// Hands this thread's pending lines over and waits up to FLUSH_WAIT for the logger's writer to
// write out everything it was sent before; then stops it if the logger is its only owner and
// `stop_if_sole_owner`.
void hand_over_and_wait(PyLogger& logger, bool stop_if_sole_owner) {
    Producer& producer = thread_producer();
    ProducerUse use(producer);
    std::shared_ptr<SharedWriter> writer = logger.writer;
    // The waits leave the interpreter to other threads; the logger (and so `writer`) stays alive.
    Detached detached;
    const auto deadline = std::chrono::steady_clock::now() + FLUSH_WAIT;
    (void)producer.hand_over_pending(deadline);  // to the writer those lines belong to
    (void)flush_and_wait({writer}, deadline);
    if (stop_if_sole_owner && writer.use_count() == 2) writer->stop(deadline);  // `writer` is the other
}

}  // namespace

PyObject* py_logger_shutdown(PyObject* self, PyObject*) {
    hand_over_and_wait(*reinterpret_cast<PyLogger*>(self), true);
    Py_RETURN_NONE;
}

PyObject* py_logger_flush(PyObject* self, PyObject*) {
    hand_over_and_wait(*reinterpret_cast<PyLogger*>(self), false);
    Py_RETURN_NONE;
}

}  // namespace tarnwick::python
