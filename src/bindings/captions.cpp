// vestrel.captions: caption words and lines built from timed words.
#include <nanobind/nanobind.h>

#include "bindings/common/placeholder.hpp"

namespace nb = nanobind;

NB_MODULE(captions, m) { vestrel::py::add_placeholder(m, "Captions", "caption building (captions)"); }
