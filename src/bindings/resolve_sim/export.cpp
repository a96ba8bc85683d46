// Timeline.Export of the simulated Resolve, with Resolve's export constants on the scripting
// object. The timeline is handed to OpenTimelineIO (called through its Python objects) and
// written by its adapters: OTIO JSON, FCPXML 1.8 (the version the adapter writes), FCP 7 XML
// and a CMX 3600 EDL. Title items become clips whose media is the title drawn as the render
// draws it, on a transparent picture; fade clips become short ProRes 4444 clips with alpha.
// Both are written to "<stem>_titles" beside the export file. Like Resolve, Export answers
// True or False; why it failed goes to standard error.
#include <nanobind/stl/string.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <map>

#include "bindings/common/pyutil.hpp"
#include "bindings/resolve_sim/parts.hpp"
#include "core/render_run.hpp"
#include "core/timeline_export.hpp"

namespace vestrel::bind::resolve_sim {

namespace {

using namespace vestrel::resolve_sim;
namespace fs = std::filesystem;
namespace tx = vestrel::timeline_export;
using Kind = tx::FileKind;

// A plain int argument (not a bool), or nothing.
std::optional<int> int_arg(nb::handle v) {
    if (!v.is_valid() || !PyLong_CheckExact(v.ptr())) return std::nullopt;
    int overflow = 0;
    const long x = PyLong_AsLongAndOverflow(v.ptr(), &overflow);
    if (overflow || x < INT_MIN || x > INT_MAX) return std::nullopt;
    return static_cast<int>(x);
}

// Builds OpenTimelineIO objects for one export.
class Builder {
  public:
    Builder(const Timeline& t, Kind kind, std::string media_dir)
        : t_(t), kind_(kind), media_dir_(std::move(media_dir)) {
        otio_ = import("opentimelineio");
        rt_ = otio_.attr("opentime").attr("RationalTime");
        tr_ = otio_.attr("opentime").attr("TimeRange");
        schema_ = otio_.attr("schema");
        rate_ = t.rate.value();
    }

    nb::object timeline() {
        nb::object tl = schema_.attr("Timeline")();
        tl.attr("name") = t_.name;
        tl.attr("global_start_time") = rt_(t_.start_frame, rate_);
        nb::dict meta;
        meta["width"] = t_.width;
        meta["height"] = t_.height;
        meta["frame_rate"] = frames::rate_text(t_.rate);
        tl.attr("metadata")["vestrel"] = meta;
        if (kind_ == Kind::Fcp7) {
            // The adapter writes this into the sequence: the frame size of the timeline, as
            // {"media": {"video": {"format": {"samplecharacteristics": {...}}}}}.
            nb::dict d = dict_of({{"width", std::to_string(t_.width)},
                                  {"height", std::to_string(t_.height)}});
            for (const char* key : {"samplecharacteristics", "format", "video", "media"}) {
                nb::dict outer;
                outer[key] = d;
                d = outer;
            }
            tl.attr("metadata")["fcp_xml"] = d;
        }
        nb::object tracks = tl.attr("tracks");
        // An EDL takes one video track: the backgrounds, with the voice-over.
        const size_t nv =
            kind_ == Kind::Edl ? std::min<size_t>(1, t_.video.size()) : t_.video.size();
        const size_t na =
            kind_ == Kind::Edl ? std::min<size_t>(1, t_.audio.size()) : t_.audio.size();
        for (size_t i = 0; i < nv; ++i) tracks.attr("append")(track(t_.video[i], "Video", i + 1));
        for (size_t i = 0; i < na; ++i) tracks.attr("append")(track(t_.audio[i], "Audio", i + 1));
        return tl;
    }

  private:
    nb::object time(int64_t frames) { return rt_(frames, rate_); }
    nb::object range(int64_t start, int64_t duration) { return tr_(time(start), time(duration)); }

    nb::object reference(const std::string& path, nb::object available) {
        nb::object url = otio_.attr("url_utils").attr("url_from_filepath")(path);
        nb::object ref = schema_.attr("ExternalReference")();
        ref.attr("target_url") = url;
        if (available.is_valid()) ref.attr("available_range") = available;
        return ref;
    }

    nb::object track(const core::Track& items, const char* kind, size_t index) {
        nb::object tr = schema_.attr("Track")();
        tr.attr("name") = std::string(kind) + " " + std::to_string(index);
        tr.attr("kind") = kind;
        const std::string tag = (kind[0] == 'V' ? "v" : "a") + std::to_string(index);
        int64_t at = t_.start_frame;
        int n = 0;
        for (const auto& item : items) {
            if (item->start > at) {
                nb::object gap = schema_.attr("Gap")();
                gap.attr("source_range") = range(0, item->start - at);
                tr.attr("append")(gap);
            }
            tr.attr("append")(clip(*item, tag, ++n));
            at = item->end();
        }
        return tr;
    }

