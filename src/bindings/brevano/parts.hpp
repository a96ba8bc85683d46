// The two areas of vestrel.brevano, each registered by the module.
#pragma once

#include <nanobind/nanobind.h>

namespace vestrel::brevano {

namespace nb = nanobind;

// BrevanoBackgroundVideo, BrevanoScene, BrevanoInput
void register_input(nb::module_& m);
// remove_commands, generate_short
void register_pipeline(nb::module_& m);

}  // namespace vestrel::brevano
