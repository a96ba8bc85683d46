#include "core/silence.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vestrel::silence {

namespace {

using u128 = unsigned __int128;

constexpr double kTwoPow53 = 9007199254740992.0;

const char* kPartialSample = "not a whole number of frames";

// Python's floor division for a positive divisor.
std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && (a < 0)) --q;
    return q;
}

std::int64_t sample_at(const std::uint8_t* p, int width) {
    switch (width) {
        case 1: return static_cast<std::int8_t>(p[0]);
        case 2: {
            std::int16_t v;
            std::memcpy(&v, p, 2);
            return v;
        }
        case 3: {
            const std::int32_t high = static_cast<std::int8_t>(p[2]);  // carries the sign
            return static_cast<std::int32_t>(p[0]) | (static_cast<std::int32_t>(p[1]) << 8) |
                   (high * 65536);
        }
        default: {
            std::int32_t v;
            std::memcpy(&v, p, 4);
            return v;
        }
    }
}

// The byte range of one millisecond slice, as slicing an AudioSegment computes it: frame
// indices truncated from ms * (frame_rate / 1000.0), the data clamped to what exists, and
// missing whole frames padded with zeros (a copy of the first frame times zero), refused
// when more than 2 ms would be padded.
struct Window {
    std::size_t offset;
    std::size_t length;
    std::size_t zero_bytes;
};

Window window(const Pcm& pcm, std::int64_t start_ms, std::int64_t end_ms, double per_ms) {
    const std::int64_t fw = static_cast<std::int64_t>(pcm.channels) * pcm.sample_width;
    const auto size = static_cast<std::int64_t>(pcm.size);
    const auto first = static_cast<std::int64_t>(static_cast<double>(start_ms) * per_ms);
    const auto last = static_cast<std::int64_t>(static_cast<double>(end_ms) * per_ms);
    const std::int64_t b0 = first * fw, b1 = last * fw;
    const std::int64_t lo = std::min(b0, size), hi = std::min(b1, size);
    const std::int64_t length = std::max<std::int64_t>(0, hi - lo);
    const std::int64_t missing = floor_div(b1 - b0 - length, fw);
    std::int64_t zeros = 0;
    if (missing != 0) {
        if (static_cast<double>(missing) > 2.0 * per_ms)
            throw PcmError(PcmError::Kind::TooManyMissingFrames, missing,
                           "You should never be filling in    more than 2 ms with silence here, "
                           "missing frames: " +
                               std::to_string(missing));
        const std::int64_t pad = std::min(fw, length);
        if (pad % pcm.sample_width != 0)
            throw PcmError(PcmError::Kind::PartialSample, 0, kPartialSample);
        zeros = std::max<std::int64_t>(0, missing) * pad;
    }
    return {static_cast<std::size_t>(lo), static_cast<std::size_t>(length),
            static_cast<std::size_t>(zeros)};
}

// The double sum of squares in sample order, exactly as the RMS of the library adds it.
double sequential_sum(const std::uint8_t* p, std::size_t count, int width) {
    double sum = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double v = static_cast<double>(sample_at(p + i * width, width));
        sum += v * v;
    }
    return sum;
}

std::uint32_t rms_of_sum(double sum, std::size_t count) {
    return count == 0 ? 0u
                      : static_cast<std::uint32_t>(std::sqrt(sum / static_cast<double>(count)));
}

// True if a fragment whose squares add up to `sum` (exactly, as integers) over `count`
// samples has an RMS at most `threshold`, as the library computes it from `bytes`.
template <class Acc>
bool rms_at_most(Acc sum, std::size_t count, double threshold, const std::uint8_t* bytes,
                 std::size_t samples, int width) {
    if (count == 0) return 0.0 <= threshold;
    if (sum < static_cast<Acc>(kTwoPow53)) {
        // Every square and partial sum is an integer below 2**53: the double sum is exact.
        const double exact = static_cast<double>(static_cast<std::uint64_t>(sum));
        return static_cast<double>(rms_of_sum(exact, count)) <= threshold;
    }
    // Large sums round in double. Decide from the exact sum unless the RMS lies so close to
    // the first integer above the threshold that rounding could matter; then add up the
    // fragment exactly as the library does.
    if (!(threshold >= 0.0)) return false;
    const double bound = std::floor(threshold) + 1.0;
    const double approx = std::sqrt(static_cast<double>(sum) / static_cast<double>(count));
    const double margin = 1e-15 * (static_cast<double>(count) + 16.0);
    if (approx < bound * (1.0 - margin)) return true;
    if (approx > bound * (1.0 + margin)) return false;
    return static_cast<double>(rms_of_sum(sequential_sum(bytes, samples, width), count)) <=
           threshold;
}

// Running sum of squared samples from the start of the data, advanced in sample order.
template <int Width, class Acc>
class Prefix {
public:
    Prefix(const std::uint8_t* data, std::size_t samples) : data_(data), samples_(samples) {}

