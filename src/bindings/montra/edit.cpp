// Scene and Edit: the plan of one short. Both are plain classes of the host (made with
// type(), instances with a __dict__), so their attributes are ordinary mutable attributes that
// the pipeline and the assembly read and write; the times and fades come from the core.
#include <nanobind/nanobind.h>

#include <vector>

#include "bindings/common/args.hpp"
#include "bindings/common/function.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/common/values.hpp"
#include "bindings/montra/parts.hpp"
#include "bindings/montra/signature.hpp"
#include "core/edit.hpp"

namespace vestrel::montra {

namespace {

using py::arg;
using py::declare;
using py::Kind;
using py::opt;
using py::parse;
using py::req_none;
using py::Signature;
using py::as_float;
using py::to_py;

std::string fixed2(double x) {
    nb::object s = nb::steal(PyObject_Format(to_py(x).ptr(), nb::str(".2f").ptr()));
    if (!s.is_valid()) throw nb::python_error();
    return py::utf8(s);
}

nb::object subtract(nb::handle a, nb::handle b) {
    nb::object r = nb::steal(PyNumber_Subtract(a.ptr(), b.ptr()));
    if (!r.is_valid()) throw nb::python_error();
    return r;
}

const Signature& scene_signature() {
    static const Signature& sig = declare({"__init__",
                                           {arg("captions"), arg("background", Kind::Str),
                                            arg("brightness"), arg("contrast"),
                                            arg("saturation"),
                                            opt("color_tone", Kind::Any,
                                                nb::make_tuple(100, 100, 100))},
                                           true});
    return sig;
}

const Signature& edit_signature() {
    static const Signature& sig = declare(
        {"__init__", {arg("speech", Kind::Str), req_none("bg_music", Kind::Str)}, true});
    return sig;
}

void scene_init(nb::handle self, nb::args args, nb::kwargs kwargs) {
    auto v = parse(scene_signature(), args, kwargs);
    self.attr("background") = v[1];
    self.attr("brightness") = v[2];
    self.attr("contrast") = v[3];
    self.attr("saturation") = v[4];
    self.attr("color_tone") = v[5];
    self.attr("captions") = v[0];
    self.attr("start") = to_py(0.0);
    self.attr("end") = to_py(0.0);
    self.attr("fade_in") = to_py(0.0);
    self.attr("fade_out") = to_py(0.0);
}

void edit_init(nb::handle self, nb::args args, nb::kwargs kwargs) {
    auto v = parse(edit_signature(), args, kwargs);
    self.attr("scenes") = nb::list();
    self.attr("speech") = v[0];
    self.attr("bg_music") = v[1];
}

nb::object edit_duration(nb::handle self) {
    // The largest end over all scenes, with the host's max() (and its error for no scenes).
    nb::list ends;
    for (nb::handle scene : self.attr("scenes")) ends.append(scene.attr("end"));
    return py::import("builtins").attr("max")(ends);
}

const Signature& set_scenes_duration_signature() {
    static const Signature& sig = declare({"set_scenes_duration", {}, true});
    return sig;
}

void set_scenes_duration(nb::handle self, nb::args args, nb::kwargs kwargs) {
    parse(set_scenes_duration_signature(), args, kwargs);

    // Step 1 reads each scene's caption span and stores it as the scene's provisional times.
    std::vector<nb::object> scenes;
    std::vector<edit::SceneTimes> times;
    for (nb::handle scene : self.attr("scenes")) {
        nb::object captions = scene.attr("captions");
        nb::object start = captions.attr("start");
        scene.attr("start") = start;
        nb::object end = captions.attr("end");
        scene.attr("end") = end;
        edit::SceneTimes t;
        t.start = as_float(start);
        t.end = as_float(end);
        times.push_back(t);
        scenes.push_back(nb::borrow(scene));
    }
    if (scenes.empty()) py::raise(PyExc_IndexError, "list index out of range");

    edit::set_scenes_duration(times);

    for (size_t i = 0; i < scenes.size(); ++i) {
        const edit::SceneTimes& t = times[i];
        scenes[i].attr("start") = to_py(t.start);
        scenes[i].attr("end") = to_py(t.end);
        if (t.fade_in_set) scenes[i].attr("fade_in") = to_py(t.fade_in);
        if (t.fade_out_set) scenes[i].attr("fade_out") = to_py(t.fade_out);
    }
    for (size_t i = 0; i < scenes.size(); ++i)
        py::print("[montra] Scene " + std::to_string(i) + ": " + fixed2(times[i].start) +
                  " \u2192 " + fixed2(times[i].end));
}

// A plain class of the host: type(name, (object,), namespace).
nb::object make_class(nb::module_& m, const char* name, const char* doc, nb::dict ns) {
    ns["__module__"] = m.attr("__name__");
    ns["__doc__"] = nb::str(doc);
    nb::object builtins = py::import("builtins");
    nb::object cls = builtins.attr("type")(name, nb::make_tuple(builtins.attr("object")), ns);
    m.attr(name) = cls;
    return cls;
}

nb::object property(nb::object getter) { return py::import("builtins").attr("property")(getter); }

}  // namespace

void register_edit(nb::module_& m) {
    m.doc() =
        "montra\n"
        "Workflow-level video editing logic using DaVinci Resolve.\n"
        "Relies on lumora for all Resolve API interactions.";

    nb::dict scene_ns;
    scene_ns["__init__"] = nb::cpp_function(
        &scene_init, nb::is_method(), nb::name("__init__"),
        nb::sig("def __init__(self, captions, background: str, brightness, contrast, "
                "saturation, color_tone=(100, 100, 100)) -> None"));
    scene_ns["__signature__"] = inspect_signature(scene_signature());
    scene_ns["duration"] = property(nb::cpp_function(
        [](nb::handle self) { return subtract(self.attr("end"), self.attr("start")); },
        nb::is_method(), nb::name("duration"), "Scene length in seconds (end - start)."));
    make_class(m, "Scene",
               "One stretch of the voice-over: a background video and its caption lines.",
               scene_ns);

    nb::dict edit_ns;
    edit_ns["__init__"] =
        nb::cpp_function(&edit_init, nb::is_method(), nb::name("__init__"),
                         nb::sig("def __init__(self, speech: str, bg_music: str | None) -> None"));
    edit_ns["__signature__"] = inspect_signature(edit_signature());
    edit_ns["duration"] = property(nb::cpp_function(&edit_duration, nb::is_method(),
                                                    nb::name("duration"),
                                                    "The largest scene end, in seconds."));
    // Wrapped so that __doc__ is the docstring alone, without nanobind's signature line.
    edit_ns["set_scenes_duration"] = py::documented(
        nb::cpp_function(&set_scenes_duration, nb::name("set_scenes_duration")),
        "set_scenes_duration",
        nb::str("Calculates start/end times for scenes based on captions,\n"
                "applying smart pauses and fade-in/out."),
        "Edit", m.attr("__name__"));
    edit_ns["set_scenes_duration"].attr("__signature__") =
        inspect_signature(set_scenes_duration_signature(), true);
    make_class(m, "Edit", "The plan of one short: voice-over, optional music and scenes.",
               edit_ns);
}

}  // namespace vestrel::montra
