#include "core/edit.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>

namespace vestrel::edit {

void set_scenes_duration(std::vector<SceneTimes>& scenes) {
    if (scenes.empty()) return;
    SceneTimes& first = scenes.front();
    first.start = 0.0;
    first.fade_in = kFirstFadeIn;
    first.fade_in_set = true;

    const size_t n = scenes.size();
    for (size_t i = 0; i < n; ++i) {
        SceneTimes& scene = scenes[i];
        if (i + 1 == n) {
            scene.end += kTailAfterLastCaption;
            break;
        }
        // The next scene's start is still its caption start: only this step moves it.
        SceneTimes& next = scenes[i + 1];
        const double pause = next.start - scene.end;
        if (pause >= kLongPause) {
            const double half = pause / 2;
            scene.end += half;
            next.start = scene.end;
            scene.fade_out = half;
            scene.fade_out_set = true;
            next.fade_in = half;
            next.fade_in_set = true;
        } else {
            scene.end = next.start;
        }
    }
}

std::optional<double> fade_clip_key(double length) {
    std::optional<double> key;
    for (const FadeClip& clip : kFadeClips)
        if (length >= clip.key) key = clip.key;
    return key;
}

const char* fade_in_clip(double key) {
    for (const FadeClip& clip : kFadeClips)
        if (clip.key == key) return clip.fade_in;
    return nullptr;
}

const char* fade_out_clip(double key) {
    for (const FadeClip& clip : kFadeClips)
        if (clip.key == key) return clip.fade_out;
    return nullptr;
}

bool is_counter_line(std::string_view text) { return text.starts_with(kCounterMarker); }

std::string counter_word(std::string_view text) {
    if (text.starts_with(kCounterMarker)) text.remove_prefix(kCounterMarker.size());
    if (text.ends_with('.')) text.remove_suffix(1);
    return std::string(text);
}

std::optional<std::string> counter_for(std::string_view lower_word) {
    for (const CounterEntry& entry : kCounterMap)
        if (lower_word == entry.word) return std::string(entry.shown);
    return std::nullopt;
}

std::string clean_caption(std::string_view text) {
    // The three removed characters are ASCII, so byte-wise removal keeps the UTF-8 intact.
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '.' && c != ',' && c != '"') out.push_back(c);
    return out;
}

double duration_to(double start, double end) {
    double d = end - start;
    // start + (end - start) can round to just above `end` (0.03 + (0.34 - 0.03) is
    // 0.34000000000000002), and no duration may add up to `end` exactly; step d down until the
    // sum no longer passes `end`. Rounding is monotonic, so the end frame then never passes
    // the frame of `end`.
    while (start + d > end) d = std::nextafter(d, -std::numeric_limits<double>::infinity());
    return d;
}

void separate_overlaps(std::vector<Placement>& placements) {
    // Starts of the placed items per track, to find the next later start of each item.
    std::map<int, std::vector<double>> starts;
    auto placed = [](const Placement& p) {
        // A fade without a clip is never placed (the assembly fails there).
        const bool fade = p.kind == Placement::Kind::FadeIn || p.kind == Placement::Kind::FadeOut;
        return !fade || p.key.has_value();
    };
    for (const Placement& p : placements)
        if (placed(p)) starts[p.track].push_back(p.start);
    for (auto& [track, list] : starts) std::sort(list.begin(), list.end());

    for (Placement& p : placements) {
        if (!placed(p)) continue;
        const std::vector<double>& list = starts[p.track];
        // The earliest start strictly after this item's start.
        auto it = std::upper_bound(list.begin(), list.end(), p.start);
        if (it == list.end() || *it > p.end) continue;
        // Overlapping: end where the later item begins. Touching: keep the length, but never
        // let start + duration come out past the later start, so that rounding to frames cannot
        // push this item one frame into the next (the duration then differs from end - start
        // by an ulp or two, and only where end - start does not add back up to the end).
        p.clipped = *it < p.end;
        p.duration = duration_to(p.start, *it);
        p.end = *it;
    }
}

std::vector<Placement> plan_placements(const std::vector<PlanScene>& scenes) {
    using Kind = Placement::Kind;
    std::vector<Placement> plan;
    const size_t n = scenes.size();

    // For each scene, the first later scene that holds a counter line (n when none).
    std::vector<size_t> next_counter_scene(n, n);
    for (size_t i = n; i-- > 1;) {
        const bool has_counter = std::any_of(scenes[i].lines.begin(), scenes[i].lines.end(),
                                             [](const PlanLine& l) { return l.counter; });
        next_counter_scene[i - 1] = has_counter ? i : next_counter_scene[i];
    }

    for (size_t i = 0; i < n; ++i) {
        const PlanScene& s = scenes[i];
        const double duration = s.end - s.start;
        plan.push_back({Kind::Background, i, 0, kBackgroundTrack, s.start, duration, s.end});

        if (s.fade_in != 0.0) {
            std::optional<double> key = fade_clip_key(s.fade_in);
            Placement p{Kind::FadeIn, i, 0, kFadeTrack, s.start, key.value_or(0.0),
                        s.start + key.value_or(0.0)};
            p.key = key;
            plan.push_back(p);
            if (!key) break;
        }
        if (s.fade_out != 0.0) {
            std::optional<double> key = fade_clip_key(s.fade_out);
            const double k = key.value_or(0.0);
            Placement p{Kind::FadeOut, i, 0, kFadeTrack, s.end - k, k, s.end};
            p.key = key;
            plan.push_back(p);
            if (!key) break;
        }

        for (size_t j = 0; j < s.lines.size(); ++j) {
            const PlanLine& line = s.lines[j];
            if (line.counter) {
                // A counter stays until the next later scene that holds a counter begins,
                // else for its own scene's length from the line's start.
                double d = duration;
                double end = line.start + duration;
                if (next_counter_scene[i] < n) {
                    end = scenes[next_counter_scene[i]].start;
                    d = end - line.start;
                }
                plan.push_back({Kind::Counter, i, j, kCounterTrack, line.start, d, end});
            } else {
                plan.push_back({Kind::Caption, i, j, kCaptionTrack, line.start,
                                line.end - line.start, line.end});
            }
        }
    }
    separate_overlaps(plan);
    return plan;
}

ShownLine shown_line(std::string_view text,
                     const std::function<std::string(const std::string&)>& lower) {
    if (!is_counter_line(text)) return {false, clean_caption(text)};
    std::string word = counter_word(text);
    std::optional<std::string> counter = counter_for(lower(word));
    return {true, counter ? *counter : std::move(word)};
}

std::string scene_row(std::size_t index, const SceneTimes& times) {
    auto two_decimals = [](double x) {
        if (std::isnan(x)) return std::string("nan");  // the C library may write "-nan"
        const int n = std::snprintf(nullptr, 0, "%.2f", x);
        std::string out(static_cast<std::size_t>(n), '\0');
        std::snprintf(out.data(), out.size() + 1, "%.2f", x);
        return out;
    };
    return "Scene " + std::to_string(index) + ": " + two_decimals(times.start) + " \u2192 " +
           two_decimals(times.end);
}

}  // namespace vestrel::edit
