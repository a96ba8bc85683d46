#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "core/silence.hpp"

using namespace vestrel;
using silence::Pcm;
using silence::Range;

namespace {

// Interleaved little-endian samples of the given width.
std::vector<std::uint8_t> encode(const std::vector<std::int64_t>& samples, int width) {
    std::vector<std::uint8_t> out;
    for (std::int64_t s : samples)
        for (int b = 0; b < width; ++b)
            out.push_back(static_cast<std::uint8_t>((s >> (8 * b)) & 0xFF));
    return out;
}

Pcm pcm_of(const std::vector<std::uint8_t>& bytes, int width, int channels, int rate) {
    Pcm p;
    p.data = bytes.data();
    p.size = bytes.size();
    p.sample_width = width;
    p.channels = channels;
    p.frame_rate = rate;
    return p;
}

// Mono 16-bit at 1000 Hz (one frame per ms): `amplitude` where `loud(ms)`, else zero.
template <class F>
std::vector<std::uint8_t> pattern(std::int64_t ms, F loud, std::int64_t amplitude = 1000) {
    std::vector<std::int64_t> s(ms);
    for (std::int64_t i = 0; i < ms; ++i) s[i] = loud(i) ? ((i % 2) ? amplitude : -amplitude) : 0;
    return encode(s, 2);
}

// Straightforward reference: every window's RMS from its own bytes, silent starts merged
// the same way (seek step 1), for rates with a whole number of frames per millisecond.
std::vector<Range> brute_silence(const Pcm& p, std::int64_t min_len, double dbfs) {
    const std::int64_t len = silence::length_ms(p);
    const std::int64_t fw = p.channels * p.sample_width, per_ms = p.frame_rate / 1000;
    const double thresh = silence::threshold_amplitude(dbfs, p.sample_width);
    std::vector<std::int64_t> starts;
    for (std::int64_t i = 0; i + min_len <= len; ++i) {
        const std::size_t b0 = i * per_ms * fw, b1 = (i + min_len) * per_ms * fw;
        if (silence::rms(p.data + b0, b1 - b0, p.sample_width) <= thresh) starts.push_back(i);
    }
    std::vector<Range> out;
    for (std::size_t k = 0; k < starts.size(); ++k) {
        if (k == 0 || starts[k] > starts[k - 1] + min_len)
            out.push_back({starts[k], starts[k] + min_len});
        else
            out.back().end_ms = starts[k] + min_len;
    }
    return out;
}

}  // namespace

TEST(Silence, LengthRoundsHalfToEven) {
    std::vector<std::uint8_t> bytes(2 * 5);
    // 2000 Hz: 1, 3 and 5 frames are 0.5, 1.5 and 2.5 ms.
    for (auto [frames, ms] : {std::pair{1, 0}, {3, 2}, {5, 2}, {0, 0}}) {
        Pcm p = pcm_of(bytes, 2, 1, 2000);
        p.size = frames * 2;
        EXPECT_EQ(silence::length_ms(p), ms) << frames;
    }
}

TEST(Silence, RmsTruncatesForEveryWidth) {
    EXPECT_EQ(silence::rms(encode({3, -4}, 1).data(), 2, 1), 3u);  // sqrt(12.5)
    EXPECT_EQ(silence::rms(encode({-32768, 32767}, 2).data(), 4, 2), 32767u);
    EXPECT_EQ(silence::rms(encode({-8388608, -8388608}, 3).data(), 6, 3), 8388608u);
    EXPECT_EQ(silence::rms(encode({-2147483648LL, 0}, 4).data(), 8, 4), 1518500249u);
    EXPECT_EQ(silence::rms(nullptr, 0, 2), 0u);
    EXPECT_THROW(silence::rms(encode({1}, 2).data(), 1, 2), silence::PcmError);
}

TEST(Silence, ThresholdIsMinus60dbOfFullScale) {
    EXPECT_DOUBLE_EQ(silence::threshold_amplitude(-60, 2), std::pow(10.0, -3.0) * 32768.0);
    EXPECT_DOUBLE_EQ(silence::threshold_amplitude(-60, 1), std::pow(10.0, -3.0) * 128.0);
    EXPECT_DOUBLE_EQ(silence::threshold_amplitude(0, 4), 2147483648.0);
}

