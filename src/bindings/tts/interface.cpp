// The voice interface (VoiceModule), the engine names (TTSEngine), the factory and the
// one-shot helper.
#include "bindings/common/pyutil.hpp"
#include "bindings/common/values.hpp"
#include "bindings/tts/parts.hpp"

namespace vestrel::bind::tts {

namespace {

nb::object create_tts_engine(const Args& a) {
    nb::dict settings = nb::borrow<nb::dict>(a["kwargs"]);
    auto setting = [&](const char* key, nb::object fallback) {
        return settings.contains(key) ? nb::object(settings[key]) : fallback;
    };
    // Engine names are case-insensitive; the lowered name is used from here on.
    nb::object engine = a["engine"].attr("lower")();
    if (engine.equal(nb::str("edge")))
        return this_module.attr("EdgeTTSVoiceModule")(
            nb::arg("voice_name") = setting("voice_name", nb::str("de-DE-KatjaNeural")));
    if (engine.equal(nb::str("eleven"))) {
        nb::object api_key = setting("api_key", nb::none());
        if (!truthy(api_key)) raise(PyExc_ValueError, "api_key is required for ElevenLabs TTS");
        return this_module.attr("ElevenLabsVoiceModule")(
            nb::arg("api_key") = api_key,
            nb::arg("voice_id") = setting("voice_id", nb::str("21m00Tcm4TlvDq8ikWAM")),
            nb::arg("check_credits") = setting("check_credits", nb::bool_(false)),
            nb::arg("language_code") = setting("language_code", nb::none()));
    }
    if (engine.equal(nb::str("espeak"))) {
        // Offline engine: no key, and a None voice means "not given" (the speech route
        // passes absent fields on as None).
        nb::object voice = espeak_voice_for_settings(setting("voice_name", nb::none()),
                                                     setting("language_code", nb::none()));
        return this_module.attr("EspeakVoiceModule")(
            nb::arg("voice_name") = voice, nb::arg("rate") = setting("rate", nb::none()),
            nb::arg("pitch") = setting("pitch", nb::none()));
    }
    raise(PyExc_ValueError, "Unsupported TTS engine: " + str(engine));
}

nb::object generate_tts(const Args& a) {
    nb::object engine = this_module.attr("create_tts_engine")(a["engine"], **a["engine_kwargs"]);
    nb::object result = engine.attr("generate_voice")(a["text"], a["outputfile"]);
    if (!PyUnicode_CheckExact(result.ptr())) {
        PyErr_Format(PyExc_TypeError, "Expected str, got %.200s", Py_TYPE(result.ptr())->tp_name);
        throw nb::python_error();
    }
    return result;
}

nb::object nothing(const Args&) { return nb::none(); }

}  // namespace

bool path_exists(nb::handle path) {
    return truthy(this_module.attr("os").attr("path").attr("exists")(path));
}

Fn unmetered_update_usage() { return update_usage_fn(nothing); }
Fn unmetered_remaining_characters() {
    return remaining_characters_fn([](const Args&) { return nb::int_(1000000000000LL); });
}

void register_interface(nb::module_& m) {
    nb::object engine_t = import("typing").attr("Literal")[nb::make_tuple("edge", "eleven")];
    m.attr("TTSEngine") = engine_t;

    // Every operation is abstract, so the class cannot be instantiated; the bodies do
    // nothing and return nothing.
    nb::dict ns;
    def_methods(m, ns, "VoiceModule",
                {update_usage_fn(nothing), remaining_characters_fn(nothing),
                 generate_voice_fn(nothing)});
    nb::object abstract = import("abc").attr("abstractmethod");
    for (const char* name : {"update_usage", "get_remaining_characters", "generate_voice"})
        ns[name] = abstract(ns[name]);
    nb::object voice_module = make_class(m, "VoiceModule",
                                         "Abstract base class for all TTS engines.", ns,
                                         import("abc").attr("ABC"));

    def(m, {{"create_tts_engine", {arg("engine") | engine_t, var_keyword("kwargs")},
             create_tts_engine,
             "Factory to create a TTS engine.\n"
             "\n"
             "Example:\n"
             "    engine = create_tts_engine(\"edge\", voice_name=\"de-DE-KatjaNeural\")\n",
             voice_module},
            {"generate_tts",
             {text_param(), outputfile_param(), arg("engine") | engine_t,
              var_keyword("engine_kwargs")},
             generate_tts,
             "One-shot helper to generate TTS without manually managing the engine.",
             str_type()}});
}

}  // namespace vestrel::bind::tts
