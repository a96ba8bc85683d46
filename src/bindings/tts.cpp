// vestrel.tts: voice engines behind one interface.
#include <nanobind/nanobind.h>

#include "bindings/common/placeholder.hpp"

namespace nb = nanobind;

NB_MODULE(tts, m) { vestrel::py::add_placeholder(m, "generate_tts", "speech synthesis (tts)"); }
