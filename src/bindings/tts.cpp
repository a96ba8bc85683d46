// vestrel.tts: voice engines behind one interface, built per call by name.
#include <nanobind/nanobind.h>

#include "bindings/common/function.hpp"

#include "bindings/common/awaitable.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/tts/parts.hpp"

namespace nb = nanobind;

NB_MODULE(tts, m) {
    vestrel::tts::set_module(m);
    // The coroutine type of the whole package is registered here, once.
    vestrel::py::register_awaitable(m);

    // The host modules the engines use, as module attributes read at each call.
    for (const char* name : {"asyncio", "os", "traceback", "requests"})
        m.attr(name) = vestrel::py::import(name);

    vestrel::tts::register_interface(m);
    vestrel::tts::register_edge(m);
    vestrel::tts::register_elevenlabs(m);
    vestrel::tts::register_espeak(m);
    vestrel::py::finalize_functions(m);
    vestrel::tts::register_signatures(m);
}
