// The aligner: availability of stable-whisper, the one cached model and the alignment run.
#include "bindings/common/args.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/lexor/parts.hpp"

namespace vestrel::lexor {

namespace {

using namespace vestrel::py;

const char* const kNotInstalled =
    "stable-whisper is not installed. Install it with: pip install vestrel[transcription]";

// The model name that selects the aligner of the core instead of Whisper.
const char* const kBuiltin = "builtin";

// Prints prefix + text + suffix; the text stays a Python str (any code point prints).
void log(const char* prefix, nb::handle text, const char* suffix) {
    py::print(nb::handle(nb::str("{}{}{}").format(prefix, text, suffix)));
}

bool truth(nb::handle value) {
    int t = PyObject_IsTrue(value.ptr());
    if (t < 0) throw nb::python_error();
    return t != 0;
}

nb::object get_whisper_model_impl(nb::handle model_name) {
    nb::handle m = self_module();
    if (!truth(m.attr("STABLE_WHISPER_AVAILABLE"))) raise(PyExc_ImportError, kNotInstalled);
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

nb::object generate_transcription_impl(nb::handle audio_filepath, nb::handle reference_text,
                                       nb::handle whisper_model, nb::handle language) {
    nb::handle m = self_module();
    // "builtin" is our own aligner: no model to load, the cache stays as it is.
    if (PyUnicode_CompareWithASCIIString(whisper_model.ptr(), kBuiltin) == 0) {
        log("[lexor] Aligning transcription with language='", language, "'");
        return builtin_transcription(audio_filepath, reference_text, language);
    }
    nb::object model = m.attr("get_whisper_model")(whisper_model);
    log("[lexor] Aligning transcription with language='", language, "'");
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

    m.def(
        "get_whisper_model",
        [](nb::args args, nb::kwargs kwargs) {
            static const Signature& sig = declare(
                {"get_whisper_model", {opt("model_name", Kind::Str, nb::str("medium"))}});
            auto v = parse(sig, args, kwargs);
            return get_whisper_model_impl(v[0]);
        },
        nb::sig("def get_whisper_model(model_name: str = 'medium')"),
        "Return the cached Whisper model, loading it when none is loaded or another name is "
        "asked for.");

    m.def(
        "generate_transcription",
        [](nb::args args, nb::kwargs kwargs) {
            static const Signature& sig =
                declare({"generate_transcription",
                         {arg("audio_filepath", Kind::Str), arg("reference_text", Kind::Str),
                          opt("whisper_model", Kind::Str, nb::str("medium")),
                          opt("language", Kind::Str, nb::str("de"))}});
            auto v = parse(sig, args, kwargs);
            return generate_transcription_impl(v[0], v[1], v[2], v[3]);
        },
        nb::sig("def generate_transcription(audio_filepath: str, reference_text: str, "
                "whisper_model: str = 'medium', language: str = 'de') -> Transcription"),
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
        "    Transcription object with segments and word-level timestamps");
}

}  // namespace vestrel::lexor
