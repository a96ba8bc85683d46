// The edit itself, out: GET /studio/timeline reads the current timeline as a Resolve script
// would, POST /studio/export writes it as OpenTimelineIO, FCPXML, FCP 7 XML, EDL or subtitles.
//
// Timeline files come from Resolve's own Timeline.Export (the simulator answers it as Resolve
// does), so the routes work the same against a real Resolve. Subtitles are read from the
// caption track (video track 3) through the scripting calls and written by the core.
// `export_timeline` is also what `python -m vestrel generate --export` calls.
#include <nanobind/stl/string.h>

#include <filesystem>

#include "bindings/common/pyutil.hpp"
#include "bindings/common/values.hpp"
#include "bindings/studio/parts.hpp"
#include "core/fonts.hpp"
#include "core/frames.hpp"
#include "core/render.hpp"
#include "core/resolve_sim.hpp"
#include "core/subtitles.hpp"
#include "core/timeline_export.hpp"

namespace vestrel::bind::studio {

namespace {

namespace fs = std::filesystem;
namespace tx = vestrel::timeline_export;

constexpr int kCaptionTrack = 3;

// The current project and its current timeline, through lumora. RuntimeError (no Resolve,
// no project, no timeline) carries the text a client is shown.
std::pair<nb::object, nb::object> current_timeline() {
    nb::object project = attr("lumora").attr("get_current_project")();
    nb::object timeline = project.attr("GetCurrentTimeline")();
    if (!truthy(timeline))
        raise(PyExc_RuntimeError,
              "No timeline is open in project '" + str(project.attr("GetName")()) + "'");
    return {project, timeline};
}

// A number a timeline setting answers (a number or numeric text); 0 when there is none.
double setting_number(nb::handle timeline, const char* name) {
    nb::object v = timeline.attr("GetSetting")(name);
    if (PyLong_Check(v.ptr()) || PyFloat_Check(v.ptr())) return nb::cast<double>(v);
    return frames::leading_number(str(v)).value_or(0.0);
}

frames::Rational timeline_rate(nb::handle timeline) {
    const std::string text = str(timeline.attr("GetSetting")("timelineFrameRate"));
    auto r = frames::rate_from_text(text);
    if (!r) raise(PyExc_RuntimeError, "The timeline has no frame rate ('" + text + "')");
    return *r;
}

// The "Template" tool of a title item, or None for an item that is no title.
nb::object template_tool(nb::handle item) {
    if (!PyObject_HasAttrString(item.ptr(), "GetFusionCompByIndex")) return nb::none();
    nb::object comp = item.attr("GetFusionCompByIndex")(1);
    if (!truthy(comp)) return nb::none();
    nb::object tool = comp.attr("FindTool")("Template");
    return truthy(tool) ? tool : nb::none();
}

nb::object items_of(nb::handle timeline, const char* kind, int64_t index) {
    nb::object items = timeline.attr("GetItemListInTrack")(kind, index);
    return truthy(items) ? nb::list(items) : nb::list();
}

nb::object timeline_view(const Args&) {
    auto [project, timeline] = current_timeline();
    nb::dict out;
    out["project"] = project.attr("GetName")();
    out["timeline"] = timeline.attr("GetName")();
    out["fps"] = setting_number(timeline, "timelineFrameRate");
    out["start_frame"] = timeline.attr("GetStartFrame")();
    out["width"] = static_cast<int64_t>(setting_number(timeline, "timelineResolutionWidth"));
    out["height"] = static_cast<int64_t>(setting_number(timeline, "timelineResolutionHeight"));
    nb::dict tracks;
    for (const char* kind : {"video", "audio"}) {
        nb::list list;
        const int64_t count = nb::cast<int64_t>(timeline.attr("GetTrackCount")(kind));
        for (int64_t i = 1; i <= count; ++i) {
            nb::list track;
            for (nb::handle item : items_of(timeline, kind, i)) {
                nb::dict d;
                d["name"] = item.attr("GetName")();
                d["start"] = item.attr("GetStart")();
                d["end"] = item.attr("GetEnd")();
                d["source_start"] = item.attr("GetLeftOffset")();
                if (std::string(kind) == "video") {
                    nb::object tool = template_tool(item);
                    if (!tool.is_none()) {
                        nb::object text = tool.attr("GetInput")("StyledText");
                        if (PyUnicode_Check(text.ptr())) d["text"] = text;
                    }
                }
                track.append(d);
            }
            list.append(track);
        }
        tracks[kind] = list;
    }
    out["tracks"] = tracks;
    return out;
}

// ---- subtitles ----------------------------------------------------------------------------

struct Captions {
    std::vector<subtitles::Cue> cues;
    nb::object first_tool = nb::none();
};

Captions caption_cues(nb::handle timeline) {
    Captions c;
    const int64_t first = nb::cast<int64_t>(timeline.attr("GetStartFrame")());
    if (nb::cast<int64_t>(timeline.attr("GetTrackCount")("video")) < kCaptionTrack) return c;
    for (nb::handle item : items_of(timeline, "video", kCaptionTrack)) {
        nb::object tool = template_tool(item);
        if (tool.is_none()) continue;
        nb::object text = tool.attr("GetInput")("StyledText");
        if (!PyUnicode_Check(text.ptr())) continue;
        if (c.first_tool.is_none()) c.first_tool = tool;
        c.cues.push_back({nb::cast<int64_t>(item.attr("GetStart")()) - first,
                          nb::cast<int64_t>(item.attr("GetEnd")()) - first, utf8(text)});
    }
    return c;
}

// The caption style as the title's tool gives it, read with GetInput.
render::TitleStyle caption_style(nb::handle tool) {
    resolve_sim::Tool t;
    if (!tool.is_none()) {
        for (const char* name : render::kTitleStyleInputs) {
            nb::object v = tool.attr("GetInput")(name);
            if (PyUnicode_Check(v.ptr()))
                t.set_input(name, utf8(v));
            else if (PyLong_Check(v.ptr()) || PyFloat_Check(v.ptr()))
                t.set_input(name, nb::cast<double>(v));
        }
    }
    render::TitleStyle s = render::style_from_tool(t);
    const std::string conf = fonts::package_config(str(this_module.attr("__file__")));
    s.line_per_em = fonts::line_per_em(s.font, s.style, conf).value_or(1.0);
    return s;
}

void write_text_file(const std::string& path, const std::string& text) {
    if (!tx::write_text_file(path, text)) raise(PyExc_RuntimeError, "Could not write " + path);
}

// ---- timeline files -----------------------------------------------------------------------

void resolve_export(nb::handle timeline, const std::string& format, const std::string& path) {
    nb::object resolve = attr("lumora").attr("_resolve");
    nb::object ok = timeline.attr("Export")(path, resolve.attr(tx::export_type_name(format)),
                                            resolve.attr("EXPORT_NONE"));
    if (truthy(ok)) return;
    std::string why = "Resolve could not export timeline '" + str(timeline.attr("GetName")()) +
                      "' as " + format;
    try {
        import("opentimelineio");
    } catch (nb::python_error&) {
        why += " (OpenTimelineIO is not installed: pip install 'vestrel[export]')";
    }
    raise(PyExc_RuntimeError, why);
}

// The .otioz bundle: the timeline, with the title pictures and fade clips it was exported
// with inside the bundle (relinked to "media/<name>"); every other media reference keeps its
// absolute path, so a bundle opened on this machine finds the footage where it is.
void write_otioz(const std::string& otio_path, const std::string& media_dir,
                 const std::string& target) {
    nb::object otio = import("opentimelineio");
    nb::object bundle = import("opentimelineio.adapters.file_bundle_utils");
    nb::object url_utils = otio.attr("url_utils");
    nb::object tl = otio.attr("adapters").attr("read_from_file")(otio_path);
    nb::dict files;  // arcname -> file
    for (nb::handle clip : tl.attr("find_clips")()) {
        nb::object ref = clip.attr("media_reference");
        if (!PyObject_HasAttrString(ref.ptr(), "target_url")) continue;
        const std::string file = utf8(url_utils.attr("filepath_from_url")(ref.attr("target_url")));
        if (!tx::inside(file, media_dir)) continue;
        const std::string arc =
            utf8(bundle.attr("BUNDLE_DIR_NAME")) + "/" + fs::path(file).filename().string();
        files[arc.c_str()] = file;
        ref.attr("target_url") = url_utils.attr("url_from_filepath")(arc);
    }
    nb::object zipfile = import("zipfile");
    const std::string tmp = target + ".part";
    {
        nb::object z = zipfile.attr("ZipFile")(tmp, "w", zipfile.attr("ZIP_DEFLATED"));
        z.attr("writestr")(bundle.attr("BUNDLE_VERSION_FILE"), bundle.attr("BUNDLE_VERSION"));
        z.attr("writestr")(bundle.attr("BUNDLE_PLAYLIST_PATH"),
                           otio.attr("adapters").attr("write_to_string")(tl, "otio_json"));
        for (auto [arc, file] : files) z.attr("write")(file, arc);
        z.attr("close")();
    }
    import("os").attr("replace")(tmp, target);
}

// A .zip of the XML and the folder of its title pictures and fade clips.
void write_zip(const std::string& xml_path, const std::string& media_dir,
               const std::string& target) {
    nb::object zipfile = import("zipfile");
    const std::string tmp = target + ".part";
    nb::object z = zipfile.attr("ZipFile")(tmp, "w", zipfile.attr("ZIP_DEFLATED"));
    z.attr("write")(xml_path, fs::path(xml_path).filename().string());
    for (const auto& [file, arc] : tx::media_entries(media_dir)) z.attr("write")(file, arc);
    z.attr("close")();
    import("os").attr("replace")(tmp, target);
}

// Writes the current timeline in `format` into `folder`; returns the path of the file
// written. `bundle`: the one file to download (".otioz", ".zip" of the XML and its pictures);
// the plain export files then go to "<folder>/exports/<stem>/". Otherwise the plain files
// are written into `folder` itself (the XML beside its "<stem>_titles" folder).
std::string export_timeline(const std::string& format, const std::string& folder,
                            nb::handle stem_arg, bool bundle) {
    if (auto refused = tx::refuse_format(format)) raise(PyExc_ValueError, *refused);
    auto [project, timeline] = current_timeline();
    const std::string stem =
        stem_arg.is_none() ? tx::default_stem(str(project.attr("GetName")())) : utf8(stem_arg);
    if (auto refused = tx::refuse_stem(stem)) raise(PyExc_ValueError, *refused);
    const fs::path dir = fs::absolute(fs::path(folder)).lexically_normal();
    fs::create_directories(dir);

    if (format == "srt" || format == "ass") {
        const std::string path = (dir / *tx::file_name(format, stem)).string();
        const frames::Rational rate = timeline_rate(timeline);
        Captions c = caption_cues(timeline);
        if (format == "srt") {
            write_text_file(path, subtitles::srt(c.cues, rate));
        } else {
            const int w = static_cast<int>(setting_number(timeline, "timelineResolutionWidth"));
            const int h = static_cast<int>(setting_number(timeline, "timelineResolutionHeight"));
            write_text_file(path, subtitles::ass(c.cues, caption_style(c.first_tool),
                                                 w > 0 ? w : 1080, h > 0 ? h : 1920, rate));
        }
        return path;
    }

    fs::path work = bundle ? dir / "exports" / stem : dir;
    std::error_code ec;
    if (bundle) fs::remove_all(work, ec);  // this export's own folder: no stale pictures
    fs::create_directories(work);
    const std::string plain = (work / *tx::file_name(format, stem)).string();
    resolve_export(timeline, format, plain);
    if (!bundle) return plain;
    const std::string target = (dir / *tx::download_name(format, stem)).string();
    const std::string media_dir = tx::media_folder_of(plain);
    if (format == "otio")
        write_otioz(plain, media_dir, target);
    else if (format == "edl")
        fs::copy_file(plain, target, fs::copy_options::overwrite_existing);
    else
        write_zip(plain, media_dir, target);
    return target;
}

nb::object studio_export(const Args& a) {
    nb::handle req = a["req"];
    refuse_while_generating();
    const std::string format = utf8(req.attr("format"));
    if (auto refused = tx::refuse_format(format)) raise_http(400, *refused);
    // One export at a time: two exports of one name would write the same files.
    HeldLock held(attr("_export_lock"));
    std::string path;
    try {
        path = export_timeline(format, str(attr("media").attr("CACHE_DIR")), req.attr("filename"),
                               true);
    } catch (nb::python_error& e) {
        // A failed export is the server's fault (500); refusals and a missing project or
        // timeline answer 400 by the route's table.
        const bool failed = error_is(e, PyExc_RuntimeError) &&
                            str(e.value()).rfind("Resolve could not export", 0) == 0;
        if (failed) raise_http(500, nb::str(e.value()), e.value());
        throw;
    }
    nb::dict answer;
    answer["path"] = "/media/" + fs::path(path).filename().string();
    answer["format"] = format;
    return answer;
}

}  // namespace

void register_export_routes(nb::module_& m, nb::handle router) {
    m.attr("_export_lock") = import("threading").attr("Lock")();
    m.def("export_timeline", &export_timeline, nb::arg("format"), nb::arg("folder"),
          nb::arg("stem") = nb::none(), nb::arg("bundle") = false,
          "Writes the current timeline in one format (otio, fcpxml, fcp7xml, edl, srt, ass) "
          "into a folder and returns the file's path.");

    nb::object model = make_model(
        m, "StudioExportRequest",
        {{"format", str_type(), required()}, {"filename", optional(str_type()), nb::none()}});
    const HttpErrors refusals = {{PyExc_ValueError, 400, nullptr, false},
                                 {PyExc_RuntimeError, 400, nullptr, false}};
    add_routes(m, router, {
        {"get", "/studio/timeline", "studio_timeline", {},
         timeline_view, refuse_runtime_errors(),
         "The current project's current timeline: its tracks and items, read as a Resolve "
         "script reads them."},
        {"post", "/studio/export", "studio_export", {arg("req", Kind::Any) | model}, studio_export,
         refusals,
         "Export the current timeline (otio, fcpxml, fcp7xml, edl, srt or ass) into the media "
         "cache (served under /media/)."},
    });
}

}  // namespace vestrel::bind::studio