TEST(Silence, FindsStretchesBetweenSilences) {
    struct Case {
        const char* name;
        std::int64_t ms;
        bool (*loud)(std::int64_t);
        std::vector<Range> expected;
    };
    const Case cases[] = {
        {"tone between silences", 2500, [](std::int64_t i) { return i >= 1000 && i < 1500; },
         {{1000, 1500}}},
        {"gap under 100 ms kept", 2000,
         [](std::int64_t i) { return (i >= 500 && i < 800) || (i >= 899 && i < 1200); },
         {{500, 1200}}},
        {"gap of 100 ms splits", 2000,
         [](std::int64_t i) { return (i >= 500 && i < 800) || (i >= 900 && i < 1200); },
         {{500, 800}, {900, 1200}}},
        {"all silent", 1000, [](std::int64_t) { return false; }, {}},
        {"all loud", 1000, [](std::int64_t) { return true; }, {{0, 1000}}},
        {"loud at both ends", 1000, [](std::int64_t i) { return i < 200 || i >= 700; },
         {{0, 200}, {700, 1000}}},
        {"shorter than a window", 99, [](std::int64_t) { return false; }, {{0, 99}}},
        {"empty", 0, [](std::int64_t) { return false; }, {{0, 0}}},
    };
    for (const Case& c : cases) {
        auto bytes = pattern(c.ms, c.loud);
        const auto found = silence::detect_nonsilent(pcm_of(bytes, 2, 1, 1000));
        EXPECT_EQ(found, c.expected) << c.name;
        // The pairs handed to the caller keep the order and both ends of every range.
        const auto pairs = silence::as_pairs(found);
        ASSERT_EQ(pairs.size(), c.expected.size()) << c.name;
        for (size_t i = 0; i < pairs.size(); ++i)
            EXPECT_EQ(pairs[i], (std::array<std::int64_t, 2>{c.expected[i].start_ms,
                                                             c.expected[i].end_ms}));
    }
}

TEST(Silence, ThresholdMetExactlyIsSilent) {
    // 16-bit: the threshold is 32.768, so an RMS of 32 is silent and 33 is not.
    for (auto [amplitude, silent] : {std::pair{32, true}, {33, false}}) {
        auto bytes = pattern(500, [](std::int64_t) { return true; }, amplitude);
        auto ranges = silence::detect_nonsilent(pcm_of(bytes, 2, 1, 1000));
        EXPECT_EQ(ranges.empty(), silent) << amplitude;
    }
}

TEST(Silence, SlidingSumMatchesPerWindowRms) {
    std::mt19937_64 rng(7);
    for (int width : {1, 2, 3, 4}) {
        // At -59.99999 dBFS the first non-silent 32-bit level is odd, so its squares round
        // in the library's double sum.
        for (double dbfs : {-60.0, -59.99999}) {
        for (int channels : {1, 2}) {
            // Levels straddling the threshold; for 32 bits the window sums pass 2**53, where
            // rounding of the library's double sum decides cases right at the boundary.
            const double thresh = silence::threshold_amplitude(dbfs, width);
            const std::int64_t base = static_cast<std::int64_t>(std::floor(thresh)) + 1;
            // Blocks of 200 ms at one level (just below, at or just above the bound), some
            // with rare louder samples.
            const std::int64_t frames = 48 * 2000;
            std::vector<std::int64_t> s(frames * channels);
            std::int64_t level = base;
            bool blips = false;
            for (std::int64_t f = 0; f < frames; ++f) {
                if (f % 9600 == 0) {
                    level = base + static_cast<std::int64_t>(rng() % 3) - 1;
                    blips = rng() % 2 == 0;
                }
                for (int c = 0; c < channels; ++c) {
                    const bool blip = blips && rng() % 997 == 0;
                    s[f * channels + c] = ((f + c) % 2 ? level : -level) * (blip ? 3 : 1);
                }
            }
            if (width == 1)
                for (auto& v : s) v = std::max<std::int64_t>(-128, std::min<std::int64_t>(127, v));
            auto bytes = encode(s, width);
            Pcm p = pcm_of(bytes, width, channels, 48000);
            EXPECT_EQ(silence::detect_silence(p, 100, dbfs), brute_silence(p, 100, dbfs))
                << width << " bytes, " << channels << " channels, " << dbfs << " dBFS";
        }
        }
    }
}

