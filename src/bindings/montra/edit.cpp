// Scene and Edit: the plan of one short. Both are plain classes of the host (made with
// type(), instances with a __dict__), so their attributes are ordinary mutable attributes that
// the pipeline and the assembly read and write; the times and fades come from the core.
#include <vector>

#include "bindings/common/pyutil.hpp"
#include "bindings/common/values.hpp"
#include "bindings/montra/parts.hpp"
#include "core/edit.hpp"

namespace vestrel::bind::montra {

namespace {

nb::object scene_init(const Args& a) {
    nb::handle self = a["self"];
    for (const char* name : {"background", "brightness", "contrast", "saturation", "color_tone",
                             "captions"})
        self.attr(name) = a[name];
    for (const char* name : {"start", "end", "fade_in", "fade_out"}) self.attr(name) = to_py(0.0);
    return nb::none();
}

nb::object edit_init(const Args& a) {
    nb::handle self = a["self"];
    self.attr("scenes") = nb::list();
    self.attr("speech") = a["speech"];
    self.attr("bg_music") = a["bg_music"];
    return nb::none();
}

nb::object edit_duration(nb::handle self) {
    // The largest end over all scenes, with the host's max() (and its error for no scenes).
    nb::list ends;
    for (nb::handle scene : self.attr("scenes")) ends.append(scene.attr("end"));
    return import("builtins").attr("max")(ends);
}

nb::object set_scenes_duration(const Args& a) {
    nb::handle self = a["self"];

    // Step 1 reads each scene's caption span and stores it as the scene's provisional times.
    std::vector<nb::object> scenes;
    std::vector<edit::SceneTimes> times;
    for (nb::handle scene : self.attr("scenes")) {
        nb::object captions = scene.attr("captions");
        nb::object start = captions.attr("start");
        scene.attr("start") = start;
        nb::object end = captions.attr("end");
        scene.attr("end") = end;
        times.push_back({.start = as_float(start), .end = as_float(end)});
        scenes.push_back(nb::borrow(scene));
    }
    if (scenes.empty()) raise(PyExc_IndexError, "list index out of range");

    edit::set_scenes_duration(times);

    for (size_t i = 0; i < scenes.size(); ++i) {
        const edit::SceneTimes& t = times[i];
        scenes[i].attr("start") = to_py(t.start);
        scenes[i].attr("end") = to_py(t.end);
        if (t.fade_in_set) scenes[i].attr("fade_in") = to_py(t.fade_in);
        if (t.fade_out_set) scenes[i].attr("fade_out") = to_py(t.fade_out);
    }
    for (size_t i = 0; i < scenes.size(); ++i) print("[montra] " + edit::scene_row(i, times[i]));
    return nb::none();
}

// A read-only property whose getter is a method of the instance.
nb::object property(nb::object (*getter)(nb::handle), const char* doc) {
    return import("builtins").attr("property")(
        nb::cpp_function(getter, nb::is_method(), nb::name("duration"), doc));
}

}  // namespace

void register_edit(nb::module_& m) {
    m.doc() =
        "montra\n"
        "Workflow-level video editing logic using DaVinci Resolve.\n"
        "Relies on lumora for all Resolve API interactions.";

    // The constructors' parameters are shown without annotations, as the classes always
    // showed them.
    const std::vector<Param> scene_params{
        arg("captions"),   arg("background", Kind::Str), arg("brightness"), arg("contrast"),
        arg("saturation"), opt("color_tone", Kind::Any, nb::make_tuple(100, 100, 100))};
    nb::dict scene_ns;
    scene_ns["duration"] = property(
        [](nb::handle self) {
            nb::object end = self.attr("end");
            return end - nb::object(self.attr("start"));
        },
        "Scene length in seconds (end - start).");
    make_class(m, "Scene",
               "One stretch of the voice-over: a background video and its caption lines.",
               scene_params, scene_init, scene_ns);

    nb::dict edit_ns;
    edit_ns["duration"] = property(&edit_duration, "The largest scene end, in seconds.");
    def_methods(m, edit_ns, "Edit",
                {{"set_scenes_duration", {arg("self")}, set_scenes_duration,
                  "Calculates start/end times for scenes based on captions,\n"
                  "applying smart pauses and fade-in/out."}});
    make_class(m, "Edit", "The plan of one short: voice-over, optional music and scenes.",
               {arg("speech", Kind::Str), req_none("bg_music", Kind::Str)}, edit_init, edit_ns);
}

}  // namespace vestrel::bind::montra
