// The edit plan of one short: scene times and fades derived from caption timings, the
// fade-clip and counter tables, and the placement plan that the Resolve assembly follows.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vestrel::edit {

// Times of one scene, in seconds on the output timeline. `start` and `end` come in as the
// scene's caption start and end. Fades are only ever set, never reset: the flags tell which
// ones the computation set, and only those are to be written back to the scene.
struct SceneTimes {
    double start = 0.0;
    double end = 0.0;
    double fade_in = 0.0;
    double fade_out = 0.0;
    bool fade_in_set = false;
    bool fade_out_set = false;
};

// A pause between two scenes' captions of at least this long is split in the middle and
// bridged by a fade on each side; shorter pauses (and overlaps) are closed without fades.
inline constexpr double kLongPause = 1.5;
inline constexpr double kFirstFadeIn = 0.5;  // the first scene always fades in
inline constexpr double kTailAfterLastCaption = 1.0;

// Derives scene times and fades from the caption times already in `scenes` (non-empty):
// afterwards the scenes tile the timeline from 0.0 without gaps or overlaps.
void set_scenes_duration(std::vector<SceneTimes>& scenes);

// The report row of scene `index`: "Scene <index>: <start> → <end>", each time with two
// decimals as the host's format(x, ".2f") writes it ("nan", "inf", "-0.00" included).
std::string scene_row(std::size_t index, const SceneTimes& times);

// Fade clips of the template, by fade length in seconds (keys ascending).
struct FadeClip {
    double key;
    const char* fade_in;
    const char* fade_out;
};
inline constexpr FadeClip kFadeClips[] = {
    {0.2, "FadeIn_200ms", "FadeOut_200ms"},
    {0.5, "FadeIn_500ms", "FadeOut_500ms"},
    {1.0, "FadeIn_1000ms", "FadeOut_1000ms"},
};

// The largest table key not above `length`; none for lengths below the smallest key.
std::optional<double> fade_clip_key(double length);
// The clip names for a table key.
const char* fade_in_clip(double key);
const char* fade_out_clip(double key);

// Spoken German ordinal adverbs (lower case, UTF-8) and the counter shown for each.
struct CounterEntry {
    const char* word;
    const char* shown;
};
inline constexpr CounterEntry kCounterMap[] = {
    {"erstens", "1"},    {"zweitens", "2"},  {"drittens", "3"},  {"viertens", "4"},
    {"fünftens", "5"},   {"sechstens", "6"}, {"siebtens", "7"},  {"achtens", "8"},
    {"neuntens", "9"},   {"zehntens", "10"}, {"elftens", "11"},  {"zwölftens", "12"},
};

// A caption line whose text starts with this marker (blank included) is a counter line.
inline constexpr std::string_view kCounterMarker = " <counter>";

bool is_counter_line(std::string_view text);
// The spoken word of a counter line: the marker removed, then one trailing "." removed.
std::string counter_word(std::string_view text);
// The counter for a lower-cased word, if it is in the table.
std::optional<std::string> counter_for(std::string_view lower_word);
// A caption line's text as shown: every ".", "," and '"' removed.
std::string clean_caption(std::string_view text);

// What a caption line shows: a counter line its counter (the spoken word's entry in the
// table, the word lower-cased by `lower`), or the word itself when the table has none; any
// other line its cleaned text.
struct ShownLine {
    bool counter = false;
    std::string text;
};
ShownLine shown_line(std::string_view text,
                     const std::function<std::string(const std::string&)>& lower);

// Tracks of the assembled timeline (1-based Resolve video track indices).
inline constexpr int kBackgroundTrack = 1;
inline constexpr int kFadeTrack = 2;
inline constexpr int kCaptionTrack = 3;
inline constexpr int kCounterTrack = 4;
inline constexpr int kWatermarkTrack = 5;

// What the assembly needs to know of one scene and its caption lines.
struct PlanLine {
    double start = 0.0;
    double end = 0.0;
    bool counter = false;
};
struct PlanScene {
    double start = 0.0;
    double end = 0.0;
    double fade_in = 0.0;
    double fade_out = 0.0;
    std::vector<PlanLine> lines;
};

// One placement on the timeline, in the order the assembly makes them.
struct Placement {
    enum class Kind { Background, FadeIn, FadeOut, Caption, Counter };
    Kind kind;
    size_t scene;
    size_t line = 0;         // for Caption and Counter: index into the scene's lines
    int track;
    double start;
    double duration;
    double end;              // where the item is meant to end (start + duration, unrounded)
    bool clipped = false;    // shortened so that it ends where a later item begins
    // For fades: the table key (the clip's length); none when the fade length is below the
    // smallest key, which the assembly reports as a failure when it reaches this placement.
    std::optional<double> key = std::nullopt;
};

// The placements for the scenes, in assembly order: per scene the background, its fade-in,
// its fade-out, then one title per caption line. Fades shorter than every table key end the
// plan with a keyless fade placement. No two placements on one track overlap: where they
// would, the earlier one ends where the later one begins; other placements are unchanged.
std::vector<Placement> plan_placements(const std::vector<PlanScene>& scenes);

// Shortens items that run into a later item on the same track (see plan_placements); an
// item that touches the next one gets a duration with start + duration <= that next start.
void separate_overlaps(std::vector<Placement>& placements);

// The duration d closest to end - start (end - start itself where it adds back up) for which
// start + d does not pass end in double arithmetic: the placement's end is computed again from
// start and duration, and must not run into an item that begins at end.
double duration_to(double start, double end);

}  // namespace vestrel::edit
