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

using Init = std::function<void(nb::handle self, const Args&)>;

// The constructor: checked as a bound call (the counts in messages include self). Made
// here rather than with make_init, whose signing of the nanobind method fails (a nanobind
// method takes no __text_signature__); the class carries the signature.
nb::object init_method(const std::vector<Param>& params, Init body) {
    const Signature& sig = declare({"__init__", params, true});
    return nb::cpp_function(
        [&sig, body](nb::handle self, nb::args args, nb::kwargs kwargs) {
            body(self, Args(sig, parse(sig, args, kwargs)));
        },
        nb::is_method(), nb::name("__init__"));
}

// A class made by type(name, (object,), namespace) with the constructor `init` over
// `params`; the class's own signature is the constructor's.
nb::object make_class(nb::module_& m, const char* name, const char* doc,
                      const std::vector<Param>& params, Init init) {
    nb::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__doc__"] = nb::str(doc);
    ns["__init__"] = init_method(params, std::move(init));
    ns["__signature__"] = inspect_signature(params);
    nb::object cls = type_of(&PyType_Type)(name, nb::make_tuple(type_of(&PyBaseObject_Type)), ns);
    m.attr(name) = cls;
    return cls;
}

// A constructor that stores every parameter under its own name, in declaration order.
Init store_all(const std::vector<Param>& params) {
    return [params](nb::handle self, const Args& a) {
        for (const Param& p : params) nb::setattr(self, p.name, a[p.name]);
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
        [](nb::handle self, const Args& a) {
            nb::object filename = import("os").attr("path").attr("basename")(a["filepath"]);
            nb::setattr(self, "filepath", a["filepath"]);
            nb::setattr(self, "filename", filename);
            for (const char* name : {"brightness", "contrast", "saturation", "color_tone"})
                nb::setattr(self, name, a[name]);
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
