// Pieces of vestrel.tts: the voice interface and factory, the Edge engine, the ElevenLabs
// engine, and the small helpers they share for building host classes from C++ functions.
#pragma once

#include <nanobind/nanobind.h>

namespace vestrel::tts {

namespace nb = nanobind;

// The vestrel.tts module; functions read its attributes (classes, requests, asyncio, os)
// at call time, so a replaced attribute is seen by every caller.
nb::handle module();
void set_module(nb::handle m);

// os.path.exists(path), through the module's `os`.
bool path_exists(nb::handle path);

// TTSEngine, VoiceModule, create_tts_engine, generate_tts.
void register_interface(nb::module_& m);
// EdgeTTSVoiceModule (after register_interface).
void register_edge(nb::module_& m);
// ElevenLabsVoiceModule (after register_interface); reads the API base URL.
void register_elevenlabs(nb::module_& m);

// EspeakVoiceModule and list_espeak_voices (after register_interface).
void register_espeak(nb::module_& m);
// The voice the factory gives the espeak engine: `voice_name` when truthy, else the voice
// for `language_code` when truthy (ValueError if espeak-ng has none), else "de".
// `language_code` may be an invalid handle (setting absent).
nb::object espeak_voice_for_settings(nb::handle voice_name, nb::handle language_code);

// inspect.signature of the module's functions and the engines' methods (after
// finalize_functions, which makes the module functions able to carry one).
void register_signatures(nb::module_& m);

// A function that binds like a method of a host class: called with the instance as `self`,
// then the positional and keyword arguments as given.
template <typename F>
nb::object method(const char* name, F&& fn, const char* doc = nullptr) {
    if (doc) return nb::cpp_function(std::forward<F>(fn), nb::is_method(), nb::name(name), doc);
    return nb::cpp_function(std::forward<F>(fn), nb::is_method(), nb::name(name));
}

// The usage methods of an engine without a quota (Edge, espeak-ng): `update_usage()` does
// nothing and `get_remaining_characters()` answers a fixed, practically unlimited count.
nb::object unmetered_update_usage(nb::handle self, nb::args a, nb::kwargs k);
nb::object unmetered_remaining_characters(nb::handle self, nb::args a, nb::kwargs k);

// A class `name` of vestrel.tts made by the metaclass of `base` (ABCMeta for VoiceModule and
// its engines) from the methods and attributes in `ns`, stored as a module attribute.
nb::object make_class(nb::module_& m, const char* name, nb::handle base, nb::dict ns,
                      const char* doc);

// While alive, `exc` is the exception being handled (what sys.exception() and
// traceback.print_exc() see, and what an error raised meanwhile gets as __context__),
// as inside an `except` block. The previous state comes back at the end of the scope.
class Handling {
public:
    explicit Handling(nb::handle exc);
    ~Handling();
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* saved_;
};

}  // namespace vestrel::tts
