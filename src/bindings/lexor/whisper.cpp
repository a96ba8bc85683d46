// The aligner: availability of stable-whisper, the one cached model and the alignment run.
#include "bindings/common/pyutil.hpp"
#include "bindings/common/values.hpp"
#include "bindings/lexor/parts.hpp"

namespace vestrel::bind::lexor {

namespace {

const char* const kNotInstalled =
    "stable-whisper is not installed. Install it with: pip install vestrel[transcription]";

// The model name that selects the aligner of the core instead of Whisper.
const char* const kBuiltin = "builtin";

// Prints prefix + text + suffix; the text stays a Python str (any code point prints).
void log(const char* prefix, nb::handle text, const char* suffix) {
    py::print(nb::handle(nb::str("{}{}{}").format(prefix, text, suffix)));
}

nb::object get_whisper_model(const Args& a) {
    nb::handle m = this_module.get(), model_name = a["model_name"];
    if (!truthy(m.attr("STABLE_WHISPER_AVAILABLE"))) raise(PyExc_ImportError, kNotInstalled);
    nb::object model = m.attr("_model");
    nb::object current = m.attr("_current_model_name");
    bool load = model.is_none();
    if (!load) {
        int differs = PyObject_RichCompareBool(current.ptr(), model_name.ptr(), Py_NE);
        if (differs < 0) throw nb::python_error();
        load = differs != 0;
    }
    if (load) {
        log("[lexor] Loading Whisper model '", model_name, "'...");
        if (!nb::hasattr(m, "stable_whisper"))
            raise(PyExc_NameError, "name 'stable_whisper' is not defined");
        // A failing load leaves the cache as it was.
        nb::object loaded = m.attr("stable_whisper").attr("load_model")(model_name);
        m.attr("_model") = loaded;
        m.attr("_current_model_name") = model_name;
        log("[lexor] Whisper model '", model_name, "' loaded successfully");
    }
    // Read again: the cache is module state that anyone may have replaced meanwhile.
    return m.attr("_model");
}

nb::object generate_transcription(const Args& a) {
    nb::handle m = this_module.get(), audio_filepath = a["audio_filepath"],
               reference_text = a["reference_text"], whisper_model = a["whisper_model"],
               language = a["language"];
    // "builtin" is our own aligner: no model to load, the cache stays as it is.
    const bool builtin = PyUnicode_CompareWithASCIIString(whisper_model.ptr(), kBuiltin) == 0;
    nb::object model = builtin ? nb::object() : m.attr("get_whisper_model")(whisper_model);
    log("[lexor] Aligning transcription with language='", language, "'");
    if (builtin) return builtin_transcription(audio_filepath, reference_text, language);
    nb::object result = model.attr("align")(audio_filepath, reference_text,
                                            nb::arg("language") = language,
                                            nb::arg("suppress_silence") = false);
    return m.attr("Transcription").attr("from_stablets")(result);
}

}  // namespace

void register_whisper(nb::module_& m) {
    // stable-whisper is optional: without it only the alignment run is unavailable.
    bool available = false;
    nb::object whisper_result = nb::none();
    if (PyObject* mod = PyImport_ImportModule("stable_whisper")) {
        nb::object sw = nb::steal(mod);
        m.attr("stable_whisper") = sw;
        if (PyObject* wr = PyObject_GetAttrString(mod, "WhisperResult")) {
            whisper_result = nb::steal(wr);
            available = true;
        } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();  // a package without the result type counts as absent
        } else {
            throw nb::python_error();
        }
    } else if (PyErr_ExceptionMatches(PyExc_ImportError)) {
        PyErr_Clear();
    } else {
        throw nb::python_error();
    }
    m.attr("STABLE_WHISPER_AVAILABLE") = nb::bool_(available);
    m.attr("WhisperResult") = whisper_result;
    m.attr("_model") = nb::none();
    m.attr("_current_model_name") = nb::none();

    const nb::object str = str_type();
    def(m,
        {{"get_whisper_model", {opt("model_name", Kind::Str, nb::str("medium")) | str},
          get_whisper_model,
          "Return the cached Whisper model, loading it when none is loaded or another name is "
          "asked for."},
         {"generate_transcription",
          {arg("audio_filepath", Kind::Str) | str, arg("reference_text", Kind::Str) | str,
           opt("whisper_model", Kind::Str, nb::str("medium")) | str,
           opt("language", Kind::Str, nb::str("de")) | str},
          generate_transcription,
          "Generate a transcription by aligning the reference text with the audio.\n"
          "\n"
          "Args:\n"
          "    audio_filepath: Path to the audio file\n"
          "    reference_text: Reference text for the alignment\n"
          "    whisper_model: Whisper model size ('tiny', 'base', 'small', 'medium', 'large')\n"
          "    language: ISO 639-1 language code (e.g., 'en', 'de', 'fr', 'es', 'it', 'pt', "
          "'ja', 'zh', 'ru', 'ko')\n"
          "\n"
          "Returns:\n"
          "    Transcription object with segments and word-level timestamps",
          m.attr("Transcription")}});
}

}  // namespace vestrel::bind::lexor
