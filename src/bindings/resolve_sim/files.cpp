// Reading media files (through ffprobe) and template files (JSON) for the simulator.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>

#include <nanobind/stl/string.h>

#include "bindings/common/pyutil.hpp"
#include "bindings/resolve_sim/parts.hpp"

namespace vestrel::bind::resolve_sim {

namespace {


std::string lower_extension(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string ext = path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

std::optional<core::MediaInfo> by_extension(const std::string& path) {
    static const char* video[] = {"mp4", "mov", "m4v", "mkv", "avi", "webm", "mxf", "mts"};
    static const char* audio[] = {"mp3", "wav", "m4a", "aac", "flac", "ogg", "aif", "aiff"};
    const std::string ext = lower_extension(path);
    core::MediaInfo info;
    for (const char* e : video)
        if (ext == e) info.has_video = true;
    for (const char* e : audio)
        if (ext == e) info.has_audio = true;
    if (!info.has_video && !info.has_audio) return std::nullopt;
    return info;
}

std::optional<frames::Rational> ratio(nb::handle text) {
    if (!text.is_valid() || !PyUnicode_Check(text.ptr())) return std::nullopt;
    const std::string s = utf8(text);
    const size_t slash = s.find('/');
    try {
        if (slash == std::string::npos) return frames::rate_from_text(s);
        const long long n = std::stoll(s.substr(0, slash));
        const long long d = std::stoll(s.substr(slash + 1));
        if (n <= 0 || d <= 0) return std::nullopt;
        return frames::make_rational(n, d);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

double number(nb::handle v) {
    if (!v.is_valid() || v.is_none()) return 0.0;
    if (PyUnicode_Check(v.ptr())) {
        auto n = frames::leading_number(utf8(v));
        return n ? *n : 0.0;
    }
    if (PyLong_Check(v.ptr()) || PyFloat_Check(v.ptr())) return nb::cast<double>(v);
    return 0.0;
}

nb::object get(nb::handle dict, const char* key) {
    PyObject* v = PyDict_GetItemString(dict.ptr(), key);
    return v ? nb::borrow(v) : nb::object();
}

}  // namespace

namespace {

std::optional<core::MediaInfo> run_probe(const std::string& path);

}  // namespace

// A file is probed once per content version: a Resolve reads a clip's properties when it is
// first imported, and a generation imports the same background several times. The key holds
// the file's size and modification time, so a replaced file is probed again.
std::optional<core::MediaInfo> probe_media(const std::string& path) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec) return run_probe(path);
    const auto mtime = std::filesystem::last_write_time(path, ec);
    if (ec) return run_probe(path);
    const std::string key = path + '\0' + std::to_string(size) + '\0' +
                            std::to_string(mtime.time_since_epoch().count());
    // Guarded by the GIL, which every caller holds.
    static auto& cache = *new std::map<std::string, std::optional<core::MediaInfo>>();
    auto it = cache.find(key);
    if (it != cache.end()) return it->second;
    auto info = run_probe(path);
    cache.emplace(key, info);
    return info;
}

namespace {

std::optional<core::MediaInfo> run_probe(const std::string& path) {
    nb::object result;
    try {
        nb::list cmd;
        for (const char* part :
             {"ffprobe", "-v", "error", "-show_entries",
              "stream=codec_type,r_frame_rate,avg_frame_rate,width,height,duration:"
              "stream_disposition=attached_pic:format=duration",
              "-of", "json"})
            cmd.append(part);
        cmd.append(path);
        result = import("subprocess")
                     .attr("run")(cmd, nb::arg("capture_output") = true, nb::arg("text") = true,
                                  nb::arg("timeout") = 60);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_OSError) && !e.matches(import("subprocess").attr("TimeoutExpired")))
            throw;
        return by_extension(path);
    }
    if (nb::cast<int>(result.attr("returncode")) != 0) return by_extension(path);

    nb::object doc;
    try {
        doc = import("json").attr("loads")(result.attr("stdout"));
    } catch (nb::python_error&) {
        return by_extension(path);
    }
    if (!PyDict_Check(doc.ptr())) return by_extension(path);

