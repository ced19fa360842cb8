// The request context (one ContextVar holding an immutable snapshot rendered in every line shape),
// trace ids read from OpenTelemetry's context, and the private module tarnwick._context through
// which the package sets them.
#include "python/structured.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lib/fields.hpp"
#include "lib/shared_writer.hpp"
#include "python/context_state.hpp"
#include "python/bound_fields.hpp"
#include "python/errors.hpp"
#include "python/logger_module/module_state.hpp"
#include "python/module_slots.hpp"
#include "python/owned_ref.hpp"
#include "python/py_logger.hpp"
#include "python/py_text.hpp"
#include "python/template_message.hpp"
#include "python/thread_cache.hpp"

namespace tarnwick::python {

namespace {

constexpr std::array<LineStyle, 3> GROUP_STYLES = {{{false, false, false}, {false, false, true}, {true, false, false}}};

// The fields of a context in one line shape.
struct GroupFields {
    std::vector<std::pair<std::string, std::string>> members;  // key, its rendered member
    std::string text;                                          // every member, as lines carry them
    std::uint64_t mask = 0;                                    // key_bit of every key
};

// The value of the context variable: immutable once made, so any thread reads it without a lock.
struct PyContextFields {
    PyObject_HEAD OwnedRef values;  // dict of the raw values, for current_context()
    std::array<GroupFields, 3> groups;
};

int py_context_fields_traverse(PyObject* op, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<PyContextFields*>(op)->values.get());
    Py_VISIT(Py_TYPE(op));
    return 0;
}

void py_context_fields_dealloc(PyObject* op) noexcept {
    auto* self = reinterpret_cast<PyContextFields*>(op);
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    std::destroy_at(&self->groups);
    std::destroy_at(&self->values);
    type->tp_free(op);
    Py_DECREF(type);
}

PyType_Slot context_fields_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(py_context_fields_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(py_context_fields_traverse)},
    {Py_tp_doc, const_cast<char*>("The fields of a request context, rendered for every line shape.")},
    {0, nullptr},
};

PyType_Spec context_fields_spec = {
    .name = "tarnwick._context.ContextFields",
    .basicsize = sizeof(PyContextFields),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
    .slots = context_fields_slots,
};

// The context in force, or null; `group` its fields in one shape. The reference keeps the
// snapshot's bytes alive for the call, whatever Python code the call runs.
struct ContextInForce {
    OwnedRef snapshot;
    const GroupFields* group = nullptr;
};

// Reads the context variable into `snapshot`; `fields` is the snapshot when it is one made here
// (anything else set through the private variable is ignored), else null. False with the error set.
bool read_snapshot(const ContextState& state, OwnedRef& snapshot, const PyContextFields*& fields) {
    fields = nullptr;
    if (state.var == nullptr) return true;
    PyObject* value = nullptr;
    if (PyContextVar_Get(state.var, nullptr, &value) < 0) return false;
    snapshot = OwnedRef::steal(value);
    if (value != nullptr && Py_TYPE(value) == state.fields_type) fields = reinterpret_cast<PyContextFields*>(value);
    return true;
}

bool read_context(const ContextState& state, std::size_t group, ContextInForce& out) {
    if (!state.any_context.load(std::memory_order_relaxed)) return true;
    const PyContextFields* fields = nullptr;
    if (!read_snapshot(state, out.snapshot, fields)) return false;
    if (fields != nullptr && !fields->groups[group].members.empty()) out.group = &fields->groups[group];
    return true;
}

constexpr std::uint64_t TRACE_MASK = key_bit("trace_id") | key_bit("span_id");

// A span context's id as fixed-width lowercase hex, or false (nothing set) when it is no int of
// that many digits.
bool hex_id(PyObject* span_context, const char* attribute, const char* spec, std::size_t digits, std::string& out) {
    OwnedRef id = OwnedRef::steal(PyObject_GetAttrString(span_context, attribute));
    if (!id || !PyLong_Check(id.get())) {
        PyErr_Clear();
        return false;
    }
    OwnedRef text = OwnedRef::steal(PyObject_Format(id.get(), OwnedRef::steal(PyUnicode_FromString(spec)).get()));
    std::string_view view;
    if (!text || !utf8_of(text.get(), view) || view.size() != digits || view.front() == '-') {
        PyErr_Clear();
        return false;
    }
    out.assign(view);
    return true;
}

