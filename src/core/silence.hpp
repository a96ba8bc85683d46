// Non-silent ranges of interleaved PCM, and joining those ranges with a fixed pause.
//
// The results are identical to pydub's `detect_nonsilent` and to slicing and appending
// `AudioSegment`s: the same millisecond windows (frame indices truncated from
// ms * (frame_rate / 1000.0)), the same zero padding of a window that runs past the data,
// the same RMS (a double sum of squared samples, divided by the sample count, square root
// truncated to an integer), the same threshold in amplitude and the same merging of silent
// windows into silent runs. Only the cost differs: every window is O(1) amortised instead
// of a fresh pass over all its samples.
#pragma once

#include "core/error.hpp"
#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vestrel::silence {

// Signed little-endian samples of 1 to 4 bytes, `channels` per frame.
struct Pcm {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;  // bytes
    int sample_width = 2;
    int channels = 1;
    int frame_rate = 44100;
};

struct Range {
    std::int64_t start_ms;
    std::int64_t end_ms;
    bool operator==(const Range&) const = default;
};

// A window or slice that the audio library itself would refuse.
class PcmError : public Error {
public:
    enum class Kind {
        TooManyMissingFrames,  // a slice would need more than 2 ms of padding
        PartialSample,         // a fragment that is not a whole number of samples
    };
    PcmError(Kind kind, std::int64_t missing_frames, const std::string& message)
        : Error(ErrorKind::Value, message), kind(kind), missing_frames(missing_frames) {}
    Kind kind;
    std::int64_t missing_frames;
};

// Checks the format (sample width 1..4, channels >= 1, frame rate >= 1); throws
// std::invalid_argument otherwise.
void check_format(const Pcm& pcm);

// Length in milliseconds: round half to even of 1000 * frames / frame_rate.
std::int64_t length_ms(const Pcm& pcm);

// The silence threshold as an amplitude: 10 ** (dbfs / 20) * 2 ** (8 * width - 1).
double threshold_amplitude(double silence_thresh_dbfs, int sample_width);

// RMS of a raw fragment as the audio library computes it (for tests and checks).
std::uint32_t rms(const std::uint8_t* data, std::size_t size, int sample_width);

// Silent runs [start, end) in ms: every window of `min_silence_len` ms taken every
// `seek_step` ms whose RMS is at most the threshold, overlapping windows merged.
std::vector<Range> detect_silence(const Pcm& pcm, std::int64_t min_silence_len,
                                  double silence_thresh_dbfs, std::int64_t seek_step = 1);

// The stretches between the silent runs (the whole audio when none is found, nothing when
// the audio is one silent run).
std::vector<Range> detect_nonsilent(const Pcm& pcm, std::int64_t min_silence_len = 100,
                                    double silence_thresh_dbfs = -60.0,
                                    std::int64_t seek_step = 1);

// The ranges as [start_ms, end_ms] pairs, the form the audio library hands its callers.
std::vector<std::array<std::int64_t, 2>> as_pairs(const std::vector<Range>& ranges);

// Where the bytes of the slice [start_ms, end_ms) of the audio come from: `length` bytes at
// `offset`, followed by `zero_bytes` bytes of zeros (padding up to the expected frames).
struct Slice {
    std::size_t offset;
    std::size_t length;
    std::size_t zero_bytes;
};
Slice slice(const Pcm& pcm, std::int64_t start_ms, std::int64_t end_ms);

// Whether `stretches` slices of `audio` joined by a pause in format `pause` (its data unused)
// are the plain concatenation of the slices and the pause converted once. The audio library
// converts every part of an append to the largest channel count, frame rate and sample width
// involved: with one stretch, or an audio at least as wide as the pause in all three, only the
// pause is ever converted (the same way each time). The audio must be whole frames.
bool joins_unconverted(const Pcm& audio, const Pcm& pause, std::size_t stretches);

// The slices of `ranges` joined with `pause` between consecutive ones (none before the first
// or after the last), as the library's repeated appends build it when no format conversion
// is involved.
std::size_t joined_size(const Pcm& pcm, const std::vector<Range>& ranges, std::size_t pause_size);
void join(const Pcm& pcm, const std::vector<Range>& ranges, const std::uint8_t* pause,
          std::size_t pause_size, std::uint8_t* out);

}  // namespace vestrel::silence