    core::MediaInfo info;
    // A video's length is its picture's: the sound of a file may run a little longer.
    double video_duration = 0.0, audio_duration = 0.0, format_duration = 0.0;
    nb::object streams = get(doc, "streams");
    if (streams.is_valid() && PyList_Check(streams.ptr())) {
        for (nb::handle s : streams) {
            if (!PyDict_Check(s.ptr())) continue;
            nb::object type = get(s, "codec_type");
            if (!type.is_valid() || !PyUnicode_Check(type.ptr())) continue;
            const std::string t = utf8(type);
            if (t == "audio") {
                info.has_audio = true;
                audio_duration = std::max(audio_duration, number(get(s, "duration")));
            } else if (t == "video" && !info.has_video) {
                nb::object disp = get(s, "disposition");
                if (disp.is_valid() && PyDict_Check(disp.ptr()) && number(get(disp, "attached_pic")) != 0)
                    continue;  // cover art of an audio file, not a picture track
                info.has_video = true;
                auto rate = ratio(get(s, "r_frame_rate"));
                if (!rate || rate->value() > 240.0) rate = ratio(get(s, "avg_frame_rate"));
                info.rate = rate;
                info.width = static_cast<int>(number(get(s, "width")));
                info.height = static_cast<int>(number(get(s, "height")));
                video_duration = number(get(s, "duration"));
            }
        }
    }
    nb::object format = get(doc, "format");
    if (format.is_valid() && PyDict_Check(format.ptr()))
        format_duration = number(get(format, "duration"));
    info.duration = video_duration > 0   ? video_duration
                    : audio_duration > 0 ? audio_duration
                                         : format_duration;
    if (!info.has_video && !info.has_audio) return by_extension(path);
    return info;
}

}  // namespace