// The members of the span current in `context`, in every shape; all empty without a valid span.
// False with the error set.
bool span_members(const TraceSource& source, PyObject* context, TraceMembers& out) {
    out = {};
    OwnedRef span = OwnedRef::steal(PyObject_CallOneArg(source.get_span, context));
    if (!span) return false;
    OwnedRef span_context = OwnedRef::steal(PyObject_CallMethod(span.get(), "get_span_context", nullptr));
    if (!span_context) return false;
    OwnedRef valid = OwnedRef::steal(PyObject_GetAttrString(span_context.get(), "is_valid"));
    if (!valid) return false;
    const int is_valid = PyObject_IsTrue(valid.get());
    if (is_valid < 0) return false;
    std::string trace_id, span_id;
    if (is_valid == 0 || !hex_id(span_context.get(), "trace_id", "032x", 32, trace_id) ||
        !hex_id(span_context.get(), "span_id", "016x", 16, span_id)) {
        return true;
    }
    for (std::size_t g = 0; g < 3; ++g) {
        Bytes members;
        append_text_field(members, GROUP_STYLES[g], "trace_id", trace_id);
        out.split[g] = members.size();
        append_text_field(members, GROUP_STYLES[g], "span_id", span_id);
        out.text[g].assign(members.view());
    }
    return true;
}

}  // namespace

bool SpanIds::read(const ContextState* state, std::size_t group) {
    if (state == nullptr) return true;
    const TraceSource* source = state->trace.load(std::memory_order_acquire);
    if (source == nullptr) return true;
    OwnedRef context;
    if (source->var != nullptr) {
        PyObject* value = nullptr;
        if (PyContextVar_Get(source->var, nullptr, &value) < 0) return false;
        context = OwnedRef::steal(value);
    } else {
        context = OwnedRef::steal(PyObject_CallNoArgs(source->get_current));
        if (!context) return false;
    }
    if (!context) return true;
    ThreadCache* cache = &thread_cache();
    if (cache->trace_context != context.get() || cache->trace_source != source) {
        TraceMembers members;
        if (!span_members(*source, context.get(), members)) return false;
        cache = &thread_cache();  // the same object: only the thread's end releases it
        if (cache->trace_lent != 0) {  // an outer call on this thread uses the cached ones
            own_ = std::make_unique<TraceMembers>(std::move(members));
            use(*own_, group);
            return true;
        }
        Py_XSETREF(cache->trace_context, context.release());
        cache->trace_source = source;
        cache->trace = std::move(members);
    }
    ++cache->trace_lent;
    lender_ = cache;
    use(cache->trace, group);
    return true;
}

bool context_fields(const ContextState& state, std::size_t group, OwnedRef& snapshot, std::string_view& text) {
    const PyContextFields* fields = nullptr;
    if (!read_snapshot(state, snapshot, fields)) return false;
    if (fields != nullptr) text = fields->groups[group].text;
    return true;
}

namespace {

// One source of members of a line, in increasing precedence.
struct Run {
    std::string_view text;
    std::uint64_t mask = 0;
    std::span<const Member> members;                                   // or
    const std::vector<std::pair<std::string, std::string>>* pairs = nullptr;
};

std::uint64_t mask_of(std::span<const Member> members) {
    std::uint64_t mask = 0;
    for (const Member& m : members) mask |= key_bit(m.key);
    return mask;
}

std::uint64_t mask_of(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::uint64_t mask = 0;
    for (const auto& p : pairs) mask |= key_bit(p.first);
    return mask;
}

// Concatenates the runs when no key can repeat (the common case, told by their masks), else
// merges them key by key.
void compose(Bytes& out, std::span<const Run> runs) {
    std::uint64_t seen = 0;
    bool overlap = false;
    for (const Run& r : runs) {
        overlap = overlap || (seen & r.mask) != 0;
        seen |= r.mask;
    }
    if (!overlap) {
        for (const Run& r : runs) {
            if (r.pairs != nullptr || r.members.empty()) {
                out.append(r.text);
            } else {
                for (const Member& m : r.members) out.append(m.text);
            }
        }
        return;
    }
    std::vector<std::vector<Member>> owned;
    std::vector<std::span<const Member>> spans;
    owned.reserve(runs.size());
    for (const Run& r : runs) {
        if (r.pairs == nullptr) {
            spans.push_back(r.members);
            continue;
        }
        auto& members = owned.emplace_back();
        for (const auto& p : *r.pairs) members.push_back({p.first, p.second});
        spans.push_back(members);
    }
    append_merged(out, spans);
}

// What the moment of the call adds to a line: the span's ids and the context in force, in the
// interpreter of `logger` (nothing while it has no tarnwick._context).
struct Ambient {
    ContextInForce context;
    SpanIds span;

