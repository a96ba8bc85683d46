// vestrel.lexor: word-timed transcripts by forced alignment, command re-insertion and the
// split of the words by scene.
#include <nanobind/nanobind.h>

#include "bindings/common/function.hpp"

#include "bindings/lexor/parts.hpp"

namespace nb = nanobind;

NB_MODULE(lexor, m) {
    vestrel::lexor::register_records(m);
    vestrel::lexor::register_whisper(m);
    vestrel::lexor::register_alignment(m);
    vestrel::py::finalize_functions(m);
}
