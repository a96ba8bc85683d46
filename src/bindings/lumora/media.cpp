// Media pool, timelines, titles and colour.
#include <cmath>

#include "bindings/common/args.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/lumora/parts.hpp"
#include "core/frames.hpp"

namespace vestrel::lumora {

namespace {

using namespace vestrel::py;

bool equals(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

nb::object basename(nb::handle path) {
    return import("os").attr("path").attr("basename")(path);
}

// A frame rate as Resolve answers it: a number or numeric text. Text with a suffix
// ("29.97 DF", Resolve's drop-frame rates) is read by its leading number.
double frame_rate(nb::handle value) {
    PyObject* f = PyNumber_Float(value.ptr());
    if (f) {
        double d = PyFloat_AsDouble(f);
        Py_DECREF(f);
        return d;
    }
    nb::python_error err;
    if (PyUnicode_Check(value.ptr()) && err.matches(PyExc_ValueError)) {
        if (auto lead = frames::leading_number(utf8(value))) return *lead;
    }
    err.restore();
    throw nb::python_error();
}

int64_t frame_number(nb::handle value) {
    nb::object i = nb::steal(PyNumber_Long(value.ptr()));
    if (!i.is_valid()) throw nb::python_error();
    return nb::cast<int64_t>(i);
}

frames::Placement placement(double start_time, double duration, double timeline_fps,
                            double clip_fps, int64_t timeline_start) {
    try {
        return frames::place(start_time, duration, timeline_fps, clip_fps, timeline_start);
    } catch (const frames::FrameError& e) {
        switch (e.kind) {
            case frames::FrameError::Kind::NotANumber:
                raise(PyExc_ValueError, "cannot convert float NaN to integer");
            case frames::FrameError::Kind::Infinite:
                raise(PyExc_OverflowError, "cannot convert float infinity to integer");
            case frames::FrameError::Kind::DivisionByZero: {
                // The host's own division raises its own error and text.
                nb::object q = nb::steal(
                    PyNumber_TrueDivide(nb::int_(0).ptr(), nb::float_(timeline_fps).ptr()));
                if (!q.is_valid()) throw nb::python_error();
                raise(PyExc_ZeroDivisionError, "division by zero");
            }
        }
        throw;
    }
}

nb::object get_clip_by_name(nb::handle media_pool, nb::handle name) {
    nb::object clips = media_pool.attr("GetRootFolder")().attr("GetClipList")();
    for (nb::handle clip : clips) {
        if (equals(clip.attr("GetName")(), name) ||
            equals(clip.attr("GetClipProperty")("Clip Name"), name))
            return nb::borrow(clip);
    }
    return nb::none();
}

// The first tool of the list whose "TOOLS_Name" is `name`; StopIteration when none is.
nb::object tool_named(nb::handle tools, const char* name) {
    nb::str wanted(name);
    for (nb::handle tool : tools)
        if (equals(tool.attr("GetAttrs")()["TOOLS_Name"], wanted)) return nb::borrow(tool);
    PyErr_SetNone(PyExc_StopIteration);
    throw nb::python_error();
}

nb::object percent(nb::handle value) {
    nb::object r = nb::steal(PyNumber_TrueDivide(value.ptr(), nb::float_(100.0).ptr()));
    if (!r.is_valid()) throw nb::python_error();
    return r;
}

nb::object add_clip(std::vector<nb::object> v) {
    nb::handle clip_name = v[0];
    const double start_time = nb::cast<double>(v[1]);
    const double duration = nb::cast<double>(v[2]);
    const bool video = nb::cast<bool>(v[3]);
    const bool audio = nb::cast<bool>(v[4]);

    nb::object project = fn("get_current_project")();
    nb::object media_pool = project.attr("GetMediaPool")();
    nb::object clip = fn("_get_clip_by_name")(media_pool, clip_name);
    if (!truthy(clip)) fail("Clip '" + utf8(clip_name) + "' not found in Media Pool");

    nb::object timeline = project.attr("GetCurrentTimeline")();
    if (!truthy(timeline)) timeline = media_pool.attr("CreateEmptyTimeline")("Timeline 1");

    const double timeline_fps = frame_rate(timeline.attr("GetSetting")("timelineFrameRate"));
    const double clip_fps = frame_rate(clip.attr("GetClipProperty")("FPS"));
    const int64_t timeline_start = frame_number(timeline.attr("GetStartFrame")());
    const frames::Placement p =
        placement(start_time, duration, timeline_fps, clip_fps, timeline_start);

    nb::dict record;
    record["mediaPoolItem"] = clip;
    record["startFrame"] = 0;
    record["endFrame"] = p.last_clip_frame;
    record["recordFrame"] = p.record_frame;
    record["trackIndex"] = v[5];
    record["mediaType"] = !video ? 2 : (!audio ? 1 : 0);
    nb::list records;
    records.append(record);
    media_pool.attr("AppendToTimeline")(records);

    log("Added clip '" + utf8(clip_name) + "' @ " + float_str(start_time) + "s");
    return nb::none();
}

}  // namespace

void register_media(nb::module_& m) {
    m.def(
        "import_clip",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig = declare(
                {"import_clip", {arg("filepath", Kind::Str), opt_none("clip_name", Kind::Str)}});
            auto v = parse(sig, a, k);
            nb::list paths;
            paths.append(v[0]);
            nb::object result = fn("get_media_pool")().attr("ImportMedia")(paths);
            if (!truthy(result)) fail("Could not import clip '" + utf8(v[0]) + "'");
            nb::object clip = result[0];
            const bool renamed = truthy(v[1]);
            if (renamed) clip.attr("SetClipProperty")("Clip Name", v[1]);
            log("Imported clip '" + utf8(renamed ? v[1] : basename(v[0])) + "'");
            return clip;
        },
        "Import a file into the media pool, optionally under a clip name; returns the clip.");

