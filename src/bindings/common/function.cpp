#include "bindings/common/function.hpp"

#include <nanobind/stl/string.h>

#include <string>

namespace vestrel::py {

namespace {

// One forwarding type per extension module (each links its own copy of this file); it is
// created through the host's type() so no nanobind type registration is shared between
// modules. Kept for the life of the process.
nb::handle function_type() {
    static nb::handle type = [] {
        nb::dict ns;
        ns["__call__"] = nb::cpp_function(
            [](nb::handle self, nb::args args, nb::kwargs kwargs) {
                nb::object impl = nb::getattr(self, "_impl");
                PyObject* r = PyObject_Call(impl.ptr(), args.ptr(), kwargs.ptr());
                if (!r) throw nb::python_error();
                return nb::steal(r);
            },
            nb::is_method());
        // A descriptor that returns itself: inspect.isroutine holds, and the function is
        // not bound when it is stored on a class.
        ns["__get__"] = nb::cpp_function(
            [](nb::handle self, nb::handle, nb::handle) { return nb::borrow(self); },
            nb::is_method(), nb::arg("instance").none(), nb::arg("owner").none() = nb::none());
        ns["__repr__"] = nb::cpp_function(
            [](nb::handle self) {
                return nb::str("<built-in function {}>").format(nb::getattr(self, "__name__"));
            },
            nb::is_method());
        ns["__module__"] = nb::str("vestrel");
        nb::object builtins = nb::module_::import_("builtins");
        return builtins.attr("type")("builtin_function", nb::make_tuple(builtins.attr("object")),
                                     ns)
            .release();
    }();
    return type;
}

// The docstring that nanobind wrote after its signature paragraph, or None.
nb::object plain_doc(nb::handle fn) {
    nb::object doc = nb::getattr(fn, "__doc__", nb::none());
    if (doc.is_none()) return doc;
    std::string text = nb::cast<std::string>(doc);
    size_t cut = text.find("\n\n");
    if (cut == std::string::npos) return nb::none();  // signature only, no docstring
    return nb::str(text.substr(cut + 2).c_str());
}

}  // namespace

void finalize_functions(nb::module_& m) {
    nb::handle nb_func_type;
    nb::dict d = nb::borrow<nb::dict>(m.attr("__dict__"));
    nb::list names = d.keys();
    for (nb::handle name : names) {
        nb::object value = d[name];
        nb::handle tp = (PyObject*)Py_TYPE(value.ptr());
        if (nb::cast<std::string>(tp.attr("__name__")) != "nb_func") continue;
        nb::object wrapper = function_type()();
        wrapper.attr("_impl") = value;
        wrapper.attr("__name__") = value.attr("__name__");
        wrapper.attr("__qualname__") = value.attr("__qualname__");
        wrapper.attr("__module__") = m.attr("__name__");
        wrapper.attr("__doc__") = plain_doc(value);
        d[name] = wrapper;
    }
}

}  // namespace vestrel::py
