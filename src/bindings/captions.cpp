// vestrel.captions: caption words and lines built from timed words, their timing and a
// timing report.
#include <nanobind/nanobind.h>

#include "bindings/captions/parts.hpp"
#include "bindings/common/errors.hpp"

NB_MODULE(captions, m) {
    vestrel::bind::captions::this_module.set(m);
    vestrel::py::register_error_translator();
    vestrel::bind::captions::register_words(m);
    vestrel::bind::captions::register_captions(m);
}
