// Small conversions between Python values and C++ ones that every module needs.
#pragma once

#include <nanobind/nanobind.h>

namespace vestrel::py {

namespace nb = nanobind;

// bool(obj) as the host tests it (None, False, 0, empty are falsy); an error raised by the
// object's __bool__ or __len__ goes on as nb::python_error.
bool truthy(nb::handle obj);

// float(obj) for a float or an int (through __float__ / __index__); errors go on as
// nb::python_error.
double as_float(nb::handle obj);

// A new Python float of `d`.
nb::object to_py(double d);

}  // namespace vestrel::py
