// Functions whose __doc__ is exactly their documentation. A nanobind function's __doc__
// starts with its rendered signature; the members whose documentation callers read are
// wrapped in this small callable type, which binds like a Python function when it sits in a
// class. It is a plain host type (with cyclic GC support), so it is collected at exit like
// any function object.
#include "bindings/captions/parts.hpp"

#include <cstddef>
#include <string>

#ifndef Py_T_PYSSIZET  // before 3.12 the member constants come from structmember.h
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

namespace vestrel::captions_py {

namespace {

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
    "vestrel.captions._DocumentedFunction",
    sizeof(Documented),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    documented_slots,
};

PyObject* g_type = nullptr;  // kept for the life of the process

}  // namespace

void register_documented(nb::module_&) {
    g_type = PyType_FromSpec(&documented_spec);
    if (!g_type) throw nb::python_error();
}

nb::object documented(nb::object fn, const char* name, const char* doc, const char* owner) {
    auto* tp = reinterpret_cast<PyTypeObject*>(g_type);
    PyObject* self = tp->tp_alloc(tp, 0);
    if (!self) throw nb::python_error();
    nb::object wrapper = nb::steal(self);
    reinterpret_cast<Documented*>(self)->fn = fn.release().ptr();
    wrapper.attr("__doc__") = doc;
    wrapper.attr("__name__") = name;
    const std::string qualname = owner ? std::string(owner) + "." + name : std::string(name);
    wrapper.attr("__qualname__") = nb::str(qualname.c_str());
    wrapper.attr("__module__") = "vestrel.captions";
    return wrapper;
}

}  // namespace vestrel::captions_py
