// Functions whose __doc__ is exactly their docstring.
//
// nanobind puts a rendered signature in front of a function's __doc__. The package's
// functions document themselves with their own docstrings alone, so they are wrapped in a
// small callable type that forwards to the nanobind function and carries the plain __doc__,
// __name__, __qualname__ and __module__. Placed in a class it binds like a Python function.
#pragma once

#include <nanobind/nanobind.h>

namespace vestrel::py {

namespace nb = nanobind;

// Wraps `fn`; `owner` names the class it is placed in (for __qualname__), or is null.
// `doc` may be None.
nb::object documented(nb::handle fn, const char* name, nb::handle doc, const char* owner,
                      nb::handle module_name);

// At the end of a module's init: replaces every nanobind function attribute of the module by
// its documented wrapper, with the docstring nanobind was given.
void finalize_functions(nb::module_& m);

}  // namespace vestrel::py
