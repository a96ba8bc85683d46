// Module functions whose __doc__ is exactly their docstring.
//
// nanobind puts a signature line in front of a function's __doc__. The package's functions
// document themselves with their own docstrings alone, so at the end of a module's init
// `finalize_functions` replaces every nanobind function attribute of the module by a small
// callable that forwards to it and carries the plain docstring, name, qualname and module.
#pragma once

#include <nanobind/nanobind.h>

namespace vestrel::py {

namespace nb = nanobind;

void finalize_functions(nb::module_& m);

}  // namespace vestrel::py
