// vestrel.lexor: word-timed transcripts by forced alignment, command re-insertion and the
// split of the words by scene.
#include <nanobind/nanobind.h>

#include "bindings/common/errors.hpp"
#include "bindings/lexor/parts.hpp"

NB_MODULE(lexor, m) {
    vestrel::bind::lexor::this_module.set(m);
    vestrel::py::register_error_translator();
    vestrel::bind::lexor::register_records(m);
    vestrel::bind::lexor::register_whisper(m);
    vestrel::bind::lexor::register_alignment(m);
}
