// Reading template files (JSON) for the simulator: the host's json module parses, the core
// checks the document.
#include <nanobind/stl/string.h>

#include <cmath>
#include <cstdint>

#include "bindings/common/pyutil.hpp"
#include "bindings/resolve_sim/parts.hpp"

namespace vestrel::bind::resolve_sim {

namespace {

using Type = core::Json::Type;

core::Json json_of(nb::handle v) {
    core::Json j;
    if (PyBool_Check(v.ptr())) {
        j.type = Type::Bool;
        j.flag = v.ptr() == Py_True;
    } else if (PyLong_CheckExact(v.ptr())) {
        j.type = Type::Int;
        j.text = str(v);
        int overflow = 0;
        j.integer = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
        if (overflow) j.integer = overflow > 0 ? INT64_MAX : INT64_MIN;
        j.number = PyLong_AsDouble(v.ptr());
        if (PyErr_Occurred()) {  // beyond a double's range
            PyErr_Clear();
            j.number = overflow > 0 ? HUGE_VAL : -HUGE_VAL;
        }
    } else if (PyFloat_CheckExact(v.ptr())) {
        j.type = Type::Float;
        j.number = PyFloat_AS_DOUBLE(v.ptr());
    } else if (PyUnicode_CheckExact(v.ptr())) {
        j.type = Type::Text;
        j.text = utf8(v);
    } else if (PyList_Check(v.ptr())) {
        j.type = Type::List;
        for (nb::handle item : v) j.items.push_back(json_of(item));
    } else if (PyDict_Check(v.ptr())) {
        j.type = Type::Object;
        for (auto [k, item] : nb::borrow<nb::dict>(v))
            j.members.emplace_back(utf8(k), json_of(item));
    }
    return j;
}

}  // namespace

std::optional<core::ProjectTemplate> read_template(const std::string& path) {
    nb::object doc;
    try {
        nb::object text =
            import("pathlib").attr("Path")(path).attr("read_text")(nb::arg("encoding") = "utf-8");
        doc = import("json").attr("loads")(text);
    } catch (nb::python_error& e) {
        // Not a readable text file of JSON (a missing file, a folder, a zip archive...).
        if (e.matches(PyExc_Exception)) return std::nullopt;
        throw;
    }
    return core::template_of(json_of(doc));
}

}  // namespace vestrel::bind::resolve_sim
