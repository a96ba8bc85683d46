// vestrel.brevano: the generation input model and the pipeline.
#pragma once

#include <nanobind/nanobind.h>

#include "bindings/common/declare.hpp"
#include "bindings/common/module.hpp"

namespace vestrel::bind::brevano {

namespace nb = nanobind;
using namespace vestrel::py;

// vestrel.brevano; the stages (tts, lexor, montra) are read through it at each call.
inline ModuleRef this_module;

// BrevanoBackgroundVideo, BrevanoScene, BrevanoInput
void register_input(nb::module_& m);
// remove_commands, generate_short
void register_pipeline(nb::module_& m);

}  // namespace vestrel::bind::brevano
