// The pieces of vestrel.captions: the word and line records, and the Captions record whose
// construction and timing members live in their own files.
#pragma once

#include <nanobind/nanobind.h>

#include "bindings/common/function.hpp"

#include <deque>
#include <string>
#include <string_view>

namespace vestrel::captions_py {

namespace nb = nanobind;

// The module object, for names read at call time (CaptionWord, CaptionLine, Captions).
void set_module(nb::module_& m);
nb::handle module();

// CaptionWord, CaptionLine (with their create_by_transcription) and find_greatest_pause.
void register_words(nb::module_& m);
// Captions: fields, construction (create_by_transcription and its helpers) and timing.
void register_captions(nb::module_& m);
void add_construction(nb::dict& ns);  // construction.cpp
void add_timing(nb::dict& ns);        // timing.cpp

// A text as UTF-8 for the core, viewing the str's own UTF-8 buffer (valid while the str
// lives). Texts with lone surrogates (which strict UTF-8 refuses) are encoded with
// surrogatepass into `owned`, which keeps them distinct and one code point each.
std::string_view text_utf8_general(nb::handle text, std::deque<std::string>& owned);
inline std::string_view text_utf8(nb::handle text, std::deque<std::string>& owned) {
    // A compact ASCII str is its own UTF-8: the common case, inline.
    PyObject* t = text.ptr();
    if (PyUnicode_CheckExact(t) && PyUnicode_IS_COMPACT_ASCII(t))
        return std::string_view(static_cast<const char*>(PyUnicode_DATA(t)),
                                static_cast<size_t>(PyUnicode_GET_LENGTH(t)));
    return text_utf8_general(text, owned);
}
// A time as a double, as the host converts a number (TypeError for anything else).
double seconds_general(nb::handle value);
inline double seconds(nb::handle value) {
    if (PyFloat_CheckExact(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
    return seconds_general(value);
}

// A callable with exactly `doc` as __doc__ that binds as a method when placed in a class;
// `owner` names the class it is placed in (for __qualname__), or is null.
inline nb::object documented(nb::object fn, const char* name, const char* doc,
                             const char* owner = nullptr) {
    return py::documented(fn, name, nb::str(doc), owner, nb::str("vestrel.captions"));
}

// The module's functions as made at load (find_greatest_pause and the create_by_transcription
// of CaptionWord and CaptionLine), to tell them from replacements made later.
enum class Own { FindGreatestPause = 0, WordCreate = 1, LineCreate = 2 };
nb::handle own(Own which);

// Interned attribute names (kept for the life of the process).
enum class Name { Start = 0, End = 1, Text = 2, Words = 3 };
nb::handle attr_name(Name n);

// Records of one class with the given number of fields, in order start, end, text[, words].
// A record class made at load is filled field by field as its generated constructor would
// fill it (it only assigns the fields), without running that constructor's Python code:
// building thousands of words is the bulk of a caption run. Any other class is called.
class RecordMaker {
public:
    RecordMaker(nb::handle cls, size_t count);
    // A new record of `values` (a new reference).
    PyObject* make(PyObject* const* values) const {
        if (!own_) {
            PyObject* r = PyObject_Vectorcall(cls_, values, count_, nullptr);
            if (!r) throw nb::python_error();
            return r;
        }
        // Through tp_new (object.__new__), which also lays out the instance's attribute values.
        PyObject* obj = type_->tp_new(type_, no_args_, nullptr);
        if (!obj) throw nb::python_error();
        for (size_t i = 0; i < count_; ++i) {
            if (PyObject_GenericSetAttr(obj, names_[i], values[i]) < 0) {
                Py_DECREF(obj);
                throw nb::python_error();
            }
        }
        return obj;
    }

private:
    PyObject* cls_;
    PyTypeObject* type_;
    size_t count_;
    bool own_;
    PyObject* const* names_;
    PyObject* no_args_;
};

// CaptionWord(start, end, text) and CaptionLine(start, end, text, words) of the classes
// currently bound in the module.
nb::object make_word(nb::handle cls, nb::handle start, nb::handle end, nb::handle text);
nb::object make_line(nb::handle cls, nb::handle start, nb::handle end, nb::handle text,
                     nb::handle words);

}  // namespace vestrel::captions_py
