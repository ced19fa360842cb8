#include "python/template_message.hpp"

#if PY_VERSION_HEX >= 0x030E0000

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <span>
#include <utility>
#include <vector>

#include "lib/fields.hpp"
#include "lib/json_escape.hpp"
#include "lib/number_append.hpp"
#include "lib/shared_writer.hpp"
#include "lib/short_copy.hpp"
#include "python/bound_fields.hpp"
#include "python/owned_ref.hpp"
#include "python/py_logger.hpp"
#include "python/py_text.hpp"
#include "python/thread_cache.hpp"

namespace tarnwick::python {

namespace {

// Where Template and Interpolation keep their parts, from the types' own member tables: read in
// place, without an attribute lookup per part per call. The objects are immutable.
struct Layout {
    PyTypeObject* template_type = nullptr;
    Py_ssize_t strings = -1, interpolations = -1;
    Py_ssize_t value = -1, expression = -1, conversion = -1, format_spec = -1;
};

Layout LAYOUT;  // written once, before TEMPLATE_TYPE is published
std::atomic<PyTypeObject*> TEMPLATE_TYPE{nullptr};
std::atomic<bool> LAYOUT_UNKNOWN{false};  // the types describe their parts otherwise

bool find_member(PyTypeObject* type, const char* name, Py_ssize_t& offset) {
    auto* members = static_cast<PyMemberDef*>(PyType_GetSlot(type, Py_tp_members));
    if (members == nullptr) return false;
    for (; members->name != nullptr; ++members) {
        if (std::string_view(members->name) == name && members->type == Py_T_OBJECT_EX) {
            offset = members->offset;
            return true;
        }
    }
    return false;
}

[[gnu::noinline]] PyTypeObject* load_layout() {
    if (LAYOUT_UNKNOWN.load(std::memory_order_relaxed)) return nullptr;
    OwnedRef module = OwnedRef::steal(PyImport_ImportModule("string.templatelib"));
    OwnedRef tmpl = module ? OwnedRef::steal(PyObject_GetAttrString(module.get(), "Template")) : OwnedRef();
    OwnedRef interp = module ? OwnedRef::steal(PyObject_GetAttrString(module.get(), "Interpolation")) : OwnedRef();
    if (!tmpl || !interp || !PyType_Check(tmpl.get()) || !PyType_Check(interp.get())) {
        PyErr_Clear();
        return nullptr;
    }
    // Static types of the interpreter: they live as long as the process.
    auto* template_type = reinterpret_cast<PyTypeObject*>(tmpl.get());
    auto* interpolation_type = reinterpret_cast<PyTypeObject*>(interp.get());
    Layout layout;
    layout.template_type = template_type;
    if (!find_member(template_type, "strings", layout.strings) ||
        !find_member(template_type, "interpolations", layout.interpolations) ||
        !find_member(interpolation_type, "value", layout.value) ||
        !find_member(interpolation_type, "expression", layout.expression) ||
        !find_member(interpolation_type, "conversion", layout.conversion) ||
        !find_member(interpolation_type, "format_spec", layout.format_spec)) {
        LAYOUT_UNKNOWN.store(true, std::memory_order_relaxed);
        return nullptr;
    }
    // Two threads may get here at once: they write the same values.
    static std::once_flag once;
    std::call_once(once, [&] { LAYOUT = layout; });
    TEMPLATE_TYPE.store(template_type, std::memory_order_release);
    return template_type;
}

// Borrowed from `obj`, which the caller holds.
PyObject* part(PyObject* obj, Py_ssize_t offset) noexcept {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

}  // namespace

// What a call site's static parts determine. Owned by its thread's cache; a call holds it while
// Python code it runs may log.
struct TemplateEntry {
    PyObject* strings = nullptr;          // strong: the key, kept alive so its address stays its own
    std::vector<PyObject*> expressions;   // strong: two call sites may share one strings tuple
    std::vector<std::string> statics;     // UTF-8 of each static part
    std::vector<std::string> keys;        // per interpolation: the field key, or empty for msg only
    std::vector<std::string> expression_texts;
    // msg_template per line shape, made with these conversions and format specs (strong).
    std::vector<std::pair<PyObject*, PyObject*>> template_parts;
    std::array<std::string, 3> template_member;
    std::array<bool, 3> template_made{};
    // Per line shape and interpolation, what comes before a text value (` user="`) and before a bare
    // one (` n=`), made on the first call in that shape.
    std::array<std::vector<std::pair<std::string, std::string>>, 3> key_texts;