    bool read(const PyLogger& logger, std::size_t group) {
        const ContextState* state = logger.state->context.load(std::memory_order_acquire);
        return state == nullptr || (span.read(state, group) && read_context(*state, group, context));
    }
};

// `own` first, the ambient members, the logger's bound fields and `call` last, composed into `out`.
void compose_members(Bytes& out, const Ambient& ambient, const PyLogger& logger, std::span<const Member> own,
                     std::span<const Member> call) {
    const std::string_view span_text = ambient.span.text();
    const std::array<Member, 2> span_members = {Member{"trace_id", span_text.substr(0, ambient.span.split())},
                                                Member{"span_id", span_text.substr(ambient.span.split())}};
    const GroupFields* context = ambient.context.group;
    std::array<Run, 5> runs;
    std::size_t n = 0;
    if (!own.empty()) runs[n++] = Run{{}, mask_of(own), own, nullptr};
    if (!span_text.empty()) runs[n++] = Run{{}, TRACE_MASK, span_members, nullptr};
    if (context != nullptr) runs[n++] = Run{context->text, context->mask, {}, &context->members};
    if (logger.fields) {
        runs[n++] = Run{logger.fields->rendered, mask_of(logger.fields->members), {}, &logger.fields->members};
    }
    if (!call.empty()) runs[n++] = Run{{}, mask_of(call), call, nullptr};
    compose(out, std::span<const Run>(runs.data(), n));
}

}  // namespace

PyObject* log_structured(PyLogger& logger, Level level, PyObject* message, PyObject* const* args, Py_ssize_t nargs) {
    const std::size_t group = group_index(logger.writer->config->style);
    Ambient ambient;
    if (!ambient.read(logger, group)) return nullptr;
    const GroupFields* context = ambient.context.group;
    const BoundFields* bound = logger.fields.get();
    // The common shapes pass their one rendered run as it is, without a copy.
    std::string_view only;
    const bool one_run = ambient.span.size() == 0 ? (context == nullptr || bound == nullptr)
                                                : (context == nullptr && bound == nullptr);
    if (one_run) {
        only = ambient.span.size() != 0 ? ambient.span.text()
               : context != nullptr       ? std::string_view(context->text)
               : bound != nullptr         ? std::string_view(bound->rendered)
                                          : std::string_view();
        return log_named(logger, level, name_of(logger), message, args, nargs, only);
    }
    ScratchLoan scratch;
    compose_members(scratch->tail, ambient, logger, {}, {});
    return log_named(logger, level, name_of(logger), message, args, nargs, scratch->tail.view());
}

bool add_ambient_members(FieldSet& fields, PyLogger& logger) {
    if (!ANY_STRUCTURE.load(std::memory_order_relaxed)) return true;
    Ambient ambient;
    if (!ambient.read(logger, group_index(logger.writer->config->style))) return false;
    const std::string_view span = ambient.span.text();
    if (!span.empty()) {
        fields.add("trace_id", span.substr(0, ambient.span.split()), false);
        fields.add("span_id", span.substr(ambient.span.split()), false);
    }
    if (const GroupFields* context = ambient.context.group) {
        for (const auto& [key, member] : context->members) fields.add(key, member, false);
    }
    return true;
}

bool msg_template_on(const PyLogger& logger) noexcept {
    const ContextState* state = logger.state->context.load(std::memory_order_acquire);
    return state != nullptr && state->msg_template.load(std::memory_order_relaxed);
}

bool append_line_members(Bytes& out, PyLogger& logger, std::span<const Member> own, std::span<const Member> call) {
    Ambient ambient;
    if (ANY_STRUCTURE.load(std::memory_order_relaxed) &&
        !ambient.read(logger, group_index(logger.writer->config->style))) {
        return false;
    }
    compose_members(out, ambient, logger, own, call);
    return true;
}

ScratchLoan::ScratchLoan() : ScratchLoan(thread_cache()) {}