    m.def(
        "_get_clip_by_name",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig =
                declare({"_get_clip_by_name", {arg("media_pool"), arg("name", Kind::Str)}});
            auto v = parse(sig, a, k);
            return get_clip_by_name(v[0], v[1]);
        },
        "The first clip of the media pool's root folder with that name or clip name, or None.");

    m.def(
        "set_current_timeline",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig =
                declare({"set_current_timeline", {arg("timeline_name", Kind::Str)}});
            auto v = parse(sig, a, k);
            nb::object project = fn("get_current_project")();
            nb::object count = nb::steal(PyNumber_Index(project.attr("GetTimelineCount")().ptr()));
            if (!count.is_valid()) throw nb::python_error();
            const int64_t n = nb::cast<int64_t>(count);
            for (int64_t i = 1; i <= n; ++i) {
                nb::object tl = project.attr("GetTimelineByIndex")(i);
                if (equals(tl.attr("GetName")(), v[0])) {
                    project.attr("SetCurrentTimeline")(tl);
                    log("Active timeline: " + utf8(v[0]));
                    return nb::none();
                }
            }
            fail("Timeline '" + utf8(v[0]) + "' not found");
        },
        "Make the project's timeline of that name the current one.");

    m.def(
        "import_timeline",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig = declare(
                {"import_timeline", {arg("filepath", Kind::Str), arg("name", Kind::Str)}});
            auto v = parse(sig, a, k);
            nb::dict options;
            options["timelineName"] = v[1];
            fn("get_media_pool")().attr("ImportTimelineFromFile")(v[0], options);
            log("Imported timeline '" + utf8(v[1]) + "'");
            return nb::none();
        },
        "Import a timeline file into the media pool under a name.");

    m.def(
        "add_clip_to_timeline",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig =
                declare({"add_clip_to_timeline",
                         {arg("clip_name", Kind::Str), arg("start_time", Kind::Float),
                          arg("duration", Kind::Float), kwonly(opt("video", Kind::Bool, nb::bool_(true))),
                          kwonly(opt("audio", Kind::Bool, nb::bool_(true))),
                          kwonly(opt("track_index", Kind::Int, nb::int_(1)))}});
            return add_clip(parse(sig, a, k));
        },
        "Place a media-pool clip on the current timeline at start_time for duration seconds.");

    m.def(
        "import_and_add_to_timeline",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig =
                declare({"import_and_add_to_timeline",
                         {arg("filepath", Kind::Str), arg("start_time", Kind::Float),
                          arg("duration", Kind::Float), kwonly(opt("video", Kind::Bool, nb::bool_(true))),
                          kwonly(opt("audio", Kind::Bool, nb::bool_(true))),
                          kwonly(opt("track_index", Kind::Int, nb::int_(1)))}});
            auto v = parse(sig, a, k);
            fn("import_clip")(v[0]);
            // The clip is found by the file's base name, its name in the media pool.
            fn("add_clip_to_timeline")(basename(v[0]), v[1], v[2], nb::arg("video") = v[3],
                                       nb::arg("audio") = v[4], nb::arg("track_index") = v[5]);
            return nb::none();
        },
        "Import a file and place it on the current timeline.");

    m.def(
        "import_fusion_comp",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig =
                declare({"import_fusion_comp",
                         {arg("clip_name", Kind::Str), arg("comp_file_path", Kind::Str),
                          kwonly(opt("track_index", Kind::Int, nb::int_(1))),
                          kwonly(opt("track_type", Kind::Str, nb::str("video")))}});
            auto v = parse(sig, a, k);
            nb::object timeline = fn("get_current_project")().attr("GetCurrentTimeline")();
            nb::object items = nb::steal(PySequence_List(
                timeline.attr("GetItemListInTrack")(v[3], v[2]).ptr()));
            if (!items.is_valid()) throw nb::python_error();
            // The latest item of that name: walk from the end of the track.
            for (Py_ssize_t i = PyList_GET_SIZE(items.ptr()) - 1; i >= 0; --i) {
                nb::handle item = PyList_GET_ITEM(items.ptr(), i);
                if (!equals(item.attr("GetName")(), v[0])) continue;
                if (!truthy(item.attr("ImportFusionComp")(v[1]))) fail("Fusion comp import failed");
                log("Imported fusion comp into '" + utf8(v[0]) + "'");
                return nb::none();
            }
            fail("Clip '" + utf8(v[0]) + "' not found on timeline");
        },
        "Import a Fusion composition into the last timeline item of that name.");

    m.def(
        "generate_text_on_timeline",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig =
                declare({"generate_text_on_timeline",
                         {arg("template_name", Kind::Str), arg("text", Kind::Str),
                          arg("start_time", Kind::Float), arg("duration", Kind::Float),
                          kwonly(opt("track_index", Kind::Int, nb::int_(3)))}});
            auto v = parse(sig, a, k);
            fn("add_clip_to_timeline")(v[0], v[2], v[3], nb::arg("track_index") = v[4]);
            nb::object timeline = fn("get_current_project")().attr("GetCurrentTimeline")();
            // The title just placed is taken to be the last item of its track.
            nb::object item = timeline.attr("GetItemListInTrack")("video", v[4])[-1];
            nb::object tool = item.attr("GetFusionCompByIndex")(1).attr("FindTool")("Template");
            tool.attr("SetInput")("StyledText", v[1], 0);
            log("Generated text '" + utf8(v[1]) + "'");
            return nb::none();
        },
        "Place a title clip and write the text into its Fusion \"Template\" tool.");

    m.def(
        "adjust_clip_color",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig =
                declare({"adjust_clip_color",
                         {arg("clip_name", Kind::Str), opt("brightness", Kind::Any, nb::int_(100)),
                          opt("contrast", Kind::Any, nb::int_(100)),
                          opt("saturation", Kind::Any, nb::int_(100)),
                          opt("color_tone", Kind::Tuple,
                              nb::make_tuple(nb::int_(100), nb::int_(100), nb::int_(100))),
                          kwonly(opt("track_index", Kind::Int, nb::int_(1)))}});
            auto v = parse(sig, a, k);
            nb::object timeline = fn("get_current_project")().attr("GetCurrentTimeline")();
            nb::object found = nb::none();
            for (nb::handle item : timeline.attr("GetItemListInTrack")("video", v[5]))
                if (equals(item.attr("GetName")(), v[0])) {
                    found = nb::borrow(item);
                    break;
                }
            if (found.is_none()) fail("Clip '" + utf8(v[0]) + "' not found");

            nb::object comp = found.attr("GetFusionCompByIndex")(1);
            nb::object tools = comp.attr("GetToolList")().attr("values")();
            // Both tools are found before anything is set.
            nb::object bc = tool_named(tools, "BrightnessContrast1");
            nb::object cg = tool_named(tools, "ColorGain1");

            bc.attr("SetInput")("Gain", percent(v[1]));
            nb::object offset = nb::steal(PyNumber_Subtract(v[2].ptr(), nb::int_(100).ptr()));
            if (!offset.is_valid()) throw nb::python_error();
            bc.attr("SetInput")("Contrast", percent(offset));
            bc.attr("SetInput")("Saturation", percent(v[3]));
            nb::handle tone = v[4];
            cg.attr("SetInput")("GainRed", percent(tone[0]));
            cg.attr("SetInput")("GainGreen", percent(tone[1]));
            cg.attr("SetInput")("GainBlue", percent(tone[2]));
            log("Adjusted color for '" + utf8(v[0]) + "'");
            return nb::none();
        },
        "Set brightness, contrast, saturation and colour gains of a timeline item's Fusion comp.");
}

}  // namespace vestrel::lumora
