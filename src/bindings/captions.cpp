// vestrel.captions: caption words and lines built from timed words, their timing and a
// timing report.
#include <nanobind/nanobind.h>

#include "bindings/captions/parts.hpp"

namespace nb = nanobind;

NB_MODULE(captions, m) {
    vestrel::captions_py::set_module(m);
    vestrel::captions_py::register_words(m);
    vestrel::captions_py::register_captions(m);
    vestrel::py::finalize_functions(m);
}