    Acc upto(std::size_t sample) {
        const std::size_t end = std::min(sample, samples_);
        Acc acc = acc_;
        for (std::size_t i = pos_; i < end; ++i) {
            const std::int64_t v = sample_at(data_ + i * Width, Width);
            acc += static_cast<std::uint64_t>(v * v);
        }
        if (end > pos_) pos_ = end;
        acc_ = acc;
        return acc_;
    }

private:
    const std::uint8_t* data_;
    std::size_t samples_;
    std::size_t pos_ = 0;
    Acc acc_ = 0;
};

// Visits the window starts in order and reports the silent ones. The sum of a window is the
// difference of the prefix sums at its first and last millisecond boundary (the end frame of
// window i is the start frame of millisecond i + min_silence_len), so every sample is squared
// once and the boundaries of the last min_silence_len + 1 milliseconds are kept in a ring.
template <int Width, class Acc, class Visit>
void scan(const Pcm& pcm, std::int64_t seg_len, std::int64_t min_len, std::int64_t step,
          double threshold, Visit&& on_silent) {
    const double per_ms = static_cast<double>(pcm.frame_rate) / 1000.0;
    const std::size_t fw = static_cast<std::size_t>(pcm.channels) * Width;
    Prefix<Width, Acc> prefix(pcm.data, pcm.size / Width);
    std::vector<Acc> ring(static_cast<std::size_t>(min_len) + 1);
    std::int64_t next = 0;  // first millisecond boundary not yet summed
    auto boundary = [&](std::int64_t ms) {
        for (; next <= ms; ++next) {
            const auto frame = static_cast<std::size_t>(static_cast<double>(next) * per_ms);
            const std::size_t byte = std::min(frame * fw, pcm.size);
            ring[static_cast<std::size_t>(next) % ring.size()] = prefix.upto(byte / Width);
        }
        return ring[static_cast<std::size_t>(ms) % ring.size()];
    };
    auto visit = [&](std::int64_t i) {
        const Window w = window(pcm, std::min(i, seg_len), std::min(i + min_len, seg_len), per_ms);
        if ((w.length + w.zero_bytes) % Width != 0)
            throw PcmError(PcmError::Kind::PartialSample, 0, kPartialSample);
        const Acc hi = boundary(i + min_len);
        const Acc sum = hi - boundary(i);
        const std::size_t count = (w.length + w.zero_bytes) / Width;
        if (rms_at_most(sum, count, threshold, pcm.data + w.offset, w.length / Width, Width))
            on_silent(i);
    };
    const std::int64_t last_start = seg_len - min_len;
    for (std::int64_t i = 0; i <= last_start; i += step) visit(i);
    if (last_start % step != 0) visit(last_start);
}

template <int Width, class Visit>
void scan_width(const Pcm& pcm, std::int64_t seg_len, std::int64_t min_len, std::int64_t step,
                double threshold, Visit&& on_silent) {
    // 64-bit sums suffice while every sample squared, added over the whole data, stays below
    // 2**64; otherwise 128-bit sums.
    const std::uint64_t max_square = std::uint64_t{1} << (16 * Width - 2);
    const std::uint64_t samples = pcm.size / Width;
    if (Width < 4 && samples <= UINT64_MAX / max_square)
        scan<Width, std::uint64_t>(pcm, seg_len, min_len, step, threshold, on_silent);
    else
        scan<Width, u128>(pcm, seg_len, min_len, step, threshold, on_silent);
}

}  // namespace

void check_format(const Pcm& pcm) {
    if (pcm.sample_width < 1 || pcm.sample_width > 4)
        throw std::invalid_argument("sample width must be 1, 2, 3 or 4 bytes");
    if (pcm.channels < 1) throw std::invalid_argument("channels must be at least 1");
    if (pcm.frame_rate < 1) throw std::invalid_argument("frame rate must be at least 1");
    if (pcm.size > 0 && pcm.data == nullptr) throw std::invalid_argument("no sample data");
}

std::int64_t length_ms(const Pcm& pcm) {
    const std::size_t fw = static_cast<std::size_t>(pcm.channels) * pcm.sample_width;
    const double frames = static_cast<double>(pcm.size / fw);
    return static_cast<std::int64_t>(
        std::nearbyint(1000.0 * (frames / static_cast<double>(pcm.frame_rate))));
}

double threshold_amplitude(double silence_thresh_dbfs, int sample_width) {
    const double max_amplitude = std::ldexp(1.0, 8 * sample_width) / 2.0;
    return std::pow(10.0, silence_thresh_dbfs / 20.0) * max_amplitude;
}

std::uint32_t rms(const std::uint8_t* data, std::size_t size, int sample_width) {
    if (sample_width < 1 || sample_width > 4)
        throw std::invalid_argument("sample width must be 1, 2, 3 or 4 bytes");
    if (size % sample_width != 0) throw PcmError(PcmError::Kind::PartialSample, 0, kPartialSample);
    const std::size_t count = size / sample_width;
    return rms_of_sum(sequential_sum(data, count, sample_width), count);
}

