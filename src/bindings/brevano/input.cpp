// The generation input model: three plain classes with explicit constructors.
//
// Each class is made by the host's `type(...)`, so instances are ordinary objects with a
// __dict__ (attributes in the order the constructor sets them) and the class has no base
// besides `object`. The constructors check and convert every argument first and store
// afterwards, so a refused call leaves nothing behind.
#include "bindings/brevano/parts.hpp"
#include "bindings/brevano/settings.hpp"
#include "bindings/common/pyutil.hpp"

namespace vestrel::bind::brevano {

namespace {

// A constructor that stores every parameter under its own name, in declaration order.
Body store_all(const std::vector<Param>& params) {
    return [params](const Args& a) {
        for (const Param& p : params) nb::setattr(a["self"], p.name, a[p.name]);
        return nb::none();
    };
}

}  // namespace

void register_input(nb::module_& m) {
    nb::object s = str_type(), f = float_type();
    nb::object video = make_class(
        m, "BrevanoBackgroundVideo",
        "The background video of one scene with its colour settings.\n\n"
        "filepath is the local video file and filename its last path component; brightness,\n"
        "contrast and saturation are stored as floats, color_tone unchanged.",
        {arg("filepath", Kind::Str) | s, arg("brightness", Kind::Float) | f,
         arg("contrast", Kind::Float) | f, arg("saturation", Kind::Float) | f,
         opt("color_tone", Kind::Any, nb::make_tuple(100, 100, 100))},
        [](const Args& a) {
            nb::handle self = a["self"];
            nb::object filename = import("os").attr("path").attr("basename")(a["filepath"]);
            nb::setattr(self, "filepath", a["filepath"]);
            nb::setattr(self, "filename", filename);
            for (const char* name : {"brightness", "contrast", "saturation", "color_tone"})
                nb::setattr(self, name, a[name]);
            return nb::none();
        });

    const std::vector<Param> scene_params{arg("caption", Kind::Str) | s, arg("bg_video") | video};
    nb::object scene = make_class(
        m, "BrevanoScene",
        "One scene: its script text (commands in angle brackets included) and its background "
        "video.",
        scene_params, store_all(scene_params));

    // The resolved media first, then the settings shared with the router's request.
    const std::vector<Param> params = input_params(
        {arg("scenes", Kind::List) | list_of(scene),
         req_none("bg_music_filepath", Kind::Str) | or_none(s),
         arg("voice_output_filepath", Kind::Str) | s});
    make_class(m, "BrevanoInput",
               "Everything one generation needs, resolved to file paths and plain values: the\n"
               "scenes plus the voice, transcription, caption, silence and Resolve settings.",
               params, store_all(params));
}

}  // namespace vestrel::bind::brevano
