#include "bindings/common/function.hpp"

#include <nanobind/stl/string.h>

#include <cstddef>
#include <string>

#ifndef Py_T_PYSSIZET  // before 3.12 the member constants come from structmember.h
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

namespace vestrel::py {

namespace {

// A plain host type with cyclic GC support, so it is collected at exit like any function.
struct Documented {
    PyObject_HEAD
    PyObject* fn;
    PyObject* dict;
};

PyObject* documented_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return PyObject_Call(reinterpret_cast<Documented*>(self)->fn, args, kwargs);
}

PyObject* documented_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* documented_repr(PyObject* self) {
    PyObject* name = PyObject_GetAttrString(self, "__qualname__");
    if (!name) return nullptr;
    PyObject* r = PyUnicode_FromFormat("<function %S>", name);
    Py_DECREF(name);
    return r;
}

int documented_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* d = reinterpret_cast<Documented*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(d->fn);
    Py_VISIT(d->dict);
    return 0;
}

int documented_clear(PyObject* self) {
    auto* d = reinterpret_cast<Documented*>(self);
    Py_CLEAR(d->fn);
    Py_CLEAR(d->dict);
    return 0;
}

void documented_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    documented_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMemberDef documented_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Documented, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot documented_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(documented_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(documented_get)},
    {Py_tp_repr, reinterpret_cast<void*>(documented_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(documented_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(documented_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(documented_dealloc)},
    {Py_tp_members, documented_members},
    {0, nullptr},
};

PyType_Spec documented_spec = {
    "vestrel._function",
    sizeof(Documented),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    documented_slots,
};

// One type per extension module (each links its own copy of this file), created on first
// use and kept for the life of the process.
PyObject* function_type() {
    static PyObject* type = [] {
        PyObject* t = PyType_FromSpec(&documented_spec);
        if (!t) throw nb::python_error();
        return t;
    }();
    return type;
}

// The docstring nanobind was given: what follows its signature paragraph, or None.
nb::object plain_doc(nb::handle fn) {
    nb::object doc = nb::getattr(fn, "__doc__", nb::none());
    if (doc.is_none()) return doc;
    std::string text = nb::cast<std::string>(doc);
    size_t cut = text.find("\n\n");
    if (cut == std::string::npos) return nb::none();  // a signature, no docstring
    return nb::str(text.substr(cut + 2).c_str());
}

}  // namespace

nb::object documented(nb::handle fn, const char* name, nb::handle doc, const char* owner,
                      nb::handle module_name) {
    auto* tp = reinterpret_cast<PyTypeObject*>(function_type());
    PyObject* self = tp->tp_alloc(tp, 0);
    if (!self) throw nb::python_error();
    nb::object wrapper = nb::steal(self);
    reinterpret_cast<Documented*>(self)->fn = nb::borrow(fn).release().ptr();
    wrapper.attr("__doc__") = doc;
    wrapper.attr("__name__") = name;
    const std::string qualname = owner ? std::string(owner) + "." + name : std::string(name);
    wrapper.attr("__qualname__") = nb::str(qualname.c_str());
    wrapper.attr("__module__") = module_name;
    return wrapper;
}

void finalize_functions(nb::module_& m) {
    nb::dict d = nb::borrow<nb::dict>(m.attr("__dict__"));
    nb::list names = d.keys();
    for (nb::handle name : names) {
        nb::object value = d[name];
        nb::handle tp = (PyObject*)Py_TYPE(value.ptr());
        if (nb::cast<std::string>(tp.attr("__name__")) != "nb_func") continue;
        d[name] = documented(value, nb::cast<std::string>(value.attr("__name__")).c_str(),
                             plain_doc(value), nullptr, m.attr("__name__"));
    }
}

}  // namespace vestrel::py