ScratchLoan::ScratchLoan(ThreadCache& cache) : cache_(&cache), scratch_(&cache.scratch) {
    if (cache_->scratch_lent) {
        own_ = std::make_unique<Scratch>();
        scratch_ = own_.get();
        return;
    }
    cache_->scratch_lent = true;
}

// The cache outlives the loan: only the clearing of this thread's Python state deletes it.
ScratchLoan::~ScratchLoan() {
    if (own_) return;
    scratch_->tail.clear();
    scratch_->message.clear();
    scratch_->members.clear();
    cache_->scratch_lent = false;
}

namespace {

// The cache of the thread state this thread used last. One OS thread may run several interpreters,
// each through its own thread state, and a cache holds objects of one interpreter only: each state
// owns its cache through a capsule in its dict. Initial-exec, as the producer's pointer: every
// template or context call reads it, in place rather than through __tls_get_addr (8 bytes of static TLS).
thread_local constinit ThreadCache* THREAD_CACHE [[gnu::tls_model("initial-exec")]] = nullptr;
thread_local constinit char THREAD_MARK = 0;  // its address names the thread
constexpr const char* THREAD_CACHE_KEY = "tarnwick._context.thread_cache";

// Runs when the thread state is cleared. Finalisation clears the states of daemon threads from the
// main thread: those caches are left alone (the process is ending).
void release_thread_cache(PyObject* capsule) noexcept {
    auto* cache = static_cast<ThreadCache*>(PyCapsule_GetPointer(capsule, THREAD_CACHE_KEY));
    if (cache == nullptr) {
        PyErr_Clear();
        return;
    }
    if (cache->thread != &THREAD_MARK) return;
    if (cache == THREAD_CACHE) THREAD_CACHE = nullptr;
    delete cache;
}

[[gnu::noinline]] ThreadCache& state_thread_cache(PyThreadState* tstate) {
    PyObject* dict = PyThreadState_GetDict();  // borrowed; null, without an error, if unavailable
    PyObject* held = dict != nullptr ? PyDict_GetItemString(dict, THREAD_CACHE_KEY) : nullptr;  // borrowed
    if (held != nullptr && PyCapsule_IsValid(held, THREAD_CACHE_KEY)) {
        THREAD_CACHE = static_cast<ThreadCache*>(PyCapsule_GetPointer(held, THREAD_CACHE_KEY));
        return *THREAD_CACHE;
    }
    auto owned = std::make_unique<ThreadCache>();
    owned->tstate = tstate;
    owned->thread = &THREAD_MARK;
    OwnedRef capsule = OwnedRef::steal(PyCapsule_New(owned.get(), THREAD_CACHE_KEY, release_thread_cache));
    if (dict == nullptr || !capsule || PyDict_SetItemString(dict, THREAD_CACHE_KEY, capsule.get()) < 0) {
        PyErr_Clear();  // its references then stay until the process ends
    }
    THREAD_CACHE = owned.release();
    return *THREAD_CACHE;
}

}  // namespace

ThreadCache& thread_cache() {
    PyThreadState* tstate = PyThreadState_Get();
    if (ThreadCache* cache = THREAD_CACHE; cache != nullptr && cache->tstate == tstate) [[likely]]
        return *cache;
    return state_thread_cache(tstate);
}

ThreadCache::~ThreadCache() { Py_XDECREF(trace_context); }

