// Reading template files (JSON) for the simulator.
#include <nanobind/stl/string.h>

#include "bindings/common/pyutil.hpp"
#include "bindings/resolve_sim/parts.hpp"

namespace vestrel::bind::resolve_sim {

namespace {

nb::object get(nb::handle dict, const char* key) {
    PyObject* v = PyDict_GetItemString(dict.ptr(), key);
    return v ? nb::borrow(v) : nb::object();
}

bool is_text(nb::handle v) { return v.is_valid() && PyUnicode_CheckExact(v.ptr()); }
bool is_int(nb::handle v) { return v.is_valid() && PyLong_CheckExact(v.ptr()); }
bool is_number(nb::handle v) {
    return v.is_valid() && (PyLong_CheckExact(v.ptr()) || PyFloat_CheckExact(v.ptr()));
}
// An int (no bool) from lo to hi.
bool int_in(nb::handle v, long long lo, long long hi) {
    return is_int(v) && nb::cast<long long>(v) >= lo && nb::cast<long long>(v) <= hi;
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
                if (!int_in(v, 1, 100000)) return std::nullopt;
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
                    if (!int_in(track, 1, desc.audio_tracks)) return std::nullopt;
                    if (level.is_valid() && !is_number(level)) return std::nullopt;
                    if (duck.is_valid() && !int_in(duck, 0, desc.audio_tracks)) return std::nullopt;
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
        nb::object text =
            import("pathlib").attr("Path")(path).attr("read_text")(nb::arg("encoding") = "utf-8");
        doc = import("json").attr("loads")(text);
    } catch (nb::python_error& e) {
        // Not a readable text file of JSON (a missing file, a folder, a zip archive...).
        if (e.matches(PyExc_Exception)) return std::nullopt;
        throw;
    }
    return template_of(doc);
}

}  // namespace vestrel::bind::resolve_sim
