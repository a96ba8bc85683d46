// The three areas of vestrel.montra, each registered by the module.
#pragma once

#include <nanobind/nanobind.h>

namespace vestrel::montra {

namespace nb = nanobind;

// vestrel.montra itself, looked up once (at the first call, never while the module loads)
// and kept for the life of the process; its attributes are read through it at each call, so
// a replaced one (lumora, PYDUB_AVAILABLE, ...) is seen at once.
nb::handle self_module();

void register_silence(nb::module_& m);   // remove_silence_from_audio, PYDUB_AVAILABLE
void register_edit(nb::module_& m);      // Scene, Edit and the scene timing
void register_assembly(nb::module_& m);  // setup_davinci, render

}  // namespace vestrel::montra