namespace {

// ---- the module tarnwick._context -------------------------------------------------------------

ContextState& context_state(PyObject* module) { return *static_cast<ContextState*>(PyModule_GetState(module)); }

PyObject* make_context_fields(PyTypeObject* type, PyObject* base, PyObject* const* values, PyObject* kwnames) {
    OwnedRef made = OwnedRef::steal(type->tp_alloc(type, 0));
    if (!made) return nullptr;
    auto* self = reinterpret_cast<PyContextFields*>(made.get());
    std::construct_at(&self->values);
    std::construct_at(&self->groups);
    const auto* old = base != nullptr && Py_TYPE(base) == type ? reinterpret_cast<PyContextFields*>(base) : nullptr;
    self->values = OwnedRef::steal(old != nullptr ? PyDict_Copy(old->values.get()) : PyDict_New());
    if (!self->values) return nullptr;
    if (old != nullptr) {
        for (std::size_t g = 0; g < 3; ++g) self->groups[g].members = old->groups[g].members;
    }
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);  // borrowed from the call's own tuple
        std::string_view key_text;
        if (!checked_field_key(key, key_text)) return nullptr;
        // Any other object's str() runs once, not once per shape.
        PyObject* value = values[i];  // borrowed from the call
        OwnedRef text;
        if (!(PyUnicode_Check(value) || value == Py_None || PyLong_Check(value) || PyFloat_Check(value))) {
            text = OwnedRef::steal(PyObject_Str(value));
            if (!text) return nullptr;
            value = text.get();
        }
        for (std::size_t g = 0; g < 3; ++g) {
            Bytes member;
            if (!append_value_field(member, GROUP_STYLES[g], key_text, value)) return nullptr;
            put_member(self->groups[g].members, key_text, std::string(member.view()));
        }
        if (PyDict_SetItem(self->values.get(), key, values[i]) < 0) return nullptr;
    }
    for (auto& group : self->groups) {
        for (const auto& m : group.members) {
            group.text += m.second;
            group.mask |= key_bit(m.first);
        }
    }
    return made.release();
}

PyObject* py_bind_context(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "bind_context() takes 0 positional arguments but %zd %s given", nargs,
                     nargs == 1 ? "was" : "were");
        return nullptr;
    }
    ContextState& state = context_state(module);
    PyObject* var = state.var;
    PyObject* base = nullptr;
    if (PyContextVar_Get(var, nullptr, &base) < 0) return nullptr;
    OwnedRef held_base = OwnedRef::steal(base);
    OwnedRef fields;
    if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) {
        fields = held_base ? std::move(held_base) : OwnedRef::borrow(Py_None);
    } else {
        fields = OwnedRef::steal(make_context_fields(state.fields_type, base, args, kwnames));
        if (!fields) return nullptr;
    }
    state.any_context.store(true, std::memory_order_relaxed);
    ANY_STRUCTURE.store(true, std::memory_order_relaxed);
    return PyContextVar_Set(var, fields.get());
}

