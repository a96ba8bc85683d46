// The module object of vestrel.endpoints, shared by every route group.
#pragma once

#include <nanobind/nanobind.h>

namespace vestrel::endpoints {

namespace nb = nanobind;

// vestrel.endpoints, looked up once (at the first call, never while the module loads) and
// kept for the life of the process. Its attributes (lumora, media, generate_tts, the status
// state) are read through it at each call, so a test that replaces one is seen at once.
nb::handle self_module();

}  // namespace vestrel::endpoints
