// The pieces of vestrel.captions: the word and line records, and the Captions record whose
// construction and timing members live in their own files.
#pragma once

#include <nanobind/nanobind.h>

#include "bindings/common/declare.hpp"
#include "bindings/common/module.hpp"

namespace vestrel::bind::captions {

namespace nb = nanobind;
using namespace vestrel::py;

// vestrel.captions; CaptionWord, CaptionLine, Captions and find_greatest_pause are read
// through it at call time, so a replacement is seen by the next call.
inline ModuleRef this_module;

// CaptionWord, CaptionLine (with their create_by_transcription) and find_greatest_pause.
void register_words(nb::module_& m);
// Captions: fields, construction (construction.cpp) and timing (timing.cpp).
void register_captions(nb::module_& m);
void add_construction(nb::module_& m, nb::dict ns);
void add_timing(nb::module_& m, nb::dict ns);

// The record classes and functions as made at load (never released), to tell them from
// replacements made later; and the records' interned field names in field order.
struct Own {
    PyObject* word_class;
    PyObject* line_class;
    PyObject* word_create;  // CaptionWord.create_by_transcription
    PyObject* line_create;  // CaptionLine.create_by_transcription
    PyObject* find_greatest_pause;
    PyObject* no_args;  // the empty tuple
};
inline Own own;
enum Field : size_t { kStart = 0, kEnd = 1, kText = 2, kWords = 3 };
inline PyObject* field_name[4];  // interned: lookups hit the type cache, keys compare by identity

// A time as a double, as the host converts a number (TypeError for anything else).
inline double seconds(nb::handle value) {
    if (PyFloat_CheckExact(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
    const double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return d;
}

// o.<field> as a new reference (throws on failure).
inline PyObject* get_field(PyObject* o, Field f) {
    PyObject* r = PyObject_GetAttr(o, field_name[f]);
    if (!r) throw nb::python_error();
    return r;
}
inline nb::object field_of(nb::handle o, Field f) { return nb::steal(get_field(o.ptr(), f)); }

// Records of one class with the given number of fields, in order start, end, text[, words].
// A record class made at load is filled field by field as its generated constructor would
// fill it (it only assigns the fields), without running that constructor's Python code:
// building thousands of words is the bulk of a caption run. Any other class is called.
struct RecordMaker {
    PyObject* cls;
    size_t count;
    bool own_class = (cls == own.word_class && count == 3) || (cls == own.line_class && count == 4);

    // A new record of `values` (a new reference).
    PyObject* make(PyObject* const* values) const {
        if (!own_class) {
            PyObject* r = PyObject_Vectorcall(cls, values, count, nullptr);
            if (!r) throw nb::python_error();
            return r;
        }
        // Through tp_new (object.__new__), which also lays out the instance's attribute values.
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        PyObject* obj = type->tp_new(type, own.no_args, nullptr);
        if (!obj) throw nb::python_error();
        for (size_t i = 0; i < count; ++i) {
            if (PyObject_GenericSetAttr(obj, field_name[i], values[i]) < 0) {
                Py_DECREF(obj);
                throw nb::python_error();
            }
        }
        return obj;
    }
};

}  // namespace vestrel::bind::captions