    TemplateEntry() = default;
    TemplateEntry(const TemplateEntry&) = delete;
    TemplateEntry& operator=(const TemplateEntry&) = delete;
    ~TemplateEntry() {
        Py_XDECREF(strings);
        for (PyObject* e : expressions) Py_DECREF(e);
        for (auto [conversion, spec] : template_parts) {
            Py_DECREF(conversion);
            Py_DECREF(spec);
        }
    }
};

namespace {

// Call sites each thread keeps parsed; the least recently used goes first.
constexpr std::size_t TEMPLATE_CACHE_SIZE = 64;

bool same_str(PyObject* a, PyObject* b) {
    return a == b || (PyUnicode_Check(a) && PyUnicode_Check(b) && PyUnicode_Compare(a, b) == 0);
}

bool matches(const TemplateEntry& entry, PyObject* interpolations) {
    const Py_ssize_t n = PyTuple_GET_SIZE(interpolations);
    if (static_cast<std::size_t>(n) != entry.expressions.size()) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* expression = part(PyTuple_GET_ITEM(interpolations, i), LAYOUT.expression);
        if (!same_str(expression, entry.expressions[static_cast<std::size_t>(i)])) return false;
    }
    return true;
}

std::shared_ptr<TemplateEntry> parse(PyObject* strings, PyObject* interpolations) {
    auto entry = std::make_shared<TemplateEntry>();
    entry->strings = Py_NewRef(strings);
    const Py_ssize_t n = PyTuple_GET_SIZE(interpolations);
    if (PyTuple_GET_SIZE(strings) != n + 1) {
        PyErr_SetString(PyExc_SystemError, "a Template without one more string than interpolations");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i <= n; ++i) {
        std::string_view text;
        if (!utf8_of(PyTuple_GET_ITEM(strings, i), text)) return nullptr;
        entry->statics.emplace_back(text);
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* expression = part(PyTuple_GET_ITEM(interpolations, i), LAYOUT.expression);
        entry->expressions.push_back(Py_NewRef(expression));
        std::string_view text;
        if (!utf8_of(expression, text)) return nullptr;
        entry->expression_texts.emplace_back(text);
        std::string_view name;
        std::string key;
        // A name that is no valid field key (reserved, or not ASCII) stays in the message only.
        if (dotted_name(text, name) && classify_field_key(name) == FieldKey::Valid) key = name;
        for (const std::string& earlier : entry->keys) {
            if (earlier == key) key.clear();  // the first occurrence places it
        }
        entry->keys.push_back(std::move(key));
    }
    return entry;
}

// The entry of this call site, first in the thread's cache (parsed if needed); null with the error set.
TemplateEntry* entry_for(ThreadCache& thread, PyObject* strings, PyObject* interpolations) {
    auto& cache = thread.templates;
    for (std::size_t i = 0; i < cache.size(); ++i) {
        if (cache[i]->strings == strings && matches(*cache[i], interpolations)) {
            if (i != 0) std::swap(cache[i], cache[0]);  // hot sites stay in front
            return cache[0].get();
        }
    }
    std::shared_ptr<TemplateEntry> entry = parse(strings, interpolations);
    if (!entry) return nullptr;
    if (cache.size() >= TEMPLATE_CACHE_SIZE) cache.pop_back();
    cache.push_back(std::move(entry));
    std::rotate(cache.begin(), cache.end() - 1, cache.end());
    return cache[0].get();
}

// Whether rendering `value` this way runs no Python code (which could log, and so change the
// thread's cache).
bool renders_natively(PyObject* value, PyObject* conversion, PyObject* spec) {
    return conversion == Py_None && PyUnicode_Check(spec) && PyUnicode_GET_LENGTH(spec) == 0 &&
           (PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value));
}

// f-string semantics: the conversion, then format() with the spec. The common values with neither
// are written without a Python call.
bool append_formatted(Bytes& out, PyObject* value, PyObject* conversion, PyObject* spec) {
    if (conversion == Py_None && PyUnicode_Check(spec) && PyUnicode_GET_LENGTH(spec) == 0) {
        if (PyUnicode_CheckExact(value)) return append_utf8(out, value);
        if (PyLong_CheckExact(value)) {
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
            if (overflow == 0) {
                push_i64(out, v);
                return true;
            }
        }
        if (PyFloat_CheckExact(value) && push_f64_repr(out, PyFloat_AS_DOUBLE(value))) return true;
    }
    OwnedRef converted;
    if (conversion == Py_None) {
        converted = OwnedRef::borrow(value);
    } else {
        const Py_UCS4 letter = PyUnicode_Check(conversion) && PyUnicode_GET_LENGTH(conversion) == 1
                                   ? PyUnicode_READ_CHAR(conversion, 0)
                                   : 0;
        converted = OwnedRef::steal(letter == 'r'   ? PyObject_Repr(value)
                                    : letter == 'a' ? PyObject_ASCII(value)
                                                    : PyObject_Str(value));
    }
    if (!converted) return false;
    OwnedRef text = OwnedRef::steal(PyObject_Format(converted.get(), spec));
    return text && append_utf8(out, text.get());
}

// Whether a short `text` is its own JSON escape: the common value, checked here in a few
// instructions rather than by the escaper.
bool short_and_clean(std::string_view text) {
    if (text.size() > 32) return false;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == '"' || b == '\\') return false;
    }
    return true;
}

