#include "core/render.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>

namespace vestrel::render {

namespace {

using resolve_sim::ClipKind;
using resolve_sim::Tool;
using resolve_sim::Value;

constexpr int kSampleRate = 48000;

std::string num(double x) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6f", x);
    return buf;
}

std::string rate_arg(Rational r) { return std::to_string(r.num) + "/" + std::to_string(r.den); }

double seconds(int64_t frames, Rational rate) {
    return static_cast<double>(frames) * static_cast<double>(rate.den) /
           static_cast<double>(rate.num);
}

// Samples at 48 kHz in `frames` frames, rounded to the nearest sample.
int64_t samples(int64_t frames, Rational rate) {
    const __int128 n = static_cast<__int128>(frames) * kSampleRate * rate.den;
    return static_cast<int64_t>((2 * n + rate.num) / (2 * rate.num));
}

std::optional<double> number_input(const Tool& t, const char* key) {
    const Value* v = t.input(key);
    if (!v) return std::nullopt;
    if (const double* d = std::get_if<double>(v)) return *d;
    return std::nullopt;
}

std::optional<std::string> text_input(const Tool& t, const char* key) {
    const Value* v = t.input(key);
    if (!v) return std::nullopt;
    if (const std::string* s = std::get_if<std::string>(v)) return *s;
    return std::nullopt;
}

double clamp01(double x) { return std::clamp(x, 0.0, 1.0); }

void colour_inputs(const Tool& t, Rgba& c, const char* r, const char* g, const char* b,
                   const char* a) {
    if (auto v = number_input(t, r)) c.r = clamp01(*v);
    if (auto v = number_input(t, g)) c.g = clamp01(*v);
    if (auto v = number_input(t, b)) c.b = clamp01(*v);
    if (a)
        if (auto v = number_input(t, a)) c.a = clamp01(*v);
}

// &HAABBGGRR, alpha counted as transparency.
std::string ass_colour(const Rgba& c) {
    auto byte = [](double x) { return static_cast<int>(std::lround(clamp01(x) * 255.0)); };
    char buf[16];
    std::snprintf(buf, sizeof buf, "&H%02X%02X%02X%02X", 255 - byte(c.a), byte(c.b), byte(c.g),
                  byte(c.r));
    return buf;
}

std::string hex_colour(const Rgba& c) {
    auto byte = [](double x) { return static_cast<int>(std::lround(clamp01(x) * 255.0)); };
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%02X%02X%02X", byte(c.r), byte(c.g), byte(c.b));
    return buf;
}

// A title's text as ASS dialogue text: line breaks become \N; a backslash or a brace never
// starts an override (a word joiner after a backslash, braces escaped as libass reads them).
std::string ass_text(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') continue;
        if (c == '\n') {
            out += "\\N";
        } else if (c == '\\') {
            out += "\\\xE2\x81\xA0";  // U+2060 WORD JOINER
        } else if (c == '{' || c == '}') {
            out += '\\';
            out += c;
        } else {
            out += c;
        }
    }
    return out;
}

std::string style_line(const std::string& name, const TitleStyle& s, int width) {
    const FontFace face = face_of_style(s.style).value_or(FontFace{});
    const double w = width;
    const int margin = static_cast<int>(std::lround((1.0 - std::clamp(s.wrap_width, 0.05, 1.0)) / 2 * w));
    std::ostringstream o;
    o << "Style: " << name << "," << s.font << "," << num(std::max(1.0, s.size * w * s.line_per_em)) << ","
      << ass_colour(s.fill) << "," << ass_colour(s.fill) << "," << ass_colour(s.outline) << ","
      << ass_colour(s.shadow) << "," << face.weight << "," << (face.italic ? -1 : 0)
      << ",0,0,100,100,0,0,1," << num(std::max(0.0, s.outline_thickness * w)) << ","
      << num(std::max(0.0, s.shadow_offset * w)) << ",5," << margin << "," << margin << ",0,1\n";
    return o.str();
}

std::string script_head(int width, int height) {
    std::ostringstream o;
    o << "[Script Info]\nScriptType: v4.00+\nPlayResX: " << width << "\nPlayResY: " << height
      << "\nWrapStyle: 0\nScaledBorderAndShadow: yes\nYCbCr Matrix: None\n\n[V4+ Styles]\n"
         "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, "
         "BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, "
         "BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding\n";
    return o.str();
}

const char* kEventsHead =
    "\n[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, "
    "Text\n";