TEST(Silence, SliceMatchesFramesAndPadsTheLastOne) {
    // 44099 frames at 44100 Hz round to 1000 ms; the slice to 1000 ms wants 44100 frames and
    // gets one frame of zeros.
    std::vector<std::uint8_t> bytes(44099 * 2, 1);
    Pcm p = pcm_of(bytes, 2, 1, 44100);
    EXPECT_EQ(silence::length_ms(p), 1000);
    auto s = silence::slice(p, 10, 1000);
    EXPECT_EQ(s.offset, 441u * 2);  // int(10 * 44.1)
    EXPECT_EQ(s.length, (44099u - 441u) * 2);
    EXPECT_EQ(s.zero_bytes, 2u);
    // Past the end: clamped to the length.
    auto e = silence::slice(p, 1000, 5000);
    EXPECT_EQ(e.length, 0u);
    EXPECT_EQ(e.zero_bytes, 0u);
}

TEST(Silence, JoinPutsThePauseBetweenSlicesOnly) {
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 10; ++i) bytes.push_back(static_cast<std::uint8_t>(i + 1));
    Pcm p = pcm_of(bytes, 1, 1, 1000);
    const std::vector<Range> ranges = {{1, 3}, {5, 6}, {8, 10}};
    const std::uint8_t pause[] = {0xAA, 0xBB};
    ASSERT_EQ(silence::joined_size(p, ranges, 2), 9u);
    std::vector<std::uint8_t> out(9);
    silence::join(p, ranges, pause, 2, out.data());
    EXPECT_EQ(out, (std::vector<std::uint8_t>{2, 3, 0xAA, 0xBB, 6, 0xAA, 0xBB, 9, 10}));
}

TEST(Silence, JoinIsPlainOnlyWhenTheAudioIsAtLeastAsWideAsThePause) {
    std::vector<std::uint8_t> bytes(12);
    const Pcm audio = pcm_of(bytes, 2, 2, 44100);  // 3 whole frames of 4 bytes
    const Pcm same = pcm_of({}, 2, 2, 44100);
    EXPECT_TRUE(silence::joins_unconverted(audio, same, 3));
    EXPECT_TRUE(silence::joins_unconverted(audio, pcm_of({}, 1, 1, 8000), 2));
    // The pause is wider in one respect: the slices would be converted too.
    EXPECT_FALSE(silence::joins_unconverted(audio, pcm_of({}, 2, 2, 48000), 2));
    EXPECT_FALSE(silence::joins_unconverted(audio, pcm_of({}, 4, 2, 44100), 2));
    EXPECT_FALSE(silence::joins_unconverted(audio, pcm_of({}, 2, 3, 44100), 2));
    // One stretch has no pause, whatever its format says.
    EXPECT_TRUE(silence::joins_unconverted(audio, pcm_of({}, 4, 8, 96000), 1));
    // A partial frame at the end is left to the audio library.
    bytes.push_back(0);
    EXPECT_FALSE(silence::joins_unconverted(pcm_of(bytes, 2, 2, 44100), same, 1));
}

TEST(Silence, RefusesBadFormatsAndPartialSamples) {
    std::vector<std::uint8_t> bytes(8);
    EXPECT_THROW(silence::detect_nonsilent(pcm_of(bytes, 5, 1, 1000)), std::invalid_argument);
    EXPECT_THROW(silence::detect_nonsilent(pcm_of(bytes, 2, 0, 1000)), std::invalid_argument);
    EXPECT_THROW(silence::detect_nonsilent(pcm_of(bytes, 2, 1, 0)), std::invalid_argument);
    // 3 frames plus one stray byte at 2000 Hz: the 2 ms window reaches into the stray byte,
    // which is not a whole sample.
    std::vector<std::uint8_t> odd(7);
    EXPECT_THROW(silence::detect_silence(pcm_of(odd, 2, 1, 2000), 2, -60), silence::PcmError);
}