    nb::object clip(const TimelineItem& item, const std::string& track_tag, int n) {
        nb::object c = schema_.attr("Clip")();
        c.attr("name") = item.name;
        const core::Clip& src = *item.clip;
        nb::dict meta;
        meta["track"] = track_tag;
        if (src.kind == ClipKind::Title || src.kind == ClipKind::Generator) {
            auto layer = render::layer_of_item(t_, item);
            const std::string base = tx::item_media_base(media_dir_, track_tag, n, item.name);
            if (layer && layer->kind == render::VideoLayer::Kind::Title) {
                meta["kind"] = "title";
                meta["template"] = item.name;
                meta["text"] = layer->text;
                const std::string png = title_picture(item, layer->text, base + ".png");
                c.attr("media_reference") = reference(png, range(0, item.duration));
                c.attr("source_range") = range(0, item.duration);
            } else if (layer && layer->kind == render::VideoLayer::Kind::Colour) {
                meta["kind"] = "fade";
                meta["generator"] = item.name;
                meta["start_alpha"] = layer->alpha_start;
                meta["end_alpha"] = layer->alpha_end;
                const int64_t length =
                    std::max(layer->ramp_frames, item.left_offset + item.duration);
                const std::string mov = fade_clip(*layer, length, base + ".mov");
                c.attr("media_reference") = reference(mov, range(0, length));
                c.attr("source_range") = range(item.left_offset, item.duration);
            } else {
                // A title without text or a generator without a colour: nothing is drawn.
                meta["kind"] = src.kind == ClipKind::Title ? "title" : "generator";
                meta["template"] = item.name;
                c.attr("source_range") = range(item.left_offset, item.duration);
            }
        } else {
            meta["kind"] = src.kind == ClipKind::Audio ? "audio" : "video";
            nb::object available;
            nb::object own_rate = nb::float_(src.rate.value());
            if (src.frames > 0) available = tr_(rt_(0, own_rate), rt_(src.frames, own_rate));
            c.attr("media_reference") = reference(src.file_path, available);
            // The left offset counts the clip's own frames; the range is in timeline frames.
            nb::object start = rt_(item.left_offset, own_rate).attr("rescaled_to")(rate_);
            c.attr("source_range") = tr_(start, time(item.duration));
        }
        c.attr("metadata")["vestrel"] = meta;
        return c;
    }

    // The title drawn once per template and text in this export.
    std::string title_picture(const TimelineItem& item, const std::string& text,
                              const std::string& path) {
        const auto key = std::make_pair(item.name, text);
        if (auto it = drawn_.find(key); it != drawn_.end()) return it->second;
        render_title_png(t_, item, path);
        drawn_[key] = path;
        return path;
    }

    // A fade clip made once per generator, ramp and length in this export. Throws a core
    // error for a ramp the render cannot draw either.
    std::string fade_clip(const render::VideoLayer& layer, int64_t length,
                          const std::string& path) {
        const std::string key = layer.name + "|" + std::to_string(layer.alpha_start) + "|" +
                                std::to_string(layer.alpha_end) + "|" +
                                std::to_string(layer.ramp_frames) + "|" + std::to_string(length);
        if (auto it = fades_.find(key); it != fades_.end()) return it->second;
        const auto args = tx::fade_clip_args(layer, t_.width, t_.height, t_.rate, length, path);
        render::ChildResult r;
        {
            nb::gil_scoped_release release;
            r = render::run_ffmpeg(args, "", "");
        }
        if (!render::failure_of(r).empty())
            raise(PyExc_RuntimeError,
                  "ffmpeg could not write the fade clip '" + layer.name + "': " + r.errors);
        return fades_[key] = path;
    }