// The field of a str value whose UTF-8 is `text`, behind the key text cached for this shape.
void append_text_value(Bytes& out, const std::pair<std::string, std::string>& key_text, std::string_view text) {
    const std::string& key = key_text.first;
    if (short_and_clean(text)) {
        char* p = out.extend(key.size() + text.size() + 1);
        std::memcpy(p, key.data(), key.size());
        std::memcpy(p + key.size(), text.data(), text.size());
        p[key.size() + text.size()] = '"';
        return;
    }
    out.append(key);
    json_escape(out, text);
    out.push_back('"');
}

// The field of one name, typed as bind() types it; the exact common types straight into `out`
// behind the key text cached for this shape.
bool append_name_field(Bytes& out, LineStyle style, const std::pair<std::string, std::string>& key_text,
                       std::string_view key, PyObject* value) {
    if (PyUnicode_CheckExact(value)) {
        std::string_view text;
        if (!utf8_of(value, text)) return false;
        append_text_value(out, key_text, text);
        return true;
    }
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow == 0) {
            out.append(key_text.second);
            push_i64(out, v);
            return true;
        }
    }
    return append_value_field(out, style, key, value);
}

const std::vector<std::pair<std::string, std::string>>& key_texts(TemplateEntry& entry, LineStyle style) {
    auto& texts = entry.key_texts[group_index(style)];
    if (texts.empty()) {
        for (const std::string& key : entry.keys) {
            Bytes text, bare;
            if (!key.empty()) {
                append_text_field(text, style, key, "");
                text.truncate(text.size() - 1);  // up to the value's opening quote
                append_bare_field(bare, style, key, "");
            }
            texts.emplace_back(std::string(text.view()), std::string(bare.view()));
        }
    }
    return texts;
}

// ` msg_template="user {user!r:>10}"`: the template's text with its interpolations as written.
bool make_template_member(const TemplateEntry& entry, PyObject* interpolations, LineStyle style, std::string& out) {
    Bytes text;
    const std::size_t n = entry.expressions.size();
    for (std::size_t i = 0; i < n; ++i) {
        append_template_static(text, entry.statics[i]);
        PyObject* interpolation = PyTuple_GET_ITEM(interpolations, static_cast<Py_ssize_t>(i));
        PyObject* conversion = part(interpolation, LAYOUT.conversion);
        PyObject* spec = part(interpolation, LAYOUT.format_spec);
        text.push_back('{');
        text.append(entry.expression_texts[i]);
        if (conversion != Py_None) {
            text.push_back('!');
            if (!append_utf8(text, conversion)) return false;
        }
        if (PyUnicode_Check(spec) && PyUnicode_GET_LENGTH(spec) > 0) {
            text.push_back(':');
            if (!append_utf8(text, spec)) return false;
        }
        text.push_back('}');
    }
    append_template_static(text, entry.statics[n]);
    Bytes member;
    append_text_field(member, style, "msg_template", text.view());
    out.assign(member.view());
    return true;
}

