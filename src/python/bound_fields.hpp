// Key-value fields on a logger's lines: Python values rendered once, at bind time, in the line
// shape of the logger's writer. Interpreter lock held for the conversions; a BoundFields is
// immutable once made, so any thread may read it without a lock.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lib/bytes.hpp"
#include "lib/fields.hpp"
#include "lib/record_line.hpp"

namespace tarnwick::python {

struct BoundFields {
    std::vector<std::pair<std::string, std::string>> members;  // key, its rendered member; binding order
    std::string rendered;                                      // every member, as lines carry them
};

// Appends ` key=value` (or `,"key":value`) for a Python value: str as text; int in decimal; float as
// repr (in JSON inf and nan as strings); bool as true/false; None as null; anything else as its
// str(). False with the error of a failed conversion set.
bool append_value_field(Bytes& out, LineStyle style, std::string_view key, PyObject* value);

// The ValueError of a key that bind() refuses; always returns nullptr.
PyObject* raise_bad_key(PyObject* key, FieldKey kind);

// The UTF-8 text of a keyword name given as a field key into `text` (borrowed from `key`), or false
// with the error bind() raises for it.
bool checked_field_key(PyObject* key, std::string_view& text);

// Sets `key`'s member to `rendered`: a key bound again keeps its place, a new one goes last.
void put_member(std::vector<std::pair<std::string, std::string>>& members, std::string_view key,
                std::string rendered);

}  // namespace tarnwick::python
