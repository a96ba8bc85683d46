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

nb::object make_plain_class(nb::module_& m, const char* name, const char* doc, nb::object init) {
    nb::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__doc__"] = nb::str(doc);
    ns["__init__"] = std::move(init);
    nb::handle type_type(reinterpret_cast<PyObject*>(&PyType_Type));
    nb::handle object_type(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    nb::object cls = type_type(nb::str(name), nb::make_tuple(object_type), ns);
    m.attr(name) = cls;
    return cls;
}

// Stores values[i] as attribute names[i], in order.
void store(nb::handle self, const Signature& sig, const std::vector<nb::object>& values) {
    for (size_t i = 0; i < values.size(); ++i) nb::setattr(self, sig.params[i].name, values[i]);
}

void video_init(nb::handle self, nb::args args, nb::kwargs kwargs) {
    static const Signature& sig =
        declare({"__init__",
                 {arg("filepath", Kind::Str), arg("brightness", Kind::Float),
                  arg("contrast", Kind::Float), arg("saturation", Kind::Float),
                  opt("color_tone", Kind::Any, nb::make_tuple(100, 100, 100))},
                 true});
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
    static const Signature& sig =
        declare({"__init__", {arg("caption", Kind::Str), arg("bg_video")}, true});
    store(self, sig, parse(sig, args, kwargs));
}

void input_init(nb::handle self, nb::args args, nb::kwargs kwargs) {
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
    store(self, sig, parse(sig, args, kwargs));
}

template <void (*Init)(nb::handle, nb::args, nb::kwargs)>
nb::object init_method() {
    return nb::cpp_function(
        [](nb::handle self, nb::args args, nb::kwargs kwargs) { Init(self, args, kwargs); },
        nb::is_method(), nb::name("__init__"));
}

}  // namespace

void register_input(nb::module_& m) {
    make_plain_class(m, "BrevanoBackgroundVideo",
                     "The background video of one scene with its colour settings.\n\n"
                     "filepath is the local video file; brightness, contrast and saturation "
                     "are stored as floats, color_tone unchanged.",
                     init_method<video_init>());
    make_plain_class(m, "BrevanoScene",
                     "One scene: its script text (commands in angle brackets included) and "
                     "its background video.",
                     init_method<scene_init>());
    make_plain_class(m, "BrevanoInput",
                     "Everything one generation needs, resolved to file paths and plain "
                     "values:\nthe scenes plus the voice, transcription, caption, silence and "
                     "Resolve settings.",
                     init_method<input_init>());
}

}  // namespace vestrel::brevano