// The cached member when this call's conversions and specs are those it was made with (they are
// constants unless a spec holds a nested replacement field).
bool template_member(TemplateEntry& entry, PyObject* interpolations, LineStyle style, std::string& out) {
    const std::size_t group = group_index(style);
    const std::size_t n = entry.expressions.size();
    if (entry.template_parts.empty() && n > 0) {
        for (std::size_t i = 0; i < n; ++i) {
            PyObject* interpolation = PyTuple_GET_ITEM(interpolations, static_cast<Py_ssize_t>(i));
            entry.template_parts.emplace_back(Py_NewRef(part(interpolation, LAYOUT.conversion)),
                                              Py_NewRef(part(interpolation, LAYOUT.format_spec)));
        }
    }
    bool same = true;
    for (std::size_t i = 0; i < n && same; ++i) {
        PyObject* interpolation = PyTuple_GET_ITEM(interpolations, static_cast<Py_ssize_t>(i));
        same = part(interpolation, LAYOUT.conversion) == entry.template_parts[i].first &&
               part(interpolation, LAYOUT.format_spec) == entry.template_parts[i].second;
    }
    if (!same) return make_template_member(entry, interpolations, style, out);
    if (!entry.template_made[group]) {
        if (!make_template_member(entry, interpolations, style, entry.template_member[group])) return false;
        entry.template_made[group] = true;
    }
    out = entry.template_member[group];
    return true;
}

}  // namespace

bool is_template(PyObject* obj) {
    PyTypeObject* type = TEMPLATE_TYPE.load(std::memory_order_acquire);
    if (type == nullptr) type = load_layout();
    return type != nullptr && Py_TYPE(obj) == type;
}

