// The three areas of vestrel.montra, each registered by the module.
#pragma once

#include <nanobind/nanobind.h>

#include "bindings/common/declare.hpp"
#include "bindings/common/module.hpp"
#include "bindings/common/pyutil.hpp"

namespace vestrel::bind::montra {

namespace nb = nanobind;
using namespace vestrel::py;

// vestrel.montra; its attributes (lumora, PYDUB_AVAILABLE, AudioSegment, ...) are read
// through it at each call, so a replaced one is seen at once.
inline ModuleRef this_module;

void register_silence(nb::module_& m);   // remove_silence_from_audio, PYDUB_AVAILABLE
void register_edit(nb::module_& m);      // Scene, Edit and the scene timing
void register_assembly(nb::module_& m);  // setup_davinci, render

}  // namespace vestrel::bind::montra