PyObject* py_reset_context(PyObject* module, PyObject* token) {
    if (PyContextVar_Reset(context_state(module).var, token) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* py_current_context(PyObject* module, PyObject*) {
    const ContextState& state = context_state(module);
    PyObject* value = nullptr;
    if (PyContextVar_Get(state.var, nullptr, &value) < 0) return nullptr;
    OwnedRef held = OwnedRef::steal(value);
    if (value == nullptr || Py_TYPE(value) != state.fields_type) return PyDict_New();
    return PyDict_Copy(reinterpret_cast<PyContextFields*>(value)->values.get());
}

// _set_trace(var, get_current, get_current_span), or _set_trace(None, None, None) to turn ids off.
PyObject* py_set_trace(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    ContextState& state = context_state(module);
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "_set_trace() takes exactly 3 arguments");
        return nullptr;
    }
    if (args[2] == Py_None) {
        state.trace.store(nullptr, std::memory_order_release);
        Py_RETURN_NONE;
    }
    PyObject* var = args[0] == Py_None ? nullptr : args[0];
    if ((var != nullptr && !PyContextVar_CheckExact(var)) || !PyCallable_Check(args[1]) || !PyCallable_Check(args[2])) {
        PyErr_SetString(PyExc_TypeError, "_set_trace() takes a ContextVar or None and two callables");
        return nullptr;
    }
    const TraceSource* source = nullptr;
    {
        std::lock_guard lock(state.sources->mutex);
        for (const auto& s : state.sources->all) {
            if (s->var == var && s->get_current == args[1] && s->get_span == args[2]) source = s.get();
        }
        if (source == nullptr) {
            Py_XINCREF(var);
            state.sources->all.push_back(
                std::make_unique<TraceSource>(TraceSource{var, Py_NewRef(args[1]), Py_NewRef(args[2])}));
            source = state.sources->all.back().get();
        }
    }
    state.trace.store(source, std::memory_order_release);
    ANY_STRUCTURE.store(true, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

PyObject* py_set_msg_template(PyObject* module, PyObject* on) {
    const int truth = PyObject_IsTrue(on);
    if (truth < 0) return nullptr;
    context_state(module).msg_template.store(truth != 0, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

PyMethodDef context_methods[] = {
    {"bind_context", as_cfunction(guarded<py_bind_context>), METH_FASTCALL | METH_KEYWORDS,
     "bind_context(**fields)\n--\n\n"
     "Adds `fields` to the request context of this thread or task; returns the token for reset_context()."},
    {"reset_context", as_cfunction(guarded<py_reset_context>), METH_O,
     "reset_context(token, /)\n--\n\nRestores the request context as it was before bind_context() made `token`."},
    {"current_context", as_cfunction(guarded<py_current_context>), METH_NOARGS,
     "current_context()\n--\n\nThe fields of the request context in force, as a new dict."},
    {"_set_trace", as_cfunction(guarded<py_set_trace>), METH_FASTCALL,
     "_set_trace(var, get_current, get_current_span, /)\n--\n\n"},
    {"_set_msg_template", as_cfunction(guarded<py_set_msg_template>), METH_O, "_set_msg_template(on, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// This interpreter's tarnwick._logger (the sibling of this module's name), whose loggers read the
// state of this module from now on.
bool link_logger_module(PyObject* module, ContextState& state) {
    OwnedRef name = OwnedRef::steal(PyModule_GetNameObject(module));
    if (!name) return false;
    std::string_view text;
    if (!utf8_of(name.get(), text)) return false;
    const std::size_t dot = text.rfind('.');
    const std::string logger_name = std::string(dot == std::string_view::npos ? "" : text.substr(0, dot + 1)) + "_logger";
    state.logger_module = PyImport_ImportModule(logger_name.c_str());
    if (state.logger_module == nullptr) return false;
    module_state(state.logger_module).context.store(&state, std::memory_order_release);
    return true;
}

int context_exec(PyObject* module) {
    ContextState& state = context_state(module);
    std::construct_at(&state);
    state.sources = new TraceSources;
    state.fields_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &context_fields_spec, nullptr));
    if (state.fields_type == nullptr) return -1;
    state.var = PyContextVar_New("tarnwick.context", nullptr);
    if (state.var == nullptr) return -1;
    if (PyModule_AddObjectRef(module, "CONTEXT", state.var) < 0 ||
        PyModule_AddObjectRef(module, "ContextFields", reinterpret_cast<PyObject*>(state.fields_type)) < 0) {
        return -1;
    }
    return link_logger_module(module, state) ? 0 : -1;
}

int context_traverse(PyObject* module, visitproc visit, void* arg) {
    ContextState& state = context_state(module);
    Py_VISIT(state.fields_type);
    Py_VISIT(state.var);
    Py_VISIT(state.logger_module);
    if (state.sources != nullptr) {
        for (const auto& source : state.sources->all) {
            Py_VISIT(source->var);
            Py_VISIT(source->get_current);
            Py_VISIT(source->get_span);
        }
    }
    return 0;
}

int context_clear(PyObject* module) {
    ContextState& state = context_state(module);
    state.trace.store(nullptr, std::memory_order_release);
    if (state.logger_module != nullptr) {
        // Its loggers see no context from now on; unless another module has taken its place.
        ContextState* self = &state;
        (void)module_state(state.logger_module).context.compare_exchange_strong(self, nullptr);
    }
    Py_CLEAR(state.logger_module);
    if (state.sources != nullptr) {
        std::vector<std::unique_ptr<TraceSource>> sources;
        {
            std::lock_guard lock(state.sources->mutex);
            sources.swap(state.sources->all);
        }
        for (const auto& source : sources) {  // outside the lock: releasing may run code
            Py_CLEAR(source->var);
            Py_CLEAR(source->get_current);
            Py_CLEAR(source->get_span);
        }
    }
    Py_CLEAR(state.var);
    Py_CLEAR(state.fields_type);
    return 0;
}

void context_free(void* module) {
    (void)context_clear(static_cast<PyObject*>(module));
    delete std::exchange(context_state(static_cast<PyObject*>(module)).sources, nullptr);
}

PyModuleDef context_module_def = {
    PyModuleDef_HEAD_INIT,
    "tarnwick._context",
    "Request context and trace ids of record lines (private: use the tarnwick package).",
    sizeof(ContextState),
    context_methods,
    module_slots<context_exec>,
    context_traverse,
    context_clear,
    context_free,
};

}  // namespace

}  // namespace tarnwick::python

// The same shared object as _logger, loaded a second time under this name by the package; it links
// itself to the _logger module of its interpreter.
PyMODINIT_FUNC PyInit__context() { return PyModuleDef_Init(&tarnwick::python::context_module_def); }