std::string dialogue(const VideoLayer& t, const std::string& style, const std::string& start,
                     const std::string& end, int width, int height) {
    const long x = std::lround(std::clamp(t.style.center_x, 0.0, 1.0) * width);
    const long y = std::lround((1.0 - std::clamp(t.style.center_y, 0.0, 1.0)) * height);
    return "Dialogue: " + std::to_string(t.track) + "," + start + "," + end + "," + style +
           ",,0,0,0,,{\\pos(" + std::to_string(x) + "," + std::to_string(y) + ")}" +
           ass_text(t.text) + "\n";
}

std::string h_mm_ss_cc(int64_t cs) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld.%02lld", static_cast<long long>(cs / 360000),
                  static_cast<long long>(cs / 6000 % 60), static_cast<long long>(cs / 100 % 60),
                  static_cast<long long>(cs % 100));
    return buf;
}

}  // namespace

// ---- styles -------------------------------------------------------------------------------

std::optional<FontFace> face_of_style(const std::string& style) {
    static const std::map<std::string, int> weights = {
        {"thin", 100},       {"hairline", 100},  {"extralight", 200}, {"ultralight", 200},
        {"light", 300},      {"regular", 400},   {"normal", 400},     {"book", 400},
        {"medium", 500},     {"semibold", 600},  {"demibold", 600},   {"bold", 700},
        {"extrabold", 800},  {"ultrabold", 800}, {"black", 900},      {"heavy", 900}};
    FontFace face;
    std::istringstream in(style);
    std::string word, pending;
    while (in >> word) {
        std::transform(word.begin(), word.end(), word.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (word == "extra" || word == "ultra" || word == "semi" || word == "demi") {
            pending += word;
            continue;
        }
        word = pending + word;
        pending.clear();
        if (word == "italic" || word == "oblique") {
            face.italic = true;
            continue;
        }
        auto it = weights.find(word);
        if (it == weights.end()) return std::nullopt;
        face.weight = it->second;
    }
    if (!pending.empty()) return std::nullopt;
    return face;
}

const std::vector<const char*> kTitleStyleInputs = {
    "Font",  "Style", "Size",   "Center", "CenterX", "WrapWidth", "Red1",   "Green1", "Blue1",
    "Alpha1", "Red2", "Green2", "Blue2",  "Alpha2",  "Thickness2", "Red3",  "Green3", "Blue3",
    "Alpha3", "Offset3"};

TitleStyle style_from_tool(const Tool& tool) {
    TitleStyle s;
    if (auto v = text_input(tool, "Font")) s.font = *v;
    if (auto v = text_input(tool, "Style")) s.style = *v;
    if (auto v = number_input(tool, "Size")) s.size = *v;
    if (auto v = number_input(tool, "Center")) s.center_y = *v;
    if (auto v = number_input(tool, "CenterX")) s.center_x = *v;
    if (auto v = number_input(tool, "WrapWidth")) s.wrap_width = *v;
    colour_inputs(tool, s.fill, "Red1", "Green1", "Blue1", "Alpha1");
    colour_inputs(tool, s.outline, "Red2", "Green2", "Blue2", "Alpha2");
    if (auto v = number_input(tool, "Thickness2")) s.outline_thickness = *v;
    colour_inputs(tool, s.shadow, "Red3", "Green3", "Blue3", "Alpha3");
    if (auto v = number_input(tool, "Offset3")) s.shadow_offset = *v;
    return s;
}

// ---- snapshot -----------------------------------------------------------------------------

Snapshot snapshot_of(const resolve_sim::Timeline& tl) {
    Snapshot s;
    s.timeline_name = tl.name;
    s.width = tl.width;
    s.height = tl.height;
    s.rate = tl.rate;
    s.frames = tl.end_frame() - tl.start_frame;
    for (size_t ti = 0; ti < tl.video.size(); ++ti) {
        for (const auto& item : tl.video[ti]) {
            const resolve_sim::Clip& clip = *item->clip;
            VideoLayer l;
            l.track = static_cast<int>(ti + 1);
            l.start = item->start - tl.start_frame;
            l.duration = item->duration;
            l.name = item->name;
            if (clip.kind == ClipKind::Video) {
                l.kind = VideoLayer::Kind::Media;
                l.path = clip.file_path;
                l.source_offset = seconds(item->left_offset, clip.rate);
            } else if (clip.kind == ClipKind::Title) {
                if (item->comps.empty()) continue;
                auto tool = item->comps.front()->find_tool("Template");
                if (!tool) continue;
                auto text = text_input(*tool, "StyledText");
                if (!text || text->empty()) continue;
                l.kind = VideoLayer::Kind::Title;
                l.text = *text;
                l.style = style_from_tool(*tool);
            } else if (clip.kind == ClipKind::Generator) {
                if (item->comps.empty()) continue;
                std::shared_ptr<Tool> bg;
                for (const auto& t : item->comps.front()->tools)
                    if (t->reg_id == "Background") bg = t;
                if (!bg) continue;
                l.kind = VideoLayer::Kind::Colour;
                l.colour = Rgba{0, 0, 0, 1};
                colour_inputs(*bg, l.colour, "TopLeftRed", "TopLeftGreen", "TopLeftBlue", nullptr);
                l.alpha_start = clamp01(number_input(*bg, "StartAlpha").value_or(1.0));
                l.alpha_end = clamp01(number_input(*bg, "EndAlpha").value_or(1.0));
                l.ramp_frames = std::max<int64_t>(clip.frames, 1);
                l.ramp_offset = item->left_offset;
            } else {
                continue;
            }
            s.video.push_back(std::move(l));
        }
    }
    for (size_t ti = 0; ti < tl.audio.size(); ++ti) {
        for (const auto& item : tl.audio[ti]) {
            AudioLayer a;
            a.track = static_cast<int>(ti + 1);
            a.start = item->start - tl.start_frame;
            a.duration = item->duration;
            a.path = item->clip->file_path;
            a.source_offset = seconds(item->left_offset, item->clip->rate);
            s.audio.push_back(std::move(a));
        }
    }
    s.audio_tracks = tl.audio_mix;
    s.audio_tracks.resize(tl.audio.size());
    return s;
}

std::optional<Quality> quality_of(const std::string& text) {
    static const std::pair<const char*, int> named[] = {
        {"Least", 30}, {"Low", 27}, {"Medium", 24}, {"High", 21}, {"Best", 18}, {"Automatic", 22}};
    if (text.empty()) return Quality{};
    for (const auto& [name, crf] : named)
        if (text == name) return Quality{crf, 0};
    if (!std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }) ||
        text.size() > 7)
        return std::nullopt;
    const int kbps = std::stoi(text);
    return kbps == 0 ? Quality{} : Quality{kDefaultCrf, kbps};
}

