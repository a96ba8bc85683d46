// A stand-in for a name whose stage is not built yet: calling it raises
// NotImplementedError naming the missing stage, so nothing pretends to work.
#pragma once

#include <nanobind/nanobind.h>

namespace vestrel::py {

namespace nb = nanobind;

void add_placeholder(nb::module_& m, const char* name, const char* stage);

}  // namespace vestrel::py
