// Media pool, timelines, titles and colour.
#include "bindings/lumora/parts.hpp"
#include "core/frames.hpp"

namespace vestrel::bind::lumora {

namespace {

nb::object basename(nb::handle path) {
    return import("os").attr("path").attr("basename")(path);
}

// A frame rate as Resolve answers it: a number or numeric text. Text with a suffix
// ("29.97 DF", Resolve's drop-frame rates) is read by its leading number.
double frame_rate(nb::handle value) {
    if (PyObject* f = PyNumber_Float(value.ptr())) return PyFloat_AsDouble(nb::steal(f).ptr());
    nb::python_error err;
    if (PyUnicode_Check(value.ptr()) && err.matches(PyExc_ValueError))
        if (auto lead = frames::leading_number(utf8(value))) return *lead;
    err.restore();
    throw nb::python_error();
}

frames::Placement placement(double start_time, double duration, double timeline_fps,
                            double clip_fps, int64_t timeline_start) {
    try {
        return frames::place(start_time, duration, timeline_fps, clip_fps, timeline_start);
    } catch (const frames::FrameError& e) {
        // NaN and infinity leave as the translator's ValueError and OverflowError; a zero
        // frame rate raises the host's own division error with its own text.
        if (e.kind != frames::FrameError::Kind::DivisionByZero) throw;
        nb::steal(PyNumber_TrueDivide(nb::int_(0).ptr(), nb::float_(timeline_fps).ptr()));
        throw nb::python_error();
    }
}

nb::object get_clip_by_name(const Args& a) {
    nb::object clips = a["media_pool"].attr("GetRootFolder")().attr("GetClipList")();
    for (nb::handle clip : clips)
        if (clip.attr("GetName")().equal(a["name"]) ||
            clip.attr("GetClipProperty")("Clip Name").equal(a["name"]))
            return nb::borrow(clip);
    return nb::none();
}

// The first tool of the list whose "TOOLS_Name" is `name`; StopIteration when none is.
nb::object tool_named(nb::handle tools, const char* name) {
    nb::str wanted(name);
    for (nb::handle tool : tools)
        if (tool.attr("GetAttrs")()["TOOLS_Name"].equal(wanted)) return nb::borrow(tool);
    PyErr_SetNone(PyExc_StopIteration);
    throw nb::python_error();
}

nb::object percent(nb::handle value) {
    return checked(PyNumber_TrueDivide(value.ptr(), nb::float_(100.0).ptr()));
}

nb::object add_clip(const Args& a) {
    nb::handle clip_name = a["clip_name"];
    const double start_time = a.number("start_time");
    const double duration = a.number("duration");

    nb::object project = current_project();
    nb::object media_pool = project.attr("GetMediaPool")();
    nb::object clip = this_module.attr("_get_clip_by_name")(media_pool, clip_name);
    if (!truthy(clip)) fail("Clip '" + utf8(clip_name) + "' not found in Media Pool");

    nb::object timeline = project.attr("GetCurrentTimeline")();
    if (!truthy(timeline)) timeline = media_pool.attr("CreateEmptyTimeline")("Timeline 1");

    const double timeline_fps = frame_rate(timeline.attr("GetSetting")("timelineFrameRate"));
    const double clip_fps = frame_rate(clip.attr("GetClipProperty")("FPS"));
    const auto timeline_start =
        nb::cast<int64_t>(checked(PyNumber_Long(timeline.attr("GetStartFrame")().ptr())));
    const frames::Placement p =
        placement(start_time, duration, timeline_fps, clip_fps, timeline_start);

    nb::dict record;
    record["mediaPoolItem"] = clip;
    record["startFrame"] = 0;
    record["endFrame"] = p.last_clip_frame;
    record["recordFrame"] = p.record_frame;
    record["trackIndex"] = a["track_index"];
    record["mediaType"] = !a.flag("video") ? 2 : (!a.flag("audio") ? 1 : 0);
    nb::list records;
    records.append(record);
    media_pool.attr("AppendToTimeline")(records);

    log("Added clip '" + utf8(clip_name) + "' @ " + float_str(start_time) + "s");
    return nb::none();
}

nb::object import_clip(const Args& a) {
    nb::list paths;
    paths.append(a["filepath"]);
    nb::object result = this_module.attr("get_media_pool")().attr("ImportMedia")(paths);
    if (!truthy(result)) fail("Could not import clip '" + a.text("filepath") + "'");
    nb::object clip = result[0];
    const bool renamed = a.flag("clip_name");
    if (renamed) clip.attr("SetClipProperty")("Clip Name", a["clip_name"]);
    log("Imported clip '" + (renamed ? a.text("clip_name") : utf8(basename(a["filepath"]))) +
        "'");
    return clip;
}

nb::object set_current_timeline(const Args& a) {
    nb::handle wanted = a["timeline_name"];
    nb::object project = current_project();
    const auto n =
        nb::cast<int64_t>(checked(PyNumber_Index(project.attr("GetTimelineCount")().ptr())));
    for (int64_t i = 1; i <= n; ++i) {
        nb::object tl = project.attr("GetTimelineByIndex")(i);
        if (tl.attr("GetName")().equal(wanted)) {
            project.attr("SetCurrentTimeline")(tl);
            log("Active timeline: " + utf8(wanted));
            return nb::none();
        }
    }
    fail("Timeline '" + utf8(wanted) + "' not found");
}

nb::object import_and_add_to_timeline(const Args& a) {
    this_module.attr("import_clip")(a["filepath"]);
    // The clip is found by the file's base name, its name in the media pool.
    this_module.attr("add_clip_to_timeline")(
        basename(a["filepath"]), a["start_time"], a["duration"], nb::arg("video") = a["video"],
        nb::arg("audio") = a["audio"], nb::arg("track_index") = a["track_index"]);
    return nb::none();
}

nb::object import_fusion_comp(const Args& a) {
    nb::object timeline = current_project().attr("GetCurrentTimeline")();
    nb::object items = checked(PySequence_List(
        timeline.attr("GetItemListInTrack")(a["track_type"], a["track_index"]).ptr()));
    // The latest item of that name: walk from the end of the track.
    for (Py_ssize_t i = PyList_GET_SIZE(items.ptr()) - 1; i >= 0; --i) {
        nb::handle item = PyList_GET_ITEM(items.ptr(), i);
        if (!item.attr("GetName")().equal(a["clip_name"])) continue;
        if (!truthy(item.attr("ImportFusionComp")(a["comp_file_path"])))
            fail("Fusion comp import failed");
        log("Imported fusion comp into '" + a.text("clip_name") + "'");
        return nb::none();
    }
    fail("Clip '" + a.text("clip_name") + "' not found on timeline");
}

nb::object generate_text_on_timeline(const Args& a) {
    this_module.attr("add_clip_to_timeline")(a["template_name"], a["start_time"], a["duration"],
                                             nb::arg("track_index") = a["track_index"]);
    nb::object timeline = current_project().attr("GetCurrentTimeline")();
    // The title just placed is taken to be the last item of its track.
    nb::object item = timeline.attr("GetItemListInTrack")("video", a["track_index"])[-1];
    nb::object tool = item.attr("GetFusionCompByIndex")(1).attr("FindTool")("Template");
    tool.attr("SetInput")("StyledText", a["text"], 0);
    log("Generated text '" + a.text("text") + "'");
    return nb::none();
}

nb::object adjust_clip_color(const Args& a) {
    nb::object timeline = current_project().attr("GetCurrentTimeline")();
    nb::object found = nb::none();
    for (nb::handle item : timeline.attr("GetItemListInTrack")("video", a["track_index"]))
        if (item.attr("GetName")().equal(a["clip_name"])) {
            found = nb::borrow(item);
            break;
        }
    if (found.is_none()) fail("Clip '" + a.text("clip_name") + "' not found");

    nb::object comp = found.attr("GetFusionCompByIndex")(1);
    nb::object tools = comp.attr("GetToolList")().attr("values")();
    // Both tools are found before anything is set.
    nb::object bc = tool_named(tools, "BrightnessContrast1");
    nb::object cg = tool_named(tools, "ColorGain1");

    bc.attr("SetInput")("Gain", percent(a["brightness"]));
    nb::object offset = checked(PyNumber_Subtract(a["contrast"].ptr(), nb::int_(100).ptr()));
    bc.attr("SetInput")("Contrast", percent(offset));
    bc.attr("SetInput")("Saturation", percent(a["saturation"]));
    nb::handle tone = a["color_tone"];
    cg.attr("SetInput")("GainRed", percent(tone[0]));
    cg.attr("SetInput")("GainGreen", percent(tone[1]));
    cg.attr("SetInput")("GainBlue", percent(tone[2]));
    log("Adjusted color for '" + a.text("clip_name") + "'");
    return nb::none();
}

}  // namespace

void register_media(nb::module_& m) {
    // The parameters of placing a clip, in order after the clip and its times.
    auto video = kwonly(opt("video", Kind::Bool, nb::bool_(true)));
    auto audio = kwonly(opt("audio", Kind::Bool, nb::bool_(true)));
    auto track = [](int n) { return kwonly(opt("track_index", Kind::Int, nb::int_(n))); };
    auto start = arg("start_time", Kind::Float), duration = arg("duration", Kind::Float);
    auto percent_param = [](const char* name) { return opt(name, Kind::Any, nb::int_(100)); };

    def(m,
        {{"import_clip", {arg("filepath", Kind::Str), opt_none("clip_name", Kind::Str)},
          import_clip,
          "Import a file into the media pool, optionally under a clip name; returns the clip."},
         {"_get_clip_by_name", {arg("media_pool"), arg("name", Kind::Str)},
          get_clip_by_name,
          "The first clip of the media pool's root folder with that name or clip name, or None."},
         {"set_current_timeline", {arg("timeline_name", Kind::Str)}, set_current_timeline,
          "Make the project's timeline of that name the current one."},
         {"import_timeline", {arg("filepath", Kind::Str), arg("name", Kind::Str)},
          [](const Args& a) {
              nb::dict options;
              options["timelineName"] = a["name"];
              this_module.attr("get_media_pool")().attr("ImportTimelineFromFile")(a["filepath"],
                                                                                   options);
              log("Imported timeline '" + a.text("name") + "'");
              return nb::none();
          },
          "Import a timeline file into the media pool under a name."},
         {"add_clip_to_timeline",
          {arg("clip_name", Kind::Str), start, duration, video, audio, track(1)}, add_clip,
          "Place a media-pool clip on the current timeline at start_time for duration seconds."},
         {"import_and_add_to_timeline",
          {arg("filepath", Kind::Str), start, duration, video, audio, track(1)},
          import_and_add_to_timeline, "Import a file and place it on the current timeline."},
         {"import_fusion_comp",
          {arg("clip_name", Kind::Str), arg("comp_file_path", Kind::Str), track(1),
           kwonly(opt("track_type", Kind::Str, nb::str("video")))},
          import_fusion_comp,
          "Import a Fusion composition into the last timeline item of that name."},
         {"generate_text_on_timeline",
          {arg("template_name", Kind::Str), arg("text", Kind::Str), start, duration, track(3)},
          generate_text_on_timeline,
          "Place a title clip and write the text into its Fusion \"Template\" tool."},
         {"adjust_clip_color",
          {arg("clip_name", Kind::Str), percent_param("brightness"), percent_param("contrast"),
           percent_param("saturation"),
           opt("color_tone", Kind::Tuple, nb::make_tuple(100, 100, 100)), track(1)},
          adjust_clip_color,
          "Set brightness, contrast, saturation and colour gains of a timeline item's Fusion "
          "comp."}});
}

}  // namespace vestrel::bind::lumora