// ---- timing -------------------------------------------------------------------------------

std::string ass_time(int64_t frame, Rational rate) {
    if (frame <= 0) return h_mm_ss_cc(0);
    // Halfway between the frame before and this one, in centiseconds: far enough from both
    // frame times that the rounding of either side cannot move the boundary.
    const __int128 twice_ms = static_cast<__int128>(2 * frame - 1) * 1000 * rate.den;
    const __int128 denom = static_cast<__int128>(2) * rate.num;  // ms = twice_ms / denom
    const int64_t cs = static_cast<int64_t>((twice_ms + denom * 5) / (denom * 10));
    return h_mm_ss_cc(cs);
}

std::optional<int64_t> progress_frame(const std::string& line) {
    if (line.rfind("frame=", 0) != 0) return std::nullopt;
    const std::string v = line.substr(6);
    if (v.empty() || !std::all_of(v.begin(), v.end(), [](unsigned char c) {
            return std::isdigit(c) || c == ' ' || c == '\r';
        }))
        return std::nullopt;
    try {
        return std::stoll(v);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string file_arg(const std::string& path) { return "file:" + path; }

// prefix followed by the number, built by appending (the "T" + to_string(n) form trips a
// false -Wrestrict in GCC 12's string insert).
std::string numbered(const char* prefix, size_t n) {
    std::string s = prefix;
    s += std::to_string(n);
    return s;
}

// ---- scripts ------------------------------------------------------------------------------

std::string ass_script(const std::vector<const VideoLayer*>& titles, int width, int height,
                       Rational rate) {
    std::string out = script_head(width, height);
    for (size_t i = 0; i < titles.size(); ++i)
        out += style_line(numbered("T", i + 1), titles[i]->style, width);
    out += kEventsHead;
    for (size_t i = 0; i < titles.size(); ++i) {
        const VideoLayer& t = *titles[i];
        out += dialogue(t, numbered("T", i + 1), ass_time(t.start, rate),
                        ass_time(t.start + t.duration, rate), width, height);
    }
    return out;
}

std::string single_title_script(const VideoLayer& title, int width, int height) {
    return script_head(width, height) + style_line("T1", title.style, width) + kEventsHead +
           dialogue(title, "T1", "0:00:00.00", "9:00:00.00", width, height);
}

std::vector<std::string> title_png_args(int width, int height, const std::string& png_path) {
    return {"-nostdin", "-hide_banner", "-v", "error", "-y", "-f", "lavfi", "-i",
            "color=c=black@0.0:s=" + std::to_string(width) + "x" + std::to_string(height) +
                ":r=1,format=rgba",
            "-vf", "ass=filename=title.ass:alpha=1", "-frames:v", "1", "-f", "image2",
            "-c:v", "png", file_arg(png_path)};
}

// ---- plan ---------------------------------------------------------------------------------

Plan plan(const Snapshot& s, const Output& out) {
    if (s.frames <= 0)
        throw PlanError("Nothing to render: timeline '" + s.timeline_name + "' is empty");
    if (!out.video && !out.audio)
        throw PlanError("Nothing to render: neither video nor audio is exported");
    if (s.rate.num <= 0 || s.rate.den <= 0 || s.rate.value() > 90.0)
        throw PlanError("Unsupported frame rate: " + frames::rate_text(s.rate));
    const int W = out.width > 0 ? out.width : s.width;
    const int H = out.height > 0 ? out.height : s.height;
    if (W <= 0 || H <= 0 || W % 2 || H % 2)
        throw PlanError("Unsupported output size: " + std::to_string(W) + "x" +
                        std::to_string(H) + " (width and height must be even)");
    if (out.codec != "H264" && out.codec != "H265")
        throw PlanError("Unsupported render codec: " + out.codec);

    // Compose at the output size when the shape is the timeline's (titles scale with it);
    // otherwise at the timeline's size, fitted into the output at the end.
    const bool same_shape = static_cast<int64_t>(W) * s.height == static_cast<int64_t>(H) * s.width;
    const int CW = same_shape ? W : s.width + s.width % 2;
    const int CH = same_shape ? H : s.height + s.height % 2;
    const std::string size = std::to_string(CW) + "x" + std::to_string(CH);
    const std::string R = rate_arg(s.rate);
    const int64_t N = s.frames;

    Plan p;
    p.frames = out.video ? N : 0;
    p.args = {"-nostdin", "-hide_banner", "-v", "error", "-y", "-progress", "pipe:1", "-nostats"};
    std::vector<std::string> chains;
    int inputs = 0;
    auto add_input = [&](const std::string& path, double offset, double length) {
        p.args.insert(p.args.end(), {"-ss", num(offset), "-t", num(length), "-i", file_arg(path)});
        if (std::find(p.sources.begin(), p.sources.end(), path) == p.sources.end())
            p.sources.push_back(path);
        return inputs++;
    };

    if (out.video) {
        std::vector<const VideoLayer*> layers;
        for (const VideoLayer& l : s.video)
            if (l.duration > 0 && l.start < N && l.start + l.duration > 0) layers.push_back(&l);
        std::stable_sort(layers.begin(), layers.end(), [](const VideoLayer* a, const VideoLayer* b) {
            return a->track != b->track ? a->track < b->track : a->start < b->start;
        });

        chains.push_back("color=c=black:s=" + size + ":r=" + R + ",trim=end_frame=" +
                         std::to_string(N) + ",format=yuv420p,setsar=1[v0]");
        std::string current = "v0";
        int label = 0;
        auto next = [&] { return numbered("v", ++label); };
        auto overlay = [&](const std::string& layer) {
            const std::string to = next();
            // The layer's own timestamps place it: it starts at its first frame and, once it
            // ends, the layers below show through (eof_action=pass).
            chains.push_back("[" + current + "][" + layer + "]overlay=eof_action=pass[" + to + "]");
            current = to;
        };

        std::vector<const VideoLayer*> titles;
        auto flush_titles = [&] {
            if (titles.empty()) return;
            const std::string name = "titles-" + std::to_string(p.scripts.size() + 1) + ".ass";
            p.scripts.emplace_back(name, ass_script(titles, s.width, s.height, s.rate));
            const std::string to = next();
            chains.push_back("[" + current + "]ass=filename=" + name + "[" + to + "]");
            current = to;
            titles.clear();
        };

        for (const VideoLayer* lp : layers) {
            const VideoLayer& l = *lp;
            if (l.kind == VideoLayer::Kind::Title) {
                if (!face_of_style(l.style.style))
                    throw PlanError("Unknown font style '" + l.style.style + "' of title '" +
                                    l.name + "'");
                titles.push_back(lp);
                const std::pair<std::string, std::string> font{l.style.font, l.style.style};
                if (std::find(p.fonts.begin(), p.fonts.end(), font) == p.fonts.end())
                    p.fonts.push_back(font);
                continue;
            }
            // Titles below this layer's track are drawn before it covers them.
            if (!titles.empty() && titles.back()->track < l.track) flush_titles();
            const std::string layer = "l" + std::to_string(&l - s.video.data());
            const std::string start = std::to_string(l.start);
            const std::string dur = std::to_string(l.duration);
            if (l.kind == VideoLayer::Kind::Media) {
                const int in = add_input(l.path, l.source_offset, seconds(l.duration + 1, s.rate));
                chains.push_back(
                    "[" + std::to_string(in) + ":v]setpts=PTS-STARTPTS,crop=w='min(iw,ih*" +
                    std::to_string(CW) + "/" + std::to_string(CH) + ")':h='min(ih,iw*" +
                    std::to_string(CH) + "/" + std::to_string(CW) + ")',scale=" +
                    std::to_string(CW) + ":" + std::to_string(CH) + ",setsar=1,fps=" + R +
                    ",tpad=stop_mode=clone:stop=-1,trim=end_frame=" + dur +
                    ",setpts=PTS+" + start + "[" + layer + "]");
            } else {
                const double a0 = l.alpha_start, a1 = l.alpha_end;
                if (a0 == 0.0 && a1 == 0.0) continue;  // fully transparent
                const bool black = l.colour.r == 0.0 && l.colour.g == 0.0 && l.colour.b == 0.0;
                if (black && std::min(a0, a1) == 0.0 && std::max(a0, a1) == 1.0 &&
                    l.start >= l.ramp_offset) {
                    // Black running to or from full opacity darkens what is below it exactly
                    // as ffmpeg's fade does, in place and without a layer to blend: frame f
                    // keeps (f - s) / n of itself, counted from the clip's first frame s.
                    const std::string to = next();
                    chains.push_back("[" + current + "]fade=t=" + (a0 > a1 ? "in" : "out") +
                                     ":s=" + std::to_string(l.start - l.ramp_offset) +
                                     ":n=" + std::to_string(l.ramp_frames) +
                                     ":enable='between(n," + start + "," +
                                     std::to_string(l.start + l.duration - 1) + ")'[" + to + "]");
                    current = to;
                    continue;
                }
                std::string fade;
                if (a0 != a1) {
                    if (std::min(a0, a1) != 0.0)
                        throw PlanError("Colour clip '" + l.name +
                                        "': its opacity must start or end at 0");
                    fade = std::string(",fade=t=") + (a0 < a1 ? "in" : "out") +
                           ":s=0:n=" + std::to_string(l.ramp_frames) + ":alpha=1";
                }
                Rgba c = l.colour;
                chains.push_back("color=c=" + hex_colour(c) + "@" + num(std::max(a0, a1)) +
                                 ":s=" + size + ":r=" + R + ",format=yuva420p" + fade +
                                 ",trim=start_frame=" + std::to_string(l.ramp_offset) +
                                 ":end_frame=" + std::to_string(l.ramp_offset + l.duration) +
                                 ",setpts=PTS-STARTPTS+" + start + "[" + layer + "]");
            }
            overlay(layer);
        }
        flush_titles();
        std::string fit = same_shape ? "" :
            "scale=" + std::to_string(W) + ":" + std::to_string(H) +
            ":force_original_aspect_ratio=decrease,pad=" + std::to_string(W) + ":" +
            std::to_string(H) + ":(ow-iw)/2:(oh-ih)/2,setsar=1,";
        chains.push_back("[" + current + "]" + fit + "format=yuv420p[vout]");
    }

    if (out.audio) {
        chains.push_back("anullsrc=r=" + std::to_string(kSampleRate) +
                         ":cl=stereo,atrim=end_sample=" + std::to_string(samples(N, s.rate)) +
                         "[a0]");
        // Each track's items, placed at their frames, mixed, at the track's level.
        std::map<int, std::vector<std::string>> by_track;
        for (size_t i = 0; i < s.audio.size(); ++i) {
            const AudioLayer& a = s.audio[i];
            if (a.duration <= 0 || a.start >= N) continue;
            const int in = add_input(a.path, a.source_offset, seconds(a.duration, s.rate) + 0.1);
            const std::string label = "a" + std::to_string(i + 1);
            chains.push_back("[" + std::to_string(in) + ":a]aresample=" +
                             std::to_string(kSampleRate) +
                             ",aformat=sample_fmts=fltp:channel_layouts=stereo,apad,atrim=end_sample=" +
                             std::to_string(samples(a.duration, s.rate)) + ",adelay=delays=" +
                             std::to_string(samples(a.start, s.rate)) + "S:all=1[" + label + "]");
            by_track[a.track].push_back(label);
        }
        std::map<int, std::string> track_out;
        std::map<int, int> uses;
        for (const auto& [track, labels] : by_track) {
            const resolve_sim::AudioTrackMix mix =
                track >= 1 && track <= static_cast<int>(s.audio_tracks.size())
                    ? s.audio_tracks[static_cast<size_t>(track - 1)]
                    : resolve_sim::AudioTrackMix{};
            std::string in;
            for (const auto& l : labels) in += "[" + l + "]";
            const std::string label = "t" + std::to_string(track);
            std::string chain = labels.size() > 1
                                    ? in + "amix=inputs=" + std::to_string(labels.size()) +
                                          ":duration=longest:normalize=0,"
                                    : in;
            chains.push_back(chain + "volume=" + num(mix.level_db) + "dB[" + label + "]");
            track_out[track] = label;
            uses[track] = 1;
        }
        for (const auto& [track, label] : track_out) {
            const int key = track <= static_cast<int>(s.audio_tracks.size())
                                ? s.audio_tracks[static_cast<size_t>(track - 1)].duck_under
                                : 0;
            if (key > 0 && key != track && track_out.count(key)) ++uses[key];
        }
        // Tracks used twice (heard, and lowering another track) are split.
        std::map<int, std::vector<std::string>> copies;
        for (const auto& [track, label] : track_out) {
            if (uses[track] == 1) {
                copies[track] = {label};
                continue;
            }
            std::string chain = "[" + label + "]asplit=" + std::to_string(uses[track]);
            for (int i = 0; i < uses[track]; ++i) {
                copies[track].push_back(label + "c" + std::to_string(i));
                chain += "[" + copies[track].back() + "]";
            }
            chains.push_back(chain);
        }
        std::string mix_in = "[a0]";
        for (const auto& [track, label] : track_out) {
            const int key = track <= static_cast<int>(s.audio_tracks.size())
                                ? s.audio_tracks[static_cast<size_t>(track - 1)].duck_under
                                : 0;
            std::string heard = copies[track].front();
            if (key > 0 && key != track && track_out.count(key)) {
                const std::string k = copies[key].back();
                copies[key].pop_back();
                chains.push_back("[" + k + "]apad[" + k + "p]");
                chains.push_back("[" + heard + "][" + k +
                                 "p]sidechaincompress=threshold=0.02:ratio=6:attack=20:"
                                 "release=400[" + label + "d]");
                heard = label + "d";
            }
            mix_in += "[" + heard + "]";
        }
        chains.push_back(mix_in + "amix=inputs=" + std::to_string(track_out.size() + 1) +
                         ":duration=first:normalize=0[aout]");
    }

    std::string graph;
    for (const auto& c : chains) graph += (graph.empty() ? "" : ";") + c;
    p.args.insert(p.args.end(), {"-filter_complex", graph});
    if (out.video) {
        p.args.insert(p.args.end(), {"-map", "[vout]"});
        if (out.codec == "H265")
            p.args.insert(p.args.end(), {"-c:v", "libx265", "-tag:v", "hvc1"});
        else
            p.args.insert(p.args.end(), {"-c:v", "libx264"});
        p.args.insert(p.args.end(), {"-preset", kX264Preset});
        if (out.bitrate_kbps > 0)
            p.args.insert(p.args.end(), {"-b:v", std::to_string(out.bitrate_kbps) + "k"});
        else
            p.args.insert(p.args.end(), {"-crf", std::to_string(out.crf)});
        p.args.insert(p.args.end(), {"-pix_fmt", "yuv420p", "-r", R});
    }
    if (out.audio)
        p.args.insert(p.args.end(), {"-map", "[aout]", "-c:a", "aac", "-b:a", "160k", "-ar",
                                     std::to_string(kSampleRate)});
    p.args.insert(p.args.end(), {"-movflags", "+faststart", "-f", "mp4", file_arg(out.path)});
    return p;
}

}  // namespace vestrel::render