namespace {

// render_template with the call site's entry found already, the first of `cache`.
bool render_entry(ThreadCache& cache, TemplateEntry* entry, PyObject* interpolations, LineStyle style,
                  Bytes& message, CallMembers& call, std::string& own, bool msg_template, bool more_python) {
    // Held from the first step that may run Python code, which may log and push the entry out of
    // the cache; until then it is the cache's first. The keys of the members point into it, so the
    // call keeps it to the end (the span's ids may run OpenTelemetry's code).
    std::shared_ptr<TemplateEntry> held;
    auto hold = [&] {
        if (!held) held = cache.templates.front();
    };
    if (more_python || ANY_STRUCTURE.load(std::memory_order_relaxed)) hold();
    const std::size_t n = entry->expressions.size();
    const auto& texts = key_texts(*entry, style);
    // The leading values whose text runs no Python code are read once each, for their text in the
    // message and their field. From the first other value on, every text of the message comes
    // before the fields, so Python code runs in the order the f-string and then bind() run it.
    std::size_t i = 0;
    for (; i < n; ++i) {
        PyObject* interpolation = PyTuple_GET_ITEM(interpolations, static_cast<Py_ssize_t>(i));
        PyObject* value = part(interpolation, LAYOUT.value);
        PyObject* conversion = part(interpolation, LAYOUT.conversion);
        PyObject* spec = part(interpolation, LAYOUT.format_spec);
        if (!renders_natively(value, conversion, spec)) break;
        message.append(entry->statics[i]);
        const std::string& key = entry->keys[i];
        if (PyUnicode_CheckExact(value)) {
            std::string_view text;
            if (!utf8_of(value, text)) return false;
            message.append(text);
            if (!key.empty()) {
                call.add(key, [&](Bytes& out) {
                    append_text_value(out, texts[i], text);
                    return true;
                });
            }
            continue;
        }
        if (PyLong_CheckExact(value)) {
            // Most ints are compact: their value is read in place.
            auto* number = reinterpret_cast<PyLongObject*>(value);
            int overflow = 0;
            const long long v = PyUnstable_Long_IsCompact(number) ? PyUnstable_Long_CompactValue(number)
                                                                  : PyLong_AsLongLongAndOverflow(value, &overflow);
            if (overflow == 0) {
                const std::size_t start = message.size();
                push_i64(message, v);
                if (!key.empty()) {
                    call.add(key, [&](Bytes& out) {
                        out.append(texts[i].second);
                        out.append(message.view().substr(start));
                        return true;
                    });
                }
                continue;
            }
        }
        // A float or a big int.
        if (!append_formatted(message, value, conversion, spec)) return false;
        if (!key.empty() &&
            !call.add(key, [&](Bytes& out) { return append_name_field(out, style, texts[i], key, value); })) {
            return false;
        }
    }
    const std::size_t rest = i;
    for (; i < n; ++i) {
        message.append(entry->statics[i]);
        PyObject* interpolation = PyTuple_GET_ITEM(interpolations, static_cast<Py_ssize_t>(i));
        PyObject* value = part(interpolation, LAYOUT.value);
        PyObject* conversion = part(interpolation, LAYOUT.conversion);
        PyObject* spec = part(interpolation, LAYOUT.format_spec);
        if (!renders_natively(value, conversion, spec)) hold();
        if (!append_formatted(message, value, conversion, spec)) return false;
    }
    message.append(entry->statics[n]);
    for (i = rest; i < n; ++i) {
        const std::string& key = entry->keys[i];
        if (key.empty()) continue;
        PyObject* value = part(PyTuple_GET_ITEM(interpolations, static_cast<Py_ssize_t>(i)), LAYOUT.value);
        if (!PyUnicode_CheckExact(value) && !PyLong_CheckExact(value)) hold();
        if (!call.add(key, [&](Bytes& out) { return append_name_field(out, style, texts[i], key, value); })) {
            return false;
        }
    }
    if (msg_template && !template_member(*entry, interpolations, style, own)) {
        return false;
    }
    if (held) call.keep(std::move(held));
    return true;
}

}  // namespace

bool render_template(ThreadCache& cache, PyObject* tmpl, LineStyle style, Bytes& message, CallMembers& call,
                     std::string& own, bool msg_template, bool more_python) {
    PyObject* interpolations = part(tmpl, LAYOUT.interpolations);  // borrowed from tmpl, which the caller holds
    TemplateEntry* entry = entry_for(cache, part(tmpl, LAYOUT.strings), interpolations);
    return entry != nullptr &&
           render_entry(cache, entry, interpolations, style, message, call, own, msg_template, more_python);
}

namespace {

// The common call, written straight into the batch: a few names whose values are exact strs or
// compact ints, written as they are, and a short tail. `handled` is false, with nothing written
// and no error set, for any other call.
constexpr std::size_t DIRECT_NAMES = 4;
constexpr std::size_t DIRECT_TAIL = 256;

// Whether every value is an exact str or a compact int, written without a conversion or spec:
// looked at before any work, so that other calls lose next to nothing here.
bool plain_values(PyObject* interpolations, std::size_t n) {
    if (n > DIRECT_NAMES) return false;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* interpolation = PyTuple_GET_ITEM(interpolations, static_cast<Py_ssize_t>(i));
        PyObject* value = part(interpolation, LAYOUT.value);
        PyObject* spec = part(interpolation, LAYOUT.format_spec);
        if (part(interpolation, LAYOUT.conversion) != Py_None || !PyUnicode_Check(spec) ||
            PyUnicode_GET_LENGTH(spec) != 0) {
            return false;
        }
        if (!PyUnicode_CheckExact(value) &&
            !(PyLong_CheckExact(value) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value)))) {
            return false;
        }
    }
    return true;
}

