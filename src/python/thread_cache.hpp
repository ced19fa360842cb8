// Per-thread caches that hold Python references: the span ids of the OpenTelemetry context last
// seen, and the parsed templates of recent call sites; and the thread's scratch buffers. One per
// thread state, so per thread and interpreter; only its own thread touches one, with the interpreter
// held, and the references go when that thread state is cleared.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "lib/bytes.hpp"

namespace tarnwick::python {

struct TemplateEntry;
struct TraceSource;

// The span's two members in each line shape, `split` bytes of trace_id then span_id; all empty
// when no valid span is current.
struct TraceMembers {
    std::array<std::string, 3> text;
    std::array<std::size_t, 3> split{};
};

// Buffers a call renders into before its line is written (ScratchLoan lends them).
struct Scratch {
    Bytes tail;     // the members after the message
    Bytes message;  // a template's message
    Bytes members;  // the call's own members
};

struct ThreadCache {
    PyThreadState* tstate = nullptr;  // the thread state that owns it
    const void* thread = nullptr;     // names the OS thread that made it
    // Strong: held so that its address cannot name another context while the ids are cached.
    PyObject* trace_context = nullptr;
    const TraceSource* trace_source = nullptr;
    TraceMembers trace;
    std::size_t trace_lent = 0;  // calls of this thread using `trace`, which stays as it is meanwhile
    // Most recently used first; shared so a call keeps its entry while Python code it runs logs.
    std::vector<std::shared_ptr<TemplateEntry>> templates;
    Scratch scratch;
    bool scratch_lent = false;

    ThreadCache() = default;
    ThreadCache(const ThreadCache&) = delete;
    ThreadCache& operator=(const ThreadCache&) = delete;
    ~ThreadCache();
};

// The cache of the calling thread state, made on first use.
ThreadCache& thread_cache();

}  // namespace tarnwick::python
