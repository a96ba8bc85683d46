// The generation input model: three plain classes with explicit constructors.
//
// Each class is made by the host's `type(...)`, so instances are ordinary objects with a
// __dict__ (attributes in the order the constructor sets them) and the class has no base
// besides `object`. The constructors check and convert every argument first and store
// afterwards, so a refused call leaves nothing behind.
#include <vector>

#include "bindings/brevano/parts.hpp"
#include "bindings/common/args.hpp"
#include "bindings/common/pyutil.hpp"

namespace vestrel::brevano {

namespace {

using namespace vestrel::py;

nb::handle builtin(PyTypeObject* t) { return nb::handle(reinterpret_cast<PyObject*>(t)); }

// inspect.Signature of a constructor (without self): every parameter positional-or-keyword,
// with its annotation (an invalid handle: none) and its declared default.
nb::object constructor_signature(const Signature& sig, const std::vector<nb::object>& annotations) {
    nb::object inspect = import("inspect");
    nb::object Parameter = inspect.attr("Parameter");
    nb::list params;
    for (size_t i = 0; i < sig.params.size(); ++i) {
        const Param& p = sig.params[i];
        nb::dict kw;
        if (annotations[i].is_valid()) kw["annotation"] = annotations[i];
        if (!p.required) kw["default"] = p.default_value;
        params.append(Parameter(p.name, Parameter.attr("POSITIONAL_OR_KEYWORD"), **kw));
    }
    return inspect.attr("Signature")(params);
}

// A class made by type(name, (object,), namespace) with the given constructor.
nb::object make_plain_class(nb::module_& m, const char* name, const char* doc, nb::object init,
                            nb::object signature) {
    nb::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__doc__"] = nb::str(doc);
    ns["__init__"] = std::move(init);
    ns["__signature__"] = std::move(signature);
    nb::object cls =
        builtin(&PyType_Type)(nb::str(name), nb::make_tuple(builtin(&PyBaseObject_Type)), ns);
    m.attr(name) = cls;
    return cls;
}

// Stores each value as the attribute of its parameter's name, in declaration order.
void store(nb::handle self, const Signature& sig, const std::vector<nb::object>& values) {
    for (size_t i = 0; i < values.size(); ++i) nb::setattr(self, sig.params[i].name, values[i]);
}

const Signature& video_signature() {
    static const Signature& sig =
        declare({"__init__",
                 {arg("filepath", Kind::Str), arg("brightness", Kind::Float),
                  arg("contrast", Kind::Float), arg("saturation", Kind::Float),
                  opt("color_tone", Kind::Any, nb::make_tuple(100, 100, 100))},
                 true});
    return sig;
}

const Signature& scene_signature() {
    static const Signature& sig =
        declare({"__init__", {arg("caption", Kind::Str), arg("bg_video")}, true});
    return sig;
}

const Signature& input_signature() {
    static const Signature& sig = declare(
        {"__init__",
         {arg("scenes", Kind::List), req_none("bg_music_filepath", Kind::Str),
          arg("voice_output_filepath", Kind::Str), req_none("tts_engine", Kind::Str),
          opt_none("edge_voice_name", Kind::Str), opt_none("eleven_voice_id", Kind::Str),
          opt_none("eleven_api_key", Kind::Str),
          opt("davinci_project_name", Kind::Str, nb::str("tolvane_2026")),
          opt_none("davinci_template_path", Kind::Str), opt_none("pexels_api_key", Kind::Str),
          opt("whisper_model", Kind::Str, nb::str("medium")),
          opt("language", Kind::Str, nb::str("de")),
          opt("chars_per_line", Kind::IntTrunc, nb::int_(25)),
          opt("remove_silence", Kind::Bool, nb::bool_(false)),
          opt("min_silence_duration", Kind::Float, nb::float_(0.3))},
         true});
    return sig;
}

void video_init(nb::handle self, nb::args args, nb::kwargs kwargs) {
    const Signature& sig = video_signature();
    auto v = parse(sig, args, kwargs);
    nb::object filename = import("os").attr("path").attr("basename")(v[0]);
    nb::setattr(self, "filepath", v[0]);
    nb::setattr(self, "filename", filename);
    nb::setattr(self, "brightness", v[1]);
    nb::setattr(self, "contrast", v[2]);
    nb::setattr(self, "saturation", v[3]);
    nb::setattr(self, "color_tone", v[4]);
}

void scene_init(nb::handle self, nb::args args, nb::kwargs kwargs) {
    const Signature& sig = scene_signature();
    store(self, sig, parse(sig, args, kwargs));
}

void input_init(nb::handle self, nb::args args, nb::kwargs kwargs) {
    const Signature& sig = input_signature();
    store(self, sig, parse(sig, args, kwargs));
}

template <void (*Init)(nb::handle, nb::args, nb::kwargs)>
nb::object init_method(const char* text_signature) {
    return nb::cpp_function(
        [](nb::handle self, nb::args args, nb::kwargs kwargs) { Init(self, args, kwargs); },
        nb::is_method(), nb::name("__init__"), nb::sig(text_signature));
}

}  // namespace

void register_input(nb::module_& m) {
    nb::handle str_t = builtin(&PyUnicode_Type), float_t = builtin(&PyFloat_Type);
    nb::object none;  // no annotation
    nb::object str_or_none = nb::steal(PyNumber_Or(str_t.ptr(), Py_None));
    if (!str_or_none.is_valid()) throw nb::python_error();
    nb::object s = nb::borrow(str_t), f = nb::borrow(float_t), o = str_or_none;

    nb::object video = make_plain_class(
        m, "BrevanoBackgroundVideo",
        "The background video of one scene with its colour settings.\n\n"
        "filepath is the local video file and filename its last path component; brightness,\n"
        "contrast and saturation are stored as floats, color_tone unchanged.",
        init_method<video_init>("def __init__(self, filepath: str, brightness: float, "
                                "contrast: float, saturation: float, "
                                "color_tone=(100, 100, 100)) -> None"),
        constructor_signature(video_signature(), {s, f, f, f, none}));

    nb::object scene = make_plain_class(
        m, "BrevanoScene",
        "One scene: its script text (commands in angle brackets included) and its background "
        "video.",
        init_method<scene_init>(
            "def __init__(self, caption: str, bg_video: BrevanoBackgroundVideo) -> None"),
        constructor_signature(scene_signature(), {s, video}));

    nb::object scene_list =
        import("types").attr("GenericAlias")(builtin(&PyList_Type), nb::make_tuple(scene));
    make_plain_class(
        m, "BrevanoInput",
        "Everything one generation needs, resolved to file paths and plain values: the\n"
        "scenes plus the voice, transcription, caption, silence and Resolve settings.",
        init_method<input_init>(
            "def __init__(self, scenes: list[BrevanoScene], bg_music_filepath: str | None, "
            "voice_output_filepath: str, tts_engine: str | None, "
            "edge_voice_name: str | None = None, eleven_voice_id: str | None = None, "
            "eleven_api_key: str | None = None, davinci_project_name: str = 'tolvane_2026', "
            "davinci_template_path: str | None = None, pexels_api_key: str | None = None, "
            "whisper_model: str = 'medium', language: str = 'de', chars_per_line: int = 25, "
            "remove_silence: bool = False, min_silence_duration: float = 0.3) -> None"),
        constructor_signature(input_signature(), {scene_list, o, s, o, o, o, o, s, o, o, s, s,
                                                  nb::borrow(builtin(&PyLong_Type)),
                                                  nb::borrow(builtin(&PyBool_Type)), f}));
}

}  // namespace vestrel::brevano
