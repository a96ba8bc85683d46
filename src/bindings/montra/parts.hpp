// The three areas of vestrel.montra, each registered by the module.
#pragma once

#include <nanobind/nanobind.h>

#include "bindings/common/declare.hpp"
#include "bindings/common/module.hpp"

namespace vestrel::bind::montra {

namespace nb = nanobind;
using namespace vestrel::py;

// vestrel.montra; its attributes (lumora, PYDUB_AVAILABLE, AudioSegment, ...) are read
// through it at each call, so a replaced one is seen at once.
inline ModuleRef this_module;

// A new reference from the C API, or the error it raised.
inline nb::object checked(PyObject* result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

void register_silence(nb::module_& m);   // remove_silence_from_audio, PYDUB_AVAILABLE
void register_edit(nb::module_& m);      // Scene, Edit and the scene timing
void register_assembly(nb::module_& m);  // setup_davinci, render

}  // namespace vestrel::bind::montra
