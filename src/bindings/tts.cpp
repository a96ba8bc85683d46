// vestrel.tts: voice engines behind one interface, built per call by name.
#include "bindings/common/awaitable.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/tts/parts.hpp"

using namespace vestrel::bind::tts;

NB_MODULE(tts, m) {
    this_module.set(m);
    register_error_translator();
    // The coroutine type of the whole package is registered here, once.
    register_awaitable(m);

    // The host modules the engines use, as module attributes read at each call.
    for (const char* name : {"asyncio", "os", "traceback", "requests"})
        m.attr(name) = import(name);

    register_interface(m);
    register_edge(m);
    register_elevenlabs(m);
    register_espeak(m);
}