PyObject* log_template_direct(PyLogger& logger, Level level, TemplateEntry* entry, PyObject* interpolations,
                              LineStyle style, std::string_view trailing, bool& handled) {
    const std::size_t n = entry->expressions.size();
    if (!plain_values(interpolations, n)) return nullptr;
    const auto& texts = key_texts(*entry, style);
    // Views into the entry and the values: nothing below runs Python code until the line is in.
    std::array<std::string_view, 2 * DIRECT_NAMES + 1> pieces;
    std::array<std::array<char, 24>, DIRECT_NAMES> digits;
    std::array<char, DIRECT_TAIL> tail;
    std::size_t tail_size = 0;
    auto add_tail = [&](std::string_view a, std::string_view b, std::string_view c) {
        if (tail.size() - tail_size < a.size() + b.size() + c.size()) return false;
        const char* end = copy_short(copy_short(copy_short(tail.data() + tail_size, a), b), c);
        tail_size = static_cast<std::size_t>(end - tail.data());
        return true;
    };
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* value = part(PyTuple_GET_ITEM(interpolations, static_cast<Py_ssize_t>(i)), LAYOUT.value);
        const bool has_key = !entry->keys[i].empty();
        std::string_view text;
        if (PyUnicode_CheckExact(value)) {
            if (!utf8_of(value, text)) {
                handled = true;
                return nullptr;
            }
            if (has_key && (!short_and_clean(text) || !add_tail(texts[i].first, text, "\""))) return nullptr;
        } else {  // a compact int
            const long long v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value));
            char* first = digits[i].data();
            const auto [last, ec] = std::to_chars(first, first + digits[i].size(), v);
            text = {first, static_cast<std::size_t>(last - first)};
            if (has_key && !add_tail(texts[i].second, text, {})) return nullptr;
        }
        pieces[2 * i] = entry->statics[i];
        pieces[2 * i + 1] = text;
    }
    pieces[2 * n] = entry->statics[n];
    if (!add_tail(trailing, {}, {})) return nullptr;
    return log_pieces(logger, level, std::span<const std::string_view>(pieces.data(), 2 * n + 1),
                      std::string_view(tail.data(), tail_size), handled);
}

}  // namespace

PyObject* log_template(PyLogger& logger, Level level, PyObject* tmpl, std::string_view trailing) {
    const LineStyle style = logger.writer->config->style;
    PyObject* interpolations = part(tmpl, LAYOUT.interpolations);  // borrowed from tmpl, which the caller holds
    ThreadCache& cache = thread_cache();
    TemplateEntry* entry = entry_for(cache, part(tmpl, LAYOUT.strings), interpolations);
    if (entry == nullptr) return nullptr;
    const bool msg_template = msg_template_on(logger);
    if (!logger.fields && !ANY_STRUCTURE.load(std::memory_order_relaxed) && !msg_template) {
        bool handled = false;
        PyObject* result = log_template_direct(logger, level, entry, interpolations, style, trailing, handled);
        if (handled) return result;
        // Not taken, and no Python code ran: the entry is still the cache's first.
    }
    ScratchLoan scratch(cache);
    CallMembers call(scratch->members);
    std::string own;
    if (!render_entry(cache, entry, interpolations, style, scratch->message, call, own, msg_template, false)) {
        return nullptr;
    }
    // Nothing to merge: the call's members, one after another, are the tail.
    if (own.empty() && !logger.fields && !ANY_STRUCTURE.load(std::memory_order_relaxed)) {
        scratch->members.append(trailing);
        return log_text(logger, level, name_of(logger), scratch->message.view(), scratch->members.view());
    }
    const std::span<const Member> call_members = call.finish();
    const Member own_member{"msg_template", own};
    if (!append_line_members(scratch->tail, logger,
                             own.empty() ? std::span<const Member>() : std::span<const Member>(&own_member, 1),
                             call_members)) {
        return nullptr;
    }
    scratch->tail.append(trailing);
    return log_text(logger, level, name_of(logger), scratch->message.view(), scratch->tail.view());
}

}  // namespace tarnwick::python

#endif

namespace tarnwick::python {

PyObject* raise_template_args(const char* function, Py_ssize_t extra) {
    PyErr_Format(PyExc_TypeError,
                 "%s: a template message takes no substitution arguments (%zd given): its values are in the "
                 "template",
                 function, extra);
    return nullptr;
}

}  // namespace tarnwick::python
