// Where a reference utterance's moments fall in another recording of the same words:
// frame features, speech range, dynamic time warping inside a corridor, and the mapping of
// reference positions across the warping path.
//
// Signals are mono float at audio::kInternalRate. Frame i is centred on sample i * kHop, so a
// frame index times kHop is a time on both sides of the warp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace vestrel::dtw {

inline constexpr int kHop = 220;     // 10 ms (9.98 ms) at audio::kInternalRate
inline constexpr int kWindow = 512;  // 23 ms: one FFT of 512 points, no padding
inline constexpr int kCepstra = 12;  // c1..c12
// 12 cepstra and the log energy, then their deltas.
inline constexpr int kDims = 2 * (kCepstra + 1);

struct Features {
    std::size_t frames = 0;
    std::vector<float> values;     // frames x kDims, row after row
    std::vector<float> energy_db;  // frame energy in dB (full scale 0 dB), before normalising
    const float* row(std::size_t i) const { return values.data() + i * kDims; }
};

// MFCC (40 mel bands from 50 Hz to 7.6 kHz), log energy and their deltas for every 10 ms frame;
// ceil(count / kHop) frames.
Features compute_features(const float* samples, std::size_t count);

// Frames [begin, end) from the first to the last frame louder than `floor_db` below the
// signal's loud level; empty (begin == end) when no frame is.
struct Range {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t size() const { return end - begin; }
};
inline constexpr float kSilenceBelowLoud = 40.0f;
float silence_threshold_db(const std::vector<float>& energy_db);
Range speech_range(const std::vector<float>& energy_db, float threshold_db);

// Scales every dimension to mean 0 and variance 1 over the frames of `range` louder than
// `threshold_db` (the speech itself: pauses, whose share differs from one recording to the
// next, would shift the statistics), so that two voices of different loudness and timbre
// compare on their changes.
void normalise(Features& features, Range range, float threshold_db);

// A warping path between rows (reference frames) and columns (target frames): a list of
// cells from (0, 0) to (n - 1, m - 1), each step one of (1, 0), (0, 1), (1, 1).
using Path = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

// The allowed columns [lo[i], hi[i]] of every row.
struct Corridor {
    std::vector<std::uint32_t> lo, hi;
};
// The band of half-width `radius` columns around the straight line from (0, 0) to
// (n - 1, m - 1).
Corridor diagonal_band(std::size_t n, std::size_t m, std::size_t radius);

// The cheapest path inside the corridor under Euclidean frame distances (diagonal steps
// count the distance twice, so no step kind is favoured). Memory is one back-pointer byte per
// corridor cell and two rows of costs. `a` is n x dims, `b` is m x dims.
//
// Pauses: `a[i]` / `b[j]` mark pause frames (either may be null). One recording may pause
// where the other speaks on. A step that passes over a pause frame of one side while the other
// holds its frame costs `pause_cost`, whatever the held frame is; without that the path
// would rather run far off to pair a pause with some distant pause of the other side.
struct Quiet {
    const std::uint8_t* a = nullptr;
    const std::uint8_t* b = nullptr;
    float pause_cost = 0.0f;
    // Added to a step that holds one side's frame while the other side's next frame is
    // speech: a stretch of speech squeezed into one frame of the other recording is
    // implausible, a pause that one side holds longer is not.
    float hold_cost = 0.0f;
};
Path warp_in_corridor(const float* a, std::size_t n, const float* b, std::size_t m,
                      std::size_t dims, const Corridor& corridor, const Quiet& quiet = {});

// Coarse to fine: the path is found on frames averaged 2^k at a time inside a wide band
// around the diagonal, then refined level by level in a corridor of `radius` frames around
// the projected path. Work and memory grow linearly with the length once the band is
// capped at `max_band` coarse frames.
struct WarpOptions {
    std::size_t levels = 4;      // coarsest frames are 2^levels frames long
    double band_share = 0.25;    // band half-width as a share of the longer coarse signal
    std::size_t min_band = 24;   // at least this many coarse frames
    std::size_t max_band = 200;  // at most this many coarse frames
    std::size_t radius = 10;     // corridor half-width on every finer level
};
Path warp(const float* a, std::size_t n, const float* b, std::size_t m, std::size_t dims,
          const WarpOptions& options = {}, const Quiet& quiet = {});

// Per reference frame, the first and last target frame the path pairs it with.
struct FrameMap {
    std::vector<std::uint32_t> first, last;
    // The target position (in frames, fractional) of reference position `x` (in frames):
    // the first target frame of floor(x), moved on towards the next frame's by the fraction.
    double map(double x) const;
};
FrameMap frame_map(const Path& path, std::size_t n);

}  // namespace vestrel::dtw