    const Timeline& t_;
    Kind kind_;
    std::string media_dir_;
    double rate_;
    nb::object otio_, rt_, tr_, schema_;
    std::map<std::pair<std::string, std::string>, std::string> drawn_;
    std::map<std::string, std::string> fades_;
};

// The adapter names the FCPXML format after common frame sizes only; the timeline's own size
// is written on the sequence's format.
void set_fcpxml_frame_size(const std::string& path, int width, int height) {
    nb::object et = import("xml.etree.ElementTree");
    nb::object tree = et.attr("parse")(path);
    nb::object root = tree.attr("getroot")();
    nb::object sequence = root.attr("find")(".//sequence");
    if (sequence.is_none()) return;
    nb::object format_id = sequence.attr("get")("format");
    for (nb::handle format : root.attr("iterfind")("./resources/format")) {
        if (!format.attr("get")("id").equal(format_id)) continue;
        format.attr("set")("width", std::to_string(width));
        format.attr("set")("height", std::to_string(height));
        // A named format would override the size with the name's own.
        nb::object attrib = format.attr("attrib");
        attrib.attr("pop")("name", nb::none());
    }
    nb::object text = et.attr("tostring")(root, "unicode");
    nb::object head = nb::str("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE fcpxml>\n\n");
    import("pathlib").attr("Path")(path).attr("write_text")(head + text,
                                                            nb::arg("encoding") = "utf-8");
}

// Writes the export; raises what went wrong.
void write_export(const Timeline& t, Kind kind, const std::string& path) {
    nb::object otio = import("opentimelineio");
    const std::string media_dir = tx::media_folder_of(path);
    if (kind != Kind::Edl) fs::create_directories(media_dir);
    Builder builder(t, kind, media_dir);
    nb::object tl = builder.timeline();
    nb::object adapters = otio.attr("adapters");
    switch (kind) {
        case Kind::Otio:
            adapters.attr("write_to_file")(tl, path, nb::arg("adapter_name") = "otio_json");
            break;
        case Kind::Fcpxml:
            adapters.attr("write_to_file")(tl, path, nb::arg("adapter_name") = "fcpx_xml");
            set_fcpxml_frame_size(path, t.width, t.height);
            break;
        case Kind::Fcp7:
            adapters.attr("write_to_file")(tl, path, nb::arg("adapter_name") = "fcp_xml");
            break;
        case Kind::Edl: {
            // The adapter's writer takes the one video track; the voice-over's events follow
            // it in the same list, numbered on.
            const double rate = t.rate.value();
            nb::object text = adapters.attr("write_to_string")(
                tl, "cmx_3600", nb::arg("rate") = rate, nb::arg("style") = "avid");
            nb::object cmx = import("otio_cmx3600_adapter.cmx_3600");
            nb::object tracks = tl.attr("tracks");
            int number = 0;
            for (nb::handle item : tracks[nb::int_(0)])
                if (nb::isinstance(item, otio.attr("schema").attr("Clip"))) ++number;
            if (nb::len(tracks) > 1) {
                nb::object audio = tracks[nb::int_(1)];
                for (nb::handle item : audio) {
                    if (!nb::isinstance(item, otio.attr("schema").attr("Clip"))) continue;
                    nb::object event =
                        cmx.attr("Event")(item, tracks, audio.attr("kind"), rate, "avid", 8);
                    event.attr("edit_number") = ++number;
                    text = text + event.attr("to_edl_format")() + nb::str("\n");
                }
            }
            import("pathlib").attr("Path")(path).attr("write_text")(text,
                                                                    nb::arg("encoding") = "utf-8");
            break;
        }
    }
}

bool timeline_export_call(const Timeline& t, nb::handle file_name, nb::handle type,
                          nb::handle subtype) {
    if (!PyUnicode_Check(file_name.ptr())) return false;
    const auto kind = tx::file_kind(int_arg(type), int_arg(subtype));
    if (!kind) return false;
    const fs::path target = fs::absolute(fs::path(utf8(file_name))).lexically_normal();
    std::error_code ec;
    // Like Resolve, no folder is made for the file: its folder must exist.
    if (target.filename().empty() || !fs::is_directory(target.parent_path(), ec)) return false;
    const std::string path = target.string();
    std::string why;
    try {
        write_export(t, *kind, path);
        return true;
    } catch (nb::python_error& e) {
        why = str(e.value());
    } catch (const std::exception& e) {
        why = e.what();
    }
    eprint("[resolve_sim] Export of timeline '" + t.name + "' to " + path + " failed: " + why);
    return false;
}

}  // namespace

void register_export(nb::module_& m) {
    nb::object app = m.attr("Resolve");
    int value = 1;
    for (const char* name : tx::kExportTypes) app.attr(name) = value++;
    value = 0;
    for (const char* name : tx::kExportSubtypes) app.attr(name) = value++;
    nb::object timeline = m.attr("Timeline");
    timeline.attr("Export") = nb::cpp_function(
        [](const Timeline& t, nb::handle file_name, nb::handle type, nb::handle subtype) {
            return timeline_export_call(t, file_name, type, subtype);
        },
        nb::scope(timeline), nb::name("Export"), nb::is_method(), nb::arg("fileName"),
        nb::arg("exportType"), nb::arg("exportSubtype") = nb::none(),
        "Exports the timeline to a file of the given type (resolve.EXPORT_OTIO, "
        "EXPORT_FCPXML_1_8, EXPORT_FCP_7_XML, EXPORT_EDL with EXPORT_NONE); True on success.");
}

}  // namespace vestrel::bind::resolve_sim