std::vector<Range> detect_silence(const Pcm& pcm, std::int64_t min_silence_len,
                                  double silence_thresh_dbfs, std::int64_t seek_step) {
    check_format(pcm);
    if (min_silence_len < 0) throw std::invalid_argument("min_silence_len must not be negative");
    if (seek_step < 1) throw std::invalid_argument("seek_step must be at least 1");
    const std::int64_t seg_len = length_ms(pcm);
    std::vector<Range> ranges;
    if (seg_len < min_silence_len) return ranges;

    const double threshold = threshold_amplitude(silence_thresh_dbfs, pcm.sample_width);

    bool any = false;
    std::int64_t prev = 0, run_start = 0;
    auto on_silent = [&](std::int64_t i) {
        if (!any) {
            any = true;
            prev = run_start = i;
            return;
        }
        const bool continuous = i == prev + seek_step;
        // Two silent windows that overlap belong to one run even when a blip between them made
        // the windows in between non-silent.
        const bool has_gap = i > prev + min_silence_len;
        if (!continuous && has_gap) {
            ranges.push_back({run_start, prev + min_silence_len});
            run_start = i;
        }
        prev = i;
    };
    const std::int64_t len = min_silence_len, step = seek_step;
    switch (pcm.sample_width) {
        case 1: scan_width<1>(pcm, seg_len, len, step, threshold, on_silent); break;
        case 2: scan_width<2>(pcm, seg_len, len, step, threshold, on_silent); break;
        case 3: scan_width<3>(pcm, seg_len, len, step, threshold, on_silent); break;
        default: scan_width<4>(pcm, seg_len, len, step, threshold, on_silent); break;
    }
    if (any) ranges.push_back({run_start, prev + min_silence_len});
    return ranges;
}

std::vector<Range> detect_nonsilent(const Pcm& pcm, std::int64_t min_silence_len,
                                    double silence_thresh_dbfs, std::int64_t seek_step) {
    const std::vector<Range> silent =
        detect_silence(pcm, min_silence_len, silence_thresh_dbfs, seek_step);
    const std::int64_t seg_len = length_ms(pcm);
    if (silent.empty()) return {{0, seg_len}};
    if (silent.front().start_ms == 0 && silent.front().end_ms == seg_len) return {};

    std::vector<Range> out;
    std::int64_t prev_end = 0;
    for (const Range& r : silent) {
        out.push_back({prev_end, r.start_ms});
        prev_end = r.end_ms;
    }
    if (silent.back().end_ms != seg_len) out.push_back({prev_end, seg_len});
    if (out.front() == Range{0, 0}) out.erase(out.begin());
    return out;
}

Slice slice(const Pcm& pcm, std::int64_t start_ms, std::int64_t end_ms) {
    check_format(pcm);
    const std::int64_t seg_len = length_ms(pcm);
    const double per_ms = static_cast<double>(pcm.frame_rate) / 1000.0;
    const Window w = window(pcm, std::min(start_ms, seg_len), std::min(end_ms, seg_len), per_ms);
    return {w.offset, w.length, w.zero_bytes};
}

bool joins_unconverted(const Pcm& audio, const Pcm& pause, std::size_t stretches) {
    const bool only_pause_converted =
        stretches == 1 ||
        (audio.frame_rate >= pause.frame_rate && audio.sample_width >= pause.sample_width &&
         audio.channels >= pause.channels);
    const std::size_t frame = static_cast<std::size_t>(audio.channels * audio.sample_width);
    return only_pause_converted && frame > 0 && audio.size % frame == 0;
}

std::size_t joined_size(const Pcm& pcm, const std::vector<Range>& ranges, std::size_t pause_size) {
    std::size_t total = 0;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const Slice s = slice(pcm, ranges[i].start_ms, ranges[i].end_ms);
        total += s.length + s.zero_bytes;
        if (i + 1 < ranges.size()) total += pause_size;
    }
    return total;
}

void join(const Pcm& pcm, const std::vector<Range>& ranges, const std::uint8_t* pause,
          std::size_t pause_size, std::uint8_t* out) {
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const Slice s = slice(pcm, ranges[i].start_ms, ranges[i].end_ms);
        if (s.length) std::memcpy(out, pcm.data + s.offset, s.length);
        out += s.length;
        std::memset(out, 0, s.zero_bytes);
        out += s.zero_bytes;
        if (i + 1 < ranges.size()) {
            if (pause_size) std::memcpy(out, pause, pause_size);
            out += pause_size;
        }
    }
}

std::vector<std::array<std::int64_t, 2>> as_pairs(const std::vector<Range>& ranges) {
    std::vector<std::array<std::int64_t, 2>> out;
    out.reserve(ranges.size());
    for (const Range& r : ranges) out.push_back({r.start_ms, r.end_ms});
    return out;
}

}  // namespace vestrel::silence
