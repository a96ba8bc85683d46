// Seconds to Resolve frames: rounding, clip placement and frame rates.
//
// Times above the Resolve layer are seconds (double); Resolve counts integer frames, and a
// timeline counts them from its own start frame (one hour into the timecode), not from 0.
#pragma once

#include "core/error.hpp"
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vestrel::frames {

// A computation the host's float arithmetic refuses: rounding NaN or infinity to an
// integer, or dividing by a zero frame rate. The binding raises the host's own error.
struct FrameError : Error {
    enum class Kind { NotANumber, Infinite, DivisionByZero };
    Kind kind;
    FrameError(Kind k, const char* what)
        : Error(k == Kind::NotANumber ? ErrorKind::Value
                : k == Kind::Infinite ? ErrorKind::Overflow
                                      : ErrorKind::ZeroDivision,
                what),
          kind(k) {}
};

// The integer nearest to x, ties to the even neighbour (12.5 -> 12, 37.5 -> 38, -0.5 -> 0).
int64_t round_half_even(double x);

// Where a clip lands, in absolute timeline frames, and which source frames it uses.
struct Placement {
    int64_t record_frame;     // first timeline frame
    int64_t wanted_end;       // timeline frame just after the clip
    int64_t length;           // wanted_end - record_frame
    int64_t last_clip_frame;  // last source frame, counted in the clip's own rate
};

// Both ends are rounded from absolute times, so a clip starting where the previous one was
// meant to end starts exactly at that one's wanted end (no drift over a sequence).
Placement place(double start_time, double duration, double timeline_fps, double clip_fps,
                int64_t timeline_start);

// The leading decimal number of a text ("29.97 DF" -> 29.97, " 25" -> 25); nullopt when the
// text does not start with one (after blanks).
std::optional<double> leading_number(std::string_view text);

// An exact frame rate (num / den, reduced, den > 0).
struct Rational {
    int64_t num = 0;
    int64_t den = 1;
    friend bool operator==(const Rational&, const Rational&) = default;
    double value() const { return static_cast<double>(num) / static_cast<double>(den); }
};

Rational make_rational(int64_t num, int64_t den);

// A rate written as text, as an exact fraction: "30" -> 30/1, "12.5" -> 25/2, and the
// broadcast rates written with their usual decimals ("23.976", "29.97", "59.94", "47.952",
// "119.88") -> n*1000/1001. A suffix is ignored ("29.97 DF"). nullopt when no positive
// number leads the text.
std::optional<Rational> rate_from_text(std::string_view text);

// A rate as Resolve writes it: "25", "29.97", "23.976" (at most three decimals).
std::string rate_text(Rational r);

// Frames of a timeline's first hour of timecode: the timecode base (the rate rounded up)
// times 3600, so 108000 at 30 and at 29.97 fps.
int64_t one_hour_frames(Rational r);

// Timeline frames covered by `source_frames` frames of a clip: exact rational conversion,
// rounded down.
int64_t to_timeline_frames(int64_t source_frames, Rational clip_rate, Rational timeline_rate);

}  // namespace vestrel::frames
