// What a record line carries beyond its logger's own fields: the request context bound through
// contextvars, the current OpenTelemetry span's ids, a template message's fields and text. Read on
// the logging thread with the interpreter held; every shared piece is an immutable snapshot or an
// atomic, and caches are per thread, so no lock is taken.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lib/bytes.hpp"
#include "lib/level.hpp"
#include "lib/line_members.hpp"
#include "lib/record_line.hpp"

namespace tarnwick::python {

struct PyLogger;

// Set when the first context is bound or trace ids are first turned on, and never cleared: until
// then a log call reads no context variable, only this word.
inline std::atomic<bool> ANY_STRUCTURE{false};

// Whether lines whose message is a template carry msg_template (basic_config(msg_template=True)).
inline std::atomic<bool> MSG_TEMPLATE{false};

// Which of the three member renderings (plain, coloured, JSON) a line of `style` uses.
constexpr std::size_t group_index(LineStyle style) noexcept { return style.json ? 2 : style.color ? 1 : 0; }

// log_args once ANY_STRUCTURE is set: the same line with the span's ids and the context's fields
// in front of the bound ones.
PyObject* log_structured(PyLogger& logger, Level level, PyObject* message, PyObject* const* args, Py_ssize_t nargs);

// Appends the members a line of `logger` carries between its message and its exception keys:
// `own` (the line's msg_template), the span's ids, the context's fields, the logger's bound fields
// and `call` (the call's own fields), each key once, at its first place, with its last value.
// False with the error set (a failing OpenTelemetry call).
bool append_line_members(Bytes& out, PyLogger& logger, std::span<const Member> own, std::span<const Member> call);

// The call's own members (a template's fields, a stdlib record's extras), rendered one after
// another into one buffer.
class CallMembers {
public:
    explicit CallMembers(Bytes& text) : text_(text), start_(text.size()) { entries_.reserve(8); }

    // Appends one member with `render(text)`; `key` must outlive this object. False (with the
    // error set) when `render` fails; the object is then not used further.
    template <class Render>
    bool add(std::string_view key, Render&& render) {
        if (!render(text_)) return false;
        entries_.push_back({key, text_.size()});
        return true;
    }
    // Keeps a key made for this call; the view stays valid as long as this object.
    std::string_view hold(std::string key) { return owned_keys_.emplace_back(std::move(key)); }

    // Keeps what the keys point into alive as long as this object.
    void keep(std::shared_ptr<const void> owner) { kept_ = std::move(owner); }

    // Views of every member, valid while this object and its buffer are unchanged.
    std::vector<Member> members() const {
        std::vector<Member> out;
        out.reserve(entries_.size());
        std::size_t begin = start_;
        for (const Entry& e : entries_) {
            out.push_back({e.key, text_.view().substr(begin, e.end - begin)});
            begin = e.end;
        }
        return out;
    }

private:
    struct Entry {
        std::string_view key;
        std::size_t end;
    };
    Bytes& text_;
    std::size_t start_;
    std::vector<Entry> entries_;
    std::deque<std::string> owned_keys_;  // stable addresses for the views above
    std::shared_ptr<const void> kept_;
};

// A per-thread byte buffer lent to one call and given back emptied; a nested call on the same
// thread (from Python code the outer call runs) finds the slot empty and uses a fresh buffer.
class BufferLoan {
public:
    enum Slot { Tail, Message, Members, SLOTS };
    explicit BufferLoan(Slot slot);
    ~BufferLoan();
    BufferLoan(const BufferLoan&) = delete;
    BufferLoan& operator=(const BufferLoan&) = delete;
    Bytes& buffer() noexcept { return buffer_; }

private:
    Slot slot_;
    Bytes buffer_;
};

}  // namespace tarnwick::python
