#include "core/subtitles.hpp"

#include <cstdio>

namespace vestrel::subtitles {

namespace {

// The text's lines without empty ones and without carriage returns.
std::string cue_text(const std::string& text) {
    std::string out, line;
    auto flush = [&] {
        if (line.find_first_not_of(" \t") == std::string::npos) {
            line.clear();
            return;
        }
        if (!out.empty()) out += '\n';
        out += line;
        line.clear();
    };
    for (char c : text) {
        if (c == '\r') continue;
        if (c == '\n')
            flush();
        else
            line += c;
    }
    flush();
    return out;
}

}  // namespace

std::string srt_time(int64_t frame, Rational rate) {
    if (frame < 0 || rate.num <= 0) frame = 0;
    // floor(frame * 1000 * den / num), exact in 128 bits.
    const __int128 ms128 =
        static_cast<__int128>(frame) * 1000 * rate.den / (rate.num > 0 ? rate.num : 1);
    const long long ms = static_cast<long long>(ms128);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld,%03lld", ms / 3600000, ms / 60000 % 60,
                  ms / 1000 % 60, ms % 1000);
    return buf;
}

std::string srt(const std::vector<Cue>& cues, Rational rate) {
    std::string out;
    int n = 0;
    for (const Cue& c : cues) {
        if (c.end <= c.start) continue;
        const std::string text = cue_text(c.text);
        if (!out.empty()) out += '\n';
        out += std::to_string(++n) + '\n' + srt_time(c.start, rate) + " --> " +
               srt_time(c.end, rate) + '\n' + text + '\n';
    }
    return out;
}

std::string ass(const std::vector<Cue>& cues, const render::TitleStyle& style, int width,
                int height, Rational rate) {
    std::vector<render::VideoLayer> layers;
    for (const Cue& c : cues) {
        if (c.end <= c.start) continue;
        render::VideoLayer l;
        l.kind = render::VideoLayer::Kind::Title;
        l.track = 1;
        l.start = c.start;
        l.duration = c.end - c.start;
        l.text = c.text;
        l.style = style;
        layers.push_back(std::move(l));
    }
    std::vector<const render::VideoLayer*> titles;
    for (const auto& l : layers) titles.push_back(&l);
    return render::ass_script(titles, width, height, rate);
}

}  // namespace vestrel::subtitles
