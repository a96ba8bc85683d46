// Subtitle files of a short's caption titles: SubRip (.srt) and Advanced SubStation (.ass).
// One cue per caption title, timed to whole frames: a player that shows a cue while
// start <= t < end shows it on exactly the frames its title covers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/frames.hpp"
#include "core/render.hpp"

namespace vestrel::subtitles {

using frames::Rational;

// One caption: its frames counted from the timeline's first frame, end exclusive.
struct Cue {
    int64_t start = 0;
    int64_t end = 0;
    std::string text;
};

// The start of frame `frame` as an SRT time (HH:MM:SS,mmm): the millisecond at or before
// the frame's time, which lies after the previous frame's time at any rate below 1000 fps.
std::string srt_time(int64_t frame, Rational rate);

// The cues as a SubRip file, numbered from 1, in the order given. Cues with no frames are
// left out (and not numbered); blank lines inside a text would end the cue early, so a
// text's lines are kept and its empty lines dropped.
std::string srt(const std::vector<Cue>& cues, Rational rate);

// The cues as an ASS script of a `width` x `height` frame, each drawn in `style`: the
// script the render draws the caption titles with, so a player with libass shows them as
// the video does. Cues with no frames are left out.
std::string ass(const std::vector<Cue>& cues, const render::TitleStyle& style, int width,
                int height, Rational rate);

}  // namespace vestrel::subtitles
