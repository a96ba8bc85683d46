#include "bindings/common/pyutil.hpp"

#include <cstdio>

namespace vestrel::py {

void print(std::string_view text) {
    nb::module_::import_("builtins").attr("print")(nb::str(text.data(), text.size()));
}

void print(nb::handle obj) { nb::module_::import_("builtins").attr("print")(obj); }

void eprint(std::string_view text) {
    nb::object sys = nb::module_::import_("sys");
    nb::module_::import_("builtins")
        .attr("print")(nb::str(text.data(), text.size()), nb::arg("file") = sys.attr("stderr"));
}

std::string float_str(double x) {
    nb::object f = nb::steal(PyFloat_FromDouble(x));
    return str(f);
}

std::string format(nb::handle x, const char* fmt) {
    nb::object s = nb::steal(PyObject_Format(x.ptr(), nb::str(fmt).ptr()));
    if (!s.is_valid()) throw nb::python_error();
    return utf8(s);
}

std::string str(nb::handle obj) {
    nb::object s = nb::steal(PyObject_Str(obj.ptr()));
    if (!s.is_valid()) throw nb::python_error();
    return utf8(s);
}

std::string utf8(nb::handle s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (!p) throw nb::python_error();
    return std::string(p, static_cast<size_t>(n));
}

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw nb::python_error();
}

void raise_with_context(PyObject* type, const std::string& message, nb::handle context) {
    nb::object exc = nb::steal(PyObject_CallOneArg(type, nb::str(message.c_str()).ptr()));
    if (!exc.is_valid()) throw nb::python_error();
    PyException_SetContext(exc.ptr(), nb::borrow(context).release().ptr());
    // Restored as it is: PyErr_SetObject would replace the context above by an exception
    // that a Python caller of the binding happens to be handling.
    PyErr_Restore(nb::borrow(type).release().ptr(), exc.release().ptr(), nullptr);
    throw nb::python_error();
}

nb::object exception_text(nb::handle exc, bool* from_str) {
    nb::object s = nb::steal(PyObject_Str(exc.ptr()));
    if (from_str) *from_str = s.is_valid();
    if (s.is_valid()) return s;
    PyErr_Clear();
    return nb::str(Py_TYPE(exc.ptr())->tp_name);
}

nb::object exception_value(const nb::python_error& e) { return nb::borrow(e.value()); }

void print_exception(nb::handle exc) {
    nb::module_::import_("traceback").attr("print_exception")(exc);
}

void print_exception(const nb::python_error& e) {
    // An error raised and caught in C++ has passed no Python frame and carries no
    // traceback; Python code catching it would show at least the frame it was caught in, so
    // the innermost running Python frame (the caller of the binding) is given to it first.
    nb::handle exc = e.value();
    if (nb::getattr(exc, "__traceback__").is_none()) {
        nb::object sys = nb::module_::import_("sys");
        try {
            nb::object frame = sys.attr("_getframe")(0);
            nb::object tb = nb::module_::import_("types").attr("TracebackType")(
                nb::none(), frame, frame.attr("f_lasti"), frame.attr("f_lineno"));
            exc.attr("with_traceback")(tb);
        } catch (nb::python_error&) {
            // No Python frame is running: the error is printed without one.
        }
    }
    print_exception(exc);
}

bool error_is(const nb::python_error& e, PyObject* type) {
    return PyObject_IsInstance(e.value().ptr(), type) == 1;
}

nb::object import(const char* name) { return nb::module_::import_(name); }

HeldLock::HeldLock(nb::object lock) : lock_(std::move(lock)) { lock_.attr("acquire")(); }

HeldLock::~HeldLock() {
    PyObject* r = PyObject_CallMethod(lock_.ptr(), "release", nullptr);
    if (r)
        Py_DECREF(r);
    else
        PyErr_WriteUnraisable(lock_.ptr());
}

}  // namespace vestrel::py
