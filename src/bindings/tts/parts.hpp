// Pieces of vestrel.tts: the voice interface and factory, the Edge engine, the ElevenLabs
// engine and the espeak-ng engine, each declared as a class of the host built from C++
// functions.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

#include "bindings/common/declare.hpp"
#include "bindings/common/module.hpp"

namespace vestrel::bind::tts {

namespace nb = nanobind;
using namespace vestrel::py;

// vestrel.tts; functions read its attributes (classes, requests, asyncio, os) at call time,
// so a replaced attribute is seen by every caller.
inline ModuleRef this_module;

// os.path.exists(path), through the module's `os`.
bool path_exists(nb::handle path);

// Closes what an engine opened (a streamed response, the output file) when it is done with,
// whatever happened: a response's connection goes back to the pool instead of waiting for the
// garbage collector. close() closes now and raises as the host would; close_quietly() (also
// at the end of the scope) reports a failure as unraisable. An object without close() (a
// stand-in of the HTTP library) is left as it is.
struct Closing {
    nb::object obj;
    const char* what;
    void close() {
        nb::object close = nb::getattr(std::exchange(obj, nb::object()), "close", nb::none());
        if (!close.is_none()) close();
    }
    void close_quietly() noexcept {
        if (!obj.is_valid()) return;
        try {
            close();
        } catch (nb::python_error& e) {
            e.discard_as_unraisable(what);
        } catch (...) {
        }
    }
    ~Closing() { close_quietly(); }
};

// TTSEngine, VoiceModule, create_tts_engine, generate_tts.
void register_interface(nb::module_& m);
// The engines (after register_interface); ElevenLabs reads the API base URL at load.
void register_edge(nb::module_& m);
void register_elevenlabs(nb::module_& m);
void register_espeak(nb::module_& m);  // also list_espeak_voices

// The voice the factory gives the espeak engine: `voice_name` when truthy, else the voice
// for `language_code` when truthy (ValueError if espeak-ng has none), else "de".
nb::object espeak_voice_for_settings(nb::handle voice_name, nb::handle language_code);

// The parameters every engine's generate_voice declares after self: text and outputfile.
inline Param text_param() { return arg("text", Kind::Str) | str_type(); }
inline Param outputfile_param() { return arg("outputfile", Kind::Str) | str_type(); }
// update_usage(self), get_remaining_characters(self) -> int and
// generate_voice(self, text: str, outputfile: str) -> str, with the given bodies.
inline Fn update_usage_fn(Body body) { return {"update_usage", {arg("self")}, std::move(body)}; }
inline Fn remaining_characters_fn(Body body) {
    return {"get_remaining_characters", {arg("self")}, std::move(body), nullptr, int_type()};
}
inline Fn generate_voice_fn(Body body) {
    return {"generate_voice", {arg("self"), text_param(), outputfile_param()}, std::move(body),
            nullptr, str_type()};
}

// The usage methods of an engine without a quota (Edge, espeak-ng): `update_usage()` does
// nothing and `get_remaining_characters()` answers a fixed, practically unlimited count.
Fn unmetered_update_usage();
Fn unmetered_remaining_characters();

}  // namespace vestrel::bind::tts
