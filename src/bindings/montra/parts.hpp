// The three areas of vestrel.montra, each registered by the module.
#pragma once

#include <nanobind/nanobind.h>

namespace vestrel::montra {

namespace nb = nanobind;

void register_silence(nb::module_& m);   // remove_silence_from_audio, PYDUB_AVAILABLE
void register_edit(nb::module_& m);      // Scene, Edit and the scene timing
void register_assembly(nb::module_& m);  // setup_davinci, render

}  // namespace vestrel::montra
