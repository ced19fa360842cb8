// The log call path behind the six level methods, logger creation and shutdown.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "lib/batch_pool.hpp"
#include "lib/producer.hpp"
#include "lib/record_line.hpp"
#include "lib/short_copy.hpp"
#include "lib/shared_writer.hpp"
#include "python/bound_fields.hpp"
#include "python/context_state.hpp"
#include "python/detached.hpp"
#include "python/logger_module/module_state.hpp"
#include "python/logger_module/settings.hpp"
#include "python/message_format.hpp"
#include "python/owned_ref.hpp"
#include "python/py_logger.hpp"
#include "python/py_text.hpp"
#include "python/structured.hpp"

namespace tarnwick::python {

namespace {

// Thread.join() returns once the thread's Python state is cleared, before its C++ thread_local
// destructors run: a program that joins its workers and exits at once would lose their last lines.
// An object in the thread-state dict is released inside that clearing, so it hands the batch over
// before join() can return. The thread_local destructor stays for lines logged after that.
constexpr const char* THREAD_END_KEY = "tarnwick._logger.thread_end";

// This wait holds the interpreter (the thread's state is being cleared), so it is short: lines
// that find no room by then are left to the thread's C++ exit, which waits longer without it.
constexpr auto THREAD_END_WAIT = std::chrono::seconds(1);

// The calling thread's producer once a thread state of this thread holds its hand-over, else null.
// One OS thread can run several interpreters, each with its own thread state, and a state can end
// before its thread does (an interpreter's call returns, or it closes): the producer then gets a
// new hand-over in the state of its next log call.
thread_local constinit Producer* WATCHED_PRODUCER [[gnu::tls_model("initial-exec")]] = nullptr;

// A destructor callback: nothing may be raised, and an ending thread has nobody to tell.
void hand_over_at_thread_end(PyObject* capsule) noexcept {
    Producer* owner = static_cast<Producer*>(PyCapsule_GetPointer(capsule, THREAD_END_KEY));
    // Finalisation clears daemon threads' states from the main thread: their batches are not ours.
    Producer* p = existing_producer();
    if (p == nullptr || p != owner) return;
    WATCHED_PRODUCER = nullptr;
    if (!p->idle()) return;
    try {
        (void)p->hand_over_pending(std::chrono::steady_clock::now() + THREAD_END_WAIT);
    } catch (...) {
        // the thread_local destructor tries once more
    }
}

// The first use on a thread, or in a new thread state of it; kept out of line so the common case
// below stays a TLS load.
[[gnu::noinline]] Producer& first_thread_producer() {
    Producer* existing = existing_producer();
    Producer& p = existing != nullptr ? *existing : create_producer();
    PyObject* dict = PyThreadState_GetDict();  // borrowed; null, without an error, if unavailable
    OwnedRef watch = OwnedRef::steal(PyCapsule_New(&p, THREAD_END_KEY, hand_over_at_thread_end));
    if (dict == nullptr || !watch || PyDict_SetItemString(dict, THREAD_END_KEY, watch.get()) < 0) {
        PyErr_Clear();  // only the thread_local destructor will hand the lines over
        return p;       // and the next call tries again
    }
    WATCHED_PRODUCER = &p;
    return p;
}

inline Producer& thread_producer() {
    // Compared with the core's pointer, which its thread's exit clears, so a state never cleared
    // before that exit leaves nothing dangling here.
    if (Producer* p = WATCHED_PRODUCER; p == details::PRODUCER && p != nullptr) [[likely]]
        return *p;
    return first_thread_producer();
}

// The line of a ready message, for Producer::append. WithTail: the line carries `tail` after the
// message and is printed under `name`; otherwise it is a plain call's line under the logger's own
// name, and both are unused (and optimised away).
template <bool WithTail>
auto ready_line(PyLogger& logger, Level level, std::optional<EscapedName> name, std::string_view message,
                std::string_view tail) {
    return [&logger, level, name, message, tail](Bytes& batch, TimestampCache& cache, WallTime now, LineStyle style) {
        if constexpr (WithTail) {
            render_line(batch, cache, now, level, style, name, message, tail);
        } else {
            render_line(batch, cache, now, level, style, name_of(logger), message);
        }
        return true;
    };
}

// A writer's queue is full (its destination does not keep up, or nobody reads it): hands the
// pending lines over, waiting for room in short slices without the interpreter, so other threads
// run meanwhile, and running the signal handlers between them, outside the producer's use because a
// handler may log. Ctrl-C can so end a wait that may never end by itself. False with the handler's
// exception set; the lines stay pending then.
bool hand_over_interruptibly(Producer& producer) {
    constexpr auto SLICE = std::chrono::milliseconds(100);
    for (;;) {
        const Outcome outcome = [&] {
            Detached detached;
            return producer.hand_over_pending(std::chrono::steady_clock::now() + SLICE);
        }();
        if (outcome == Outcome::Done) return true;
        if (PyErr_CheckSignals() < 0) return false;
    }
}

// Appends the line `render` makes until it is in, handing full batches over meanwhile. Done;
// Declined when the renderer gave up; QueueFull when a wait for room was interrupted, with the
// signal handler's exception set.
template <class Render>
Outcome record_with(Producer& producer, PyLogger& logger, std::uint64_t batch_size, Render&& render) {
    for (;;) {
        const Outcome outcome = producer.append(logger.writer, batch_size, render);
        if (outcome == Outcome::Done || outcome == Outcome::Declined) [[likely]]
            return outcome;
        if (!hand_over_interruptibly(producer)) return Outcome::QueueFull;
        if (outcome == Outcome::InQueueFull) return Outcome::Done;
    }
}

// The call's result: None, or null with the exception set.
inline PyObject* call_result(Outcome outcome) {
    if (outcome == Outcome::Done) [[likely]]
        Py_RETURN_NONE;
    return nullptr;
}

template <bool WithTail>
PyObject* record(Producer& producer, PyLogger& logger, Level level, std::optional<EscapedName> name,
                 std::string_view message, std::string_view tail, std::uint64_t batch_size) {
    return call_result(
        record_with(producer, logger, batch_size, ready_line<WithTail>(logger, level, name, message, tail)));
}

// A message the interpreter formats, in the scratch buffer, before the producer is taken.
template <bool WithTail>
PyObject* log_formatted(Producer& producer, PyLogger& logger, Level level, std::optional<EscapedName> name,
                        PyObject* message, PyObject* const* args, Py_ssize_t nargs, std::string_view tail,
                        std::uint64_t batch_size) {
    // The text lives in the loan's own buffer, out of reach of a signal handler's nested call.
    Producer::ScratchLoan scratch(producer);
    if (!format_message(scratch.buffer(), message, args, nargs)) return nullptr;
    return record<WithTail>(producer, logger, level, name, scratch.buffer().view(), tail, batch_size);
}

// Room reserved for a message formatted straight into the batch; a longer one grows it as it goes.
constexpr std::size_t MESSAGE_ROOM = 256;

// Shared by the entries below; inlined so the plain log call pays for no extra layer. `Site` gives a
// hot caller a line renderer of its own, which the compiler then inlines into it as it does for the
// plain call; one shared by several callers stays out of line.
template <bool WithTail, int Site = 0>
[[gnu::always_inline]] inline PyObject* log_message(PyLogger& logger, Level level, std::optional<EscapedName> name,
                                                    PyObject* message, PyObject* const* args, Py_ssize_t nargs,
                                                    std::string_view tail) {
    const std::uint64_t batch_size = logger.state->batch_size.load(std::memory_order_relaxed);
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
    const Outcome outcome = record_with(
        producer, logger, batch_size,
        [&](Bytes& batch, TimestampCache& cache, WallTime now, LineStyle style) {
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
    if (outcome != Outcome::Declined) return call_result(outcome);
    return log_formatted<WithTail>(producer, logger, level, name, message, args, nargs, tail, batch_size);
}

// Trace ids alone: the span's members, read in place, are the whole tail. Kept out of log_args so
// that the plain call's code stays as it is.
[[gnu::noinline]] PyObject* log_span_ids(PyLogger& logger, Level level, PyObject* message, PyObject* const* args,
                                         Py_ssize_t nargs) {
    SpanIds span;
    if (!span.read(logger.state->context.load(std::memory_order_acquire), group_index(logger.writer->config->style))) {
        return nullptr;
    }
    return log_message<true, 1>(logger, level, name_of(logger), message, args, nargs, span.text());
}

// What a line of `logger` carries beyond its message once ANY_STRUCTURE is set. The first two
// shapes pass one rendered run as the whole tail: the span's ids alone (no context was ever bound in
// the interpreter, and the logger has no fields of its own), or the context's fields alone (trace ids
// off, no fields of its own).
enum class AmbientShape { SpanIds, Context, Mixed };

inline AmbientShape ambient_shape(const PyLogger& logger, const ContextState* state) {
    if (logger.fields) return AmbientShape::Mixed;
    if (state == nullptr || !state->any_context.load(std::memory_order_relaxed)) return AmbientShape::SpanIds;
    return state->trace.load(std::memory_order_acquire) == nullptr ? AmbientShape::Context : AmbientShape::Mixed;
}

// The context's fields alone: the snapshot's rendered run, read in place, is the whole tail. The
// commonest shape inside a request, so it gets a line renderer of its own as the span-only call does.
[[gnu::noinline]] PyObject* log_context_fields(PyLogger& logger, const ContextState& state, Level level,
                                               PyObject* message, PyObject* const* args, Py_ssize_t nargs) {
    OwnedRef snapshot;
    std::string_view fields;
    if (!context_fields(state, group_index(logger.writer->config->style), snapshot, fields)) return nullptr;
    return log_message<true, 2>(logger, level, name_of(logger), message, args, nargs, fields);
}

}  // namespace

PyObject* log_args(PyLogger& logger, Level level, PyObject* message, PyObject* const* args, Py_ssize_t nargs) {
    // Until a context is bound or trace ids are on, this word is all a call pays for them.
    if (ANY_STRUCTURE.load(std::memory_order_relaxed)) [[unlikely]] {
        const ContextState* state = logger.state->context.load(std::memory_order_acquire);
        switch (ambient_shape(logger, state)) {
            case AmbientShape::SpanIds: return log_span_ids(logger, level, message, args, nargs);
            case AmbientShape::Context: return log_context_fields(logger, *state, level, message, args, nargs);
            case AmbientShape::Mixed: break;
        }
        return log_structured(logger, level, message, args, nargs);
    }
    // The fields are immutable and owned by the logger, which the call holds. Bound loggers are
    // common enough for a line renderer of their own (about 50 instructions a call).
    if (logger.fields) [[unlikely]] {
        return log_message<true, 3>(logger, level, name_of(logger), message, args, nargs, logger.fields->rendered);
    }
    return log_message<false>(logger, level, std::nullopt, message, args, nargs, {});
}

PyObject* log_named(PyLogger& logger, Level level, std::optional<EscapedName> name, PyObject* message,
                    PyObject* const* args, Py_ssize_t nargs, std::string_view tail) {
    return log_message<true>(logger, level, name, message, args, nargs, tail);
}

PyObject* log_text(PyLogger& logger, Level level, std::optional<EscapedName> name, std::string_view text,
                   std::string_view tail) {
    const std::uint64_t batch_size = logger.state->batch_size.load(std::memory_order_relaxed);
    return record<true>(thread_producer(), logger, level, name, text, tail, batch_size);
}

PyObject* log_pieces(PyLogger& logger, Level level, std::span<const std::string_view> pieces, std::string_view tail,
                     bool& written) {
    const std::uint64_t batch_size = logger.state->batch_size.load(std::memory_order_relaxed);
    Producer& producer = thread_producer();
    std::size_t size = 0;
    for (const std::string_view piece : pieces) size += piece.size();
    const Outcome outcome =
        producer.append(logger.writer, batch_size, [&](Bytes& batch, TimestampCache& cache, WallTime now, LineStyle style) {
            const std::size_t before = batch.size();
            try {
                const std::size_t start =
                    open_line(batch, cache, now, level, style, name_of(logger), size + tail.size());
                char* p = batch.extend(size);
                for (const std::string_view piece : pieces) p = copy_short(p, piece);
                close_line(batch, start, style, tail);
            } catch (...) {
                batch.truncate(before);  // never a partial line
                throw;
            }
            return true;
        });
    written = outcome != Outcome::QueueFull;
    if (outcome == Outcome::InQueueFull && !hand_over_interruptibly(producer)) return nullptr;
    if (!written) return nullptr;
    Py_RETURN_NONE;
}

PyObject* create_logger(PyTypeObject* type, std::shared_ptr<const std::string> name, std::optional<std::string> path,
                        Level level) {
    return alloc_logger(type, shared_writer(logger_module::writer_config(type_state(type), std::move(path))),
                        std::move(name), level);
}

namespace {

// Hands this thread's pending lines over and waits up to FLUSH_WAIT for the logger's writer to
// write out everything it was sent before; then stops it if the logger is its only owner and
// `stop_if_sole_owner`.
void hand_over_and_wait(PyLogger& logger, bool stop_if_sole_owner) {
    Producer& producer = thread_producer();
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
