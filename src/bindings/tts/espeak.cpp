// EspeakVoiceModule: offline speech through libespeak-ng, written as MP3 or WAV in-process.
#include <nanobind/stl/string.h>

#include <cerrno>
#include <string>

#include "bindings/common/pyutil.hpp"
#include "bindings/common/values.hpp"
#include "bindings/tts/parts.hpp"
#include "core/audio_codec.hpp"
#include "core/espeak.hpp"

namespace vestrel::bind::tts {

namespace {

constexpr const char* kDefaultVoice = "de";

// The value of an optional int attribute or argument as the core takes it: None gives
// `none_value`; anything else must be an int the setting allows.
int bounded(nb::handle value, const espeak::Setting& setting, int none_value) {
    if (value.is_none()) return none_value;
    check_value(arg(setting.name, Kind::Int), value);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    return espeak::checked_setting(setting, v, overflow != 0, str(value));
}

int rate_of(nb::handle value) { return bounded(value, espeak::kRateSetting, 0); }
int pitch_of(nb::handle value) { return bounded(value, espeak::kPitchSetting, -1); }

// A failed write names the output file as the host's own file errors do
// (FileNotFoundError: [Errno 2] No such file or directory: '...').
[[noreturn]] void raise_write_error(const audio::Error& e, nb::handle outputfile) {
    if (e.error_number() != 0) {
        errno = e.error_number();
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, outputfile.ptr());
        throw nb::python_error();
    }
    raise(PyExc_Exception, std::string("espeak-ng TTS failed: ") + e.what());
}

nb::object generate_voice(const Args& a) {
    nb::handle self = a["self"], text = a["text"], outputfile = a["outputfile"];

    // The engine's attributes as they are now (they are public and may have been changed).
    espeak::Options options;
    options.voice = utf8(check_value(arg("voice_name", Kind::Str), self.attr("voice_name")));
    options.rate = rate_of(self.attr("rate"));
    options.pitch = pitch_of(self.attr("pitch"));

    // Refusals come before anything is synthesised or written (an unsupported extension is
    // the core's ValueError).
    const std::string path = utf8(outputfile);
    audio::container_for(path);
    if (!truthy(text.attr("strip")()))
        raise(PyExc_ValueError, "espeak-ng TTS: the text is empty, nothing to speak");
    const std::string utf8_text = utf8(text);

    // Synthesis and encoding touch no Python object: other threads run meanwhile. The
    // errors are reported once the GIL is back.
    bool spoken = true;
    try {
        nb::gil_scoped_release released;
        espeak::Speech speech = espeak::synthesize(utf8_text, options);
        spoken = !speech.samples.empty();
        if (spoken) audio::write_audio_file(path, speech.samples, speech.sample_rate);
    } catch (const espeak::UnknownVoice& e) {
        // A plain Exception, its text naming the voice and how to list the valid ones.
        raise(PyExc_Exception, e.what());
    } catch (const std::invalid_argument& e) {
        raise(PyExc_ValueError, e.what());
    } catch (const audio::Error& e) {
        raise_write_error(e, outputfile);
    } catch (const std::exception& e) {
        raise(PyExc_Exception, std::string("espeak-ng TTS failed: ") + e.what());
    }
    if (!spoken)
        raise(PyExc_Exception, "espeak-ng TTS failed: no audio for the text, nothing written");
    return nb::borrow(outputfile);
}

nb::object list_espeak_voices(const Args&) {
    std::vector<espeak::VoiceInfo> voices;
    try {
        nb::gil_scoped_release released;
        voices = espeak::list_voices();
    } catch (const std::exception& e) {
        raise(PyExc_Exception, std::string("espeak-ng TTS failed: ") + e.what());
    }
    nb::list out;
    for (const espeak::VoiceInfo& v : voices) {
        nb::dict d;
        d["name"] = nb::str(v.name.c_str());
        d["identifier"] = nb::str(v.identifier.c_str());
        nb::list languages;
        for (const std::string& code : espeak::language_list(v.languages))
            languages.append(nb::str(code.c_str()));
        d["languages"] = languages;
        out.append(d);
    }
    return out;
}

}  // namespace

nb::object espeak_voice_for_settings(nb::handle voice_name, nb::handle language_code) {
    // An explicit voice wins; without one (absent, None or empty) the request's language
    // picks it, and without either the default voice speaks.
    if (truthy(voice_name)) return nb::borrow(voice_name);
    if (language_code.is_valid() && truthy(language_code)) {
        std::string code = utf8(check_value(arg("language_code", Kind::Str), language_code));
        std::string voice;
        {
            nb::gil_scoped_release released;
            voice = espeak::voice_for_request(code);
        }
        return nb::str(voice.c_str());
    }
    return nb::str(kDefaultVoice);
}

void register_espeak(nb::module_& m) {
    nb::dict ns;
    def_methods(m, ns, "EspeakVoiceModule",
                {{"__init__",
                  {arg("self"), opt("voice_name", Kind::Str, nb::str(kDefaultVoice)) | str_type(),
                   opt_none("rate", Kind::Int) | optional(int_type()),
                   opt_none("pitch", Kind::Int) | optional(int_type())},
                  [](const Args& a) {
                      rate_of(a["rate"]);
                      pitch_of(a["pitch"]);
                      for (const char* name : {"voice_name", "rate", "pitch"})
                          a["self"].attr(name) = a[name];
                      return nb::none();
                  }},
                 unmetered_update_usage(), unmetered_remaining_characters(),
                 generate_voice_fn(generate_voice)});
    make_class(m, "EspeakVoiceModule",
               "Offline TTS implementation using the espeak-ng speech synthesizer.", ns,
               m.attr("VoiceModule"));

    def(m, {{"list_espeak_voices", {}, list_espeak_voices,
             "List the voices of the espeak-ng engine as dictionaries with the keys 'name', "
             "'identifier' and 'languages'.",
             list_type()}});
}

}  // namespace vestrel::bind::tts