namespace {

bool is_text(nb::handle v) { return v.is_valid() && PyUnicode_CheckExact(v.ptr()); }
bool is_int(nb::handle v) { return v.is_valid() && PyLong_CheckExact(v.ptr()); }
bool is_number(nb::handle v) {
    return v.is_valid() && (PyLong_CheckExact(v.ptr()) || PyFloat_CheckExact(v.ptr()));
}

// "Key": "text" or number, as settings are kept as text.
std::optional<std::string> setting_text(nb::handle v) {
    if (is_text(v)) return utf8(v);
    if (is_int(v)) return str(v);
    return std::nullopt;
}

std::optional<std::vector<core::ToolDef>> tools_of(nb::handle list) {
    std::vector<core::ToolDef> tools;
    if (!list.is_valid()) return tools;
    if (!PyList_Check(list.ptr())) return std::nullopt;
    for (nb::handle t : list) {
        if (!PyDict_Check(t.ptr())) return std::nullopt;
        nb::object name = get(t, "name"), reg = get(t, "regId"), inputs = get(t, "inputs");
        if (!is_text(name) || (reg.is_valid() && !is_text(reg))) return std::nullopt;
        core::ToolDef desc{utf8(name), reg.is_valid() ? utf8(reg) : "", {}};
        if (inputs.is_valid()) {
            if (!PyDict_Check(inputs.ptr())) return std::nullopt;
            for (auto [k, v] : nb::borrow<nb::dict>(inputs)) {
                if (!is_text(k)) return std::nullopt;
                if (is_text(v))
                    desc.inputs.emplace_back(utf8(k), utf8(v));
                else if (is_number(v))
                    desc.inputs.emplace_back(utf8(k), nb::cast<double>(v));
                else
                    return std::nullopt;
            }
        }
        tools.push_back(std::move(desc));
    }
    return tools;
}

std::optional<core::ProjectTemplate> template_of(nb::handle doc) {
    if (!PyDict_Check(doc.ptr())) return std::nullopt;
    nb::object format = get(doc, "format"), version = get(doc, "version");
    if (!is_text(format) || utf8(format) != kTemplateFormat) return std::nullopt;
    if (!is_int(version) || nb::cast<long long>(version) != 1) return std::nullopt;

    core::ProjectTemplate t;
    if (nb::object settings = get(doc, "settings"); settings.is_valid()) {
        if (!PyDict_Check(settings.ptr())) return std::nullopt;
        for (auto [k, v] : nb::borrow<nb::dict>(settings)) {
            auto text = setting_text(v);
            if (!is_text(k) || !text) return std::nullopt;
            t.settings.emplace_back(utf8(k), *text);
        }
    }
    if (nb::object timelines = get(doc, "timelines"); timelines.is_valid()) {
        if (!PyList_Check(timelines.ptr())) return std::nullopt;
        for (nb::handle tl : timelines) {
            if (!PyDict_Check(tl.ptr())) return std::nullopt;
            core::TimelineDef desc;
            nb::object name = get(tl, "name");
            if (!is_text(name)) return std::nullopt;
            desc.name = utf8(name);
            if (nb::object rate = get(tl, "frameRate"); rate.is_valid()) {
                auto text = setting_text(rate);
                if (!text || !frames::rate_from_text(*text)) return std::nullopt;
                desc.rate_text = *text;
            }
            for (auto [key, field] : {std::pair{"width", &desc.width}, {"height", &desc.height},
                                      {"videoTracks", &desc.video_tracks},
                                      {"audioTracks", &desc.audio_tracks}}) {
                nb::object v = get(tl, key);
                if (!v.is_valid()) continue;
                if (!is_int(v) || nb::cast<long long>(v) < 1 || nb::cast<long long>(v) > 100000)
                    return std::nullopt;
                *field = nb::cast<int>(v);
            }
            // "audioMix": [{"track": 2, "level": -14.0, "duckUnder": 1}, ...]: a track's level
            // in dB and the track whose sound lowers it.
            if (nb::object mix = get(tl, "audioMix"); mix.is_valid()) {
                if (!PyList_Check(mix.ptr())) return std::nullopt;
                for (nb::handle m : mix) {
                    if (!PyDict_Check(m.ptr())) return std::nullopt;
                    nb::object track = get(m, "track"), level = get(m, "level"),
                               duck = get(m, "duckUnder");
                    if (!is_int(track) || nb::cast<long long>(track) < 1 ||
                        nb::cast<long long>(track) > desc.audio_tracks)
                        return std::nullopt;
                    if (level.is_valid() && !is_number(level)) return std::nullopt;
                    if (duck.is_valid() && (!is_int(duck) || nb::cast<long long>(duck) < 0 ||
                                            nb::cast<long long>(duck) > desc.audio_tracks))
                        return std::nullopt;
                    const size_t index = nb::cast<size_t>(track) - 1;
                    if (desc.audio_mix.size() <= index) desc.audio_mix.resize(index + 1);
                    if (level.is_valid()) desc.audio_mix[index].level_db = nb::cast<double>(level);
                    if (duck.is_valid()) desc.audio_mix[index].duck_under = nb::cast<int>(duck);
                }
            }
            t.timelines.push_back(std::move(desc));
        }
    }
    if (nb::object cur = get(doc, "currentTimeline"); cur.is_valid()) {
        if (!is_text(cur)) return std::nullopt;
        t.current_timeline = utf8(cur);
    }
    if (nb::object pool = get(doc, "mediaPool"); pool.is_valid()) {
        if (!PyList_Check(pool.ptr())) return std::nullopt;
        for (nb::handle c : pool) {
            if (!PyDict_Check(c.ptr())) return std::nullopt;
            nb::object name = get(c, "name"), type = get(c, "type"), dur = get(c, "duration");
            if (!is_text(name) || !is_text(type)) return std::nullopt;
            core::ClipDef desc;
            desc.name = utf8(name);
            const std::string kind = utf8(type);
            if (kind == "title")
                desc.kind = core::ClipKind::Title;
            else if (kind == "generator")
                desc.kind = core::ClipKind::Generator;
            else
                return std::nullopt;
            if (dur.is_valid()) {
                if (!is_number(dur) || nb::cast<double>(dur) <= 0.0) return std::nullopt;
                desc.duration = nb::cast<double>(dur);
            }
            auto tools = tools_of(get(c, "fusion"));
            if (!tools) return std::nullopt;
            desc.fusion = std::move(*tools);
            t.clips.push_back(std::move(desc));
        }
    }
    return t;
}

}  // namespace

std::optional<core::ProjectTemplate> read_template(const std::string& path) {
    nb::object doc;
    try {
        nb::object io = import("io");
        nb::object f = io.attr("open")(path, "r", nb::arg("encoding") = "utf-8");
        nb::object text;
        try {
            text = f.attr("read")();
        } catch (nb::python_error&) {
            f.attr("close")();
            throw;
        }
        f.attr("close")();
        doc = import("json").attr("loads")(text);
    } catch (nb::python_error& e) {
        // Not a readable text file of JSON (a missing file, a folder, a zip archive...).
        if (e.matches(PyExc_Exception)) return std::nullopt;
        throw;
    }
    return template_of(doc);
}

}  // namespace vestrel::bind::resolve_sim
