#include "core/sim_template.hpp"

namespace vestrel::resolve_sim {

namespace {

using T = Json::Type;

bool is_text(const Json* v) { return v && v->type == T::Text; }
bool is_int(const Json* v) { return v && v->type == T::Int; }
bool is_number(const Json* v) { return v && (v->type == T::Int || v->type == T::Float); }
bool int_in(const Json* v, int64_t lo, int64_t hi) {
    return is_int(v) && v->integer >= lo && v->integer <= hi;
}

// Settings are kept as text: a text, or an integer written out.
std::optional<std::string> setting_text(const Json* v) {
    if (is_text(v)) return v->text;
    if (is_int(v)) return v->text;
    return std::nullopt;
}

std::optional<std::vector<ToolDef>> tools_of(const Json* list) {
    std::vector<ToolDef> tools;
    if (!list) return tools;
    if (list->type != T::List) return std::nullopt;
    for (const Json& t : list->items) {
        if (t.type != T::Object) return std::nullopt;
        const Json *name = t.get("name"), *reg = t.get("regId"), *inputs = t.get("inputs");
        if (!is_text(name) || (reg && !is_text(reg))) return std::nullopt;
        ToolDef desc{name->text, reg ? reg->text : "", {}};
        if (inputs) {
            if (inputs->type != T::Object) return std::nullopt;
            for (const auto& [k, v] : inputs->members) {
                if (is_text(&v))
                    desc.inputs.emplace_back(k, v.text);
                else if (is_number(&v))
                    desc.inputs.emplace_back(k, v.number);
                else
                    return std::nullopt;
            }
        }
        tools.push_back(std::move(desc));
    }
    return tools;
}

std::optional<TimelineDef> timeline_of(const Json& tl) {
    if (tl.type != T::Object) return std::nullopt;
    TimelineDef desc;
    const Json* name = tl.get("name");
    if (!is_text(name)) return std::nullopt;
    desc.name = name->text;
    if (const Json* rate = tl.get("frameRate")) {
        auto text = setting_text(rate);
        if (!text || !frames::rate_from_text(*text)) return std::nullopt;
        desc.rate_text = *text;
    }
    for (auto [key, field] : {std::pair{"width", &desc.width}, {"height", &desc.height},
                              {"videoTracks", &desc.video_tracks},
                              {"audioTracks", &desc.audio_tracks}}) {
        const Json* v = tl.get(key);
        if (!v) continue;
        if (!int_in(v, 1, 100000)) return std::nullopt;
        *field = static_cast<int>(v->integer);
    }
    // "audioMix": [{"track": 2, "level": -14.0, "duckUnder": 1}, ...]: a track's level in dB
    // and the track whose sound lowers it.
    if (const Json* mix = tl.get("audioMix")) {
        if (mix->type != T::List) return std::nullopt;
        for (const Json& m : mix->items) {
            if (m.type != T::Object) return std::nullopt;
            const Json *track = m.get("track"), *level = m.get("level"), *duck = m.get("duckUnder");
            if (!int_in(track, 1, desc.audio_tracks)) return std::nullopt;
            if (level && !is_number(level)) return std::nullopt;
            if (duck && !int_in(duck, 0, desc.audio_tracks)) return std::nullopt;
            const size_t index = static_cast<size_t>(track->integer) - 1;
            if (desc.audio_mix.size() <= index) desc.audio_mix.resize(index + 1);
            if (level) desc.audio_mix[index].level_db = level->number;
            if (duck) desc.audio_mix[index].duck_under = static_cast<int>(duck->integer);
        }
    }
    return desc;
}

std::optional<ClipDef> clip_of(const Json& c) {
    if (c.type != T::Object) return std::nullopt;
    const Json *name = c.get("name"), *type = c.get("type"), *dur = c.get("duration");
    if (!is_text(name) || !is_text(type)) return std::nullopt;
    ClipDef desc;
    desc.name = name->text;
    if (type->text == "title")
        desc.kind = ClipKind::Title;
    else if (type->text == "generator")
        desc.kind = ClipKind::Generator;
    else
        return std::nullopt;
    if (dur) {
        if (!is_number(dur) || dur->number <= 0.0) return std::nullopt;
        desc.duration = dur->number;
    }
    auto tools = tools_of(c.get("fusion"));
    if (!tools) return std::nullopt;
    desc.fusion = std::move(*tools);
    return desc;
}

}  // namespace

const Json* Json::get(std::string_view key) const {
    for (const auto& [k, v] : members)
        if (k == key) return &v;
    return nullptr;
}

std::optional<ProjectTemplate> template_of(const Json& doc) {
    if (doc.type != T::Object) return std::nullopt;
    const Json *format = doc.get("format"), *version = doc.get("version");
    if (!is_text(format) || format->text != kTemplateFormat) return std::nullopt;
    if (!is_int(version) || version->integer != 1) return std::nullopt;

    ProjectTemplate t;
    if (const Json* settings = doc.get("settings")) {
        if (settings->type != T::Object) return std::nullopt;
        for (const auto& [k, v] : settings->members) {
            auto text = setting_text(&v);
            if (!text) return std::nullopt;
            t.settings.emplace_back(k, *text);
        }
    }
    if (const Json* timelines = doc.get("timelines")) {
        if (timelines->type != T::List) return std::nullopt;
        for (const Json& tl : timelines->items) {
            auto desc = timeline_of(tl);
            if (!desc) return std::nullopt;
            t.timelines.push_back(std::move(*desc));
        }
    }
    if (const Json* cur = doc.get("currentTimeline")) {
        if (!is_text(cur)) return std::nullopt;
        t.current_timeline = cur->text;
    }
    if (const Json* pool = doc.get("mediaPool")) {
        if (pool->type != T::List) return std::nullopt;
        for (const Json& c : pool->items) {
            auto desc = clip_of(c);
            if (!desc) return std::nullopt;
            t.clips.push_back(std::move(*desc));
        }
    }
    return t;
}

}  // namespace vestrel::resolve_sim
