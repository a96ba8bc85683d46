#include "bindings/common/values.hpp"

namespace vestrel::py {

bool truthy(nb::handle obj) {
    const int t = PyObject_IsTrue(obj.ptr());
    if (t < 0) throw nb::python_error();
    return t != 0;
}

double as_float(nb::handle obj) {
    const double d = PyFloat_AsDouble(obj.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return d;
}

nb::object to_py(double d) { return nb::steal(PyFloat_FromDouble(d)); }

}  // namespace vestrel::py
