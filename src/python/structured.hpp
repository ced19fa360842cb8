// What a record line carries beyond its logger's own fields: the request context bound through
// contextvars, the current OpenTelemetry span's ids, a template message's fields and text. Read on
// the logging thread with the interpreter held; every shared piece is an immutable snapshot or an
// atomic, and caches are per thread, so no lock is taken.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lib/bytes.hpp"
#include "lib/fields.hpp"
#include "lib/level.hpp"
#include "lib/line_members.hpp"
#include "lib/record_line.hpp"
#include "python/owned_ref.hpp"
#include "python/thread_cache.hpp"

namespace tarnwick::python {

struct ContextState;
struct PyLogger;

// Set when the first context is bound or trace ids are first turned on, in any interpreter, and
// never cleared: until then a log call reads no context variable, only this word. Past it, each
// logger reads its own interpreter's context and trace source.
inline std::atomic<bool> ANY_STRUCTURE{false};

// Which of the three member renderings (plain, coloured, JSON) a line of `style` uses.
constexpr std::size_t group_index(LineStyle style) noexcept { return static_cast<std::size_t>(group_of(style)); }

// Whether template lines of `logger` carry msg_template (basic_config(msg_template=True) in its
// interpreter).
bool msg_template_on(const PyLogger& logger) noexcept;

// The span's members for `group`, read from the thread's cache, which a call holds lent while
// it uses them: Python code run by a later step of the call may log, and a nested call that finds
// the cache lent and another span current keeps its members to itself.
class SpanIds {
public:
    SpanIds() = default;
    SpanIds(const SpanIds&) = delete;
    SpanIds& operator=(const SpanIds&) = delete;
    ~SpanIds() {
        if (lender_ != nullptr) --lender_->trace_lent;
    }

    std::string_view text() const noexcept { return text_; }
    std::size_t size() const noexcept { return text_.size(); }
    std::size_t split() const noexcept { return split_; }

    // Reads the members of the span current at the call in the shape of `group`, empty without
    // one or without trace ids on in `state`'s interpreter (null: no tarnwick._context there);
    // false with the error set.
    bool read(const ContextState* state, std::size_t group);

private:
    void use(const TraceMembers& members, std::size_t group) {
        text_ = members.text[group];
        split_ = members.split[group];
    }

    std::string_view text_;
    std::size_t split_ = 0;
    ThreadCache* lender_ = nullptr;
    std::unique_ptr<TraceMembers> own_;
};

// The fields of the context in force in `state`'s interpreter, rendered in the shape of `group`, or
// empty; `snapshot` keeps their bytes alive for the call. False with the error set.
bool context_fields(const ContextState& state, std::size_t group, OwnedRef& snapshot, std::string_view& text);

// log_args once ANY_STRUCTURE is set: the same line with the span's ids and the context's fields
// in front of the bound ones.
PyObject* log_structured(PyLogger& logger, Level level, PyObject* message, PyObject* const* args, Py_ssize_t nargs);

// Appends the members a line of `logger` carries between its message and its exception keys:
// `own` (the line's msg_template), the span's ids, the context's fields, the logger's bound fields
// and `call` (the call's own fields), each key once, at its first place, with its last value.
// False with the error set (a failing OpenTelemetry call).
bool append_line_members(Bytes& out, PyLogger& logger, std::span<const Member> own, std::span<const Member> call);

// Adds the span's ids and the context's fields of a line of `logger` to `fields`, for a caller
// that merges the members itself (the stdlib entry). False with the error set.
bool add_ambient_members(FieldSet& fields, PyLogger& logger);

// The call's own members (a template's fields, a stdlib record's extras), rendered one after
// another into one buffer. The common few are kept in place, without an allocation.
class CallMembers {
public:
    explicit CallMembers(Bytes& text) noexcept : text_(text), start_(text.size()) {}

    // Appends one member with `render(text)`; `key` must outlive this object. False (with the
    // error set) when `render` fails; the object is then not used further.
    template <class Render>
    bool add(std::string_view key, Render&& render) {
        if (!render(text_)) return false;
        if (count_ < INLINE) {
            inline_.at[count_] = {key, {}};
            ends_[count_] = text_.size();
        } else {
            more_.push_back({key, {}});
            more_ends_.push_back(text_.size());
        }
        ++count_;
        return true;
    }

    // Keeps what the keys point into alive as long as this object.
    void keep(std::shared_ptr<const void> owner) { kept_ = std::move(owner); }

    // Every member, once all are added: valid while this object and its buffer are unchanged.
    std::span<const Member> finish() {
        std::size_t begin = start_;
        auto view = [&](Member& m, std::size_t end) {
            m.text = text_.view().substr(begin, end - begin);
            begin = end;
        };
        for (std::size_t i = 0; i < count_ && i < INLINE; ++i) view(inline_.at[i], ends_[i]);
        if (count_ <= INLINE) return {inline_.at, count_};
        for (std::size_t i = 0; i < more_.size(); ++i) view(more_[i], more_ends_[i]);
        more_.insert(more_.begin(), inline_.at, inline_.at + INLINE);
        return more_;
    }

private:
    static constexpr std::size_t INLINE = 8;
    Bytes& text_;
    std::size_t start_;
    std::size_t count_ = 0;
    // The first few members, each written as it is added: a call pays for no more of them.
    union Slots {
        Slots() noexcept {}
        Member at[INLINE];
    } inline_;
    std::array<std::size_t, INLINE> ends_;
    std::vector<Member> more_;
    std::vector<std::size_t> more_ends_;
    std::shared_ptr<const void> kept_;
};

// The calling thread's scratch buffers (ThreadCache::scratch), lent to one call and given back
// emptied; a nested call on the same thread (from Python code the outer call runs) finds them lent
// and uses fresh ones.
class ScratchLoan {
public:
    ScratchLoan();
    explicit ScratchLoan(ThreadCache& cache);  // `cache` is the calling thread's
    ~ScratchLoan();
    ScratchLoan(const ScratchLoan&) = delete;
    ScratchLoan& operator=(const ScratchLoan&) = delete;
    Scratch* operator->() noexcept { return scratch_; }
    // The calling thread's cache, which outlives the loan.
    ThreadCache& cache() noexcept { return *cache_; }

private:
    ThreadCache* cache_;
    Scratch* scratch_;
    std::unique_ptr<Scratch> own_;  // a nested call's, when the cache's are lent already
};

}  // namespace tarnwick::python
