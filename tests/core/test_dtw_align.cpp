#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>

#include "core/audio_decode.hpp"
#include "core/dtw_align.hpp"
#include "core/text.hpp"
#include "core/word_align.hpp"

using namespace vestrel;

namespace {

float path_cost(const std::vector<float>& a, const std::vector<float>& b, std::size_t dims,
                const dtw::Path& path) {
    auto d = [&](std::size_t i, std::size_t j) {
        float s = 0;
        for (std::size_t k = 0; k < dims; ++k)
            s += (a[i * dims + k] - b[j * dims + k]) * (a[i * dims + k] - b[j * dims + k]);
        return std::sqrt(s);
    };
    float cost = 2 * d(path[0].first, path[0].second);
    for (std::size_t p = 1; p < path.size(); ++p) {
        const bool diagonal =
            path[p].first != path[p - 1].first && path[p].second != path[p - 1].second;
        cost += (diagonal ? 2 : 1) * d(path[p].first, path[p].second);
    }
    return cost;
}

// The cheapest cost over the whole matrix, computed the textbook way.
float full_matrix_cost(const std::vector<float>& a, std::size_t n, const std::vector<float>& b,
                       std::size_t m, std::size_t dims) {
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<std::vector<float>> D(n, std::vector<float>(m, inf));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < m; ++j) {
            float s = 0;
            for (std::size_t k = 0; k < dims; ++k)
                s += (a[i * dims + k] - b[j * dims + k]) * (a[i * dims + k] - b[j * dims + k]);
            const float dd = std::sqrt(s);
            if (i == 0 && j == 0) {
                D[i][j] = 2 * dd;
                continue;
            }
            float best = inf;
            if (i > 0 && j > 0) best = std::min(best, D[i - 1][j - 1] + 2 * dd);
            if (i > 0) best = std::min(best, D[i - 1][j] + dd);
            if (j > 0) best = std::min(best, D[i][j - 1] + dd);
            D[i][j] = best;
        }
    return D[n - 1][m - 1];
}

void expect_valid_path(const dtw::Path& path, std::size_t n, std::size_t m) {
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), std::make_pair(0u, 0u));
    EXPECT_EQ(path.back(),
              std::make_pair(static_cast<std::uint32_t>(n - 1), static_cast<std::uint32_t>(m - 1)));
    for (std::size_t p = 1; p < path.size(); ++p) {
        const auto di = path[p].first - path[p - 1].first, dj = path[p].second - path[p - 1].second;
        EXPECT_TRUE(di <= 1 && dj <= 1 && di + dj >= 1) << "step " << p;
    }
}

// A piecewise-constant feature track: `phones[k]` held for `frames[k]` frames; a pause is
// phone -1 (all zeros).
std::vector<float> track(const std::vector<std::vector<float>>& vocab,
                         const std::vector<int>& phones, const std::vector<int>& frames,
                         std::size_t dims, std::mt19937& rng) {
    std::normal_distribution<float> noise(0.0f, 0.15f);
    std::vector<float> out;
    for (std::size_t k = 0; k < phones.size(); ++k)
        for (int f = 0; f < frames[k]; ++f)
            for (std::size_t d = 0; d < dims; ++d)
                out.push_back((phones[k] < 0 ? 0.0f : vocab[phones[k]][d]) + noise(rng));
    return out;
}

}  // namespace

TEST(DtwCorridor, FullCorridorFindsTheCheapestPathOfTheWholeMatrix) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-1, 1);
    for (auto [n, m] :
         {std::pair<std::size_t, std::size_t>{1, 1}, {1, 9}, {9, 1}, {17, 23}, {40, 31}}) {
        const std::size_t dims = 3;
        std::vector<float> a(n * dims), b(m * dims);
        for (auto& x : a) x = u(rng);
        for (auto& x : b) x = u(rng);
        const dtw::Path path = dtw::warp_in_corridor(a.data(), n, b.data(), m, dims,
                                                     dtw::diagonal_band(n, m, std::max(n, m)));
        expect_valid_path(path, n, m);
        EXPECT_NEAR(path_cost(a, b, dims, path), full_matrix_cost(a, n, b, m, dims), 1e-3)
            << n << "x" << m;
    }
}

TEST(DtwCorridor, NarrowBandStaysInsideAndStillConnects) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1, 1);
    const std::size_t n = 60, m = 150, dims = 2;
    std::vector<float> a(n * dims), b(m * dims);
    for (auto& x : a) x = u(rng);
    for (auto& x : b) x = u(rng);
    const dtw::Corridor band = dtw::diagonal_band(n, m, 2);
    const dtw::Path path = dtw::warp_in_corridor(a.data(), n, b.data(), m, dims, band);
    expect_valid_path(path, n, m);
    for (auto [i, j] : path) {
        EXPECT_GE(j + 3, band.lo[i]);  // the band is widened only where rows must touch
        EXPECT_LE(j, band.hi[i] + 3);
    }
}

// Phones of random features, the target with every phone stretched or squeezed and every
// pause lengthened or shortened: each phone boundary must land on its true frame.
TEST(DtwMultiscale, StretchedCopyWithPausesMapsEveryBoundary) {
    for (unsigned seed : {1u, 2u, 3u}) {
        std::mt19937 rng(seed);
        const std::size_t dims = 8;
        std::vector<std::vector<float>> vocab(30, std::vector<float>(dims));
        std::normal_distribution<float> g(0, 1.5f);
        for (auto& v : vocab)
            for (auto& x : v) x = g(rng);
        std::uniform_int_distribution<int> phone(0, 29), len(4, 14);
        std::uniform_real_distribution<double> stretch(0.6, 1.6);
        std::vector<int> rp, rf, tp, tf;
        std::vector<int> ref_start, tgt_start;
        int rpos = 0, tpos = 0;
        for (int k = 0; k < 600; ++k) {  // about a minute of 10 ms frames
            int p = phone(rng);
            if (!rp.empty() && p == rp.back()) p = (p + 1) % 30;
            if (k % 25 == 24) {
                // A pause on both sides, of unrelated lengths (0.05 to 0.45 s in the
                // reference, 0.03 to 0.8 s in the target, so shorter or longer there).
                const int rpause = 5 + static_cast<int>(rng() % 40);
                const int tpause = 3 + static_cast<int>(rng() % 77);
                rp.push_back(-1);
                rf.push_back(rpause);
                rpos += rpause;
                tp.push_back(-1);
                tf.push_back(tpause);
                tpos += tpause;
            }
            const int l = len(rng);
            const int tl = std::max(2, static_cast<int>(std::lround(l * stretch(rng))));
            ref_start.push_back(rpos);
            tgt_start.push_back(tpos);
            rp.push_back(p);
            rf.push_back(l);
            rpos += l;
            tp.push_back(p);
            tf.push_back(tl);
            tpos += tl;
        }
        const auto a = track(vocab, rp, rf, dims, rng);
        const auto b = track(vocab, tp, tf, dims, rng);
        const dtw::Path path = dtw::warp(a.data(), rpos, b.data(), tpos, dims);
        expect_valid_path(path, rpos, tpos);
        const dtw::FrameMap map = dtw::frame_map(path, rpos);
        int worst = 0;
        for (std::size_t k = 1; k < ref_start.size(); ++k) {
            const double got = map.map(ref_start[k]);
            const int err = static_cast<int>(std::lround(std::abs(got - tgt_start[k])));
            worst = std::max(worst, err);
        }
        EXPECT_LE(worst, 1) << "seed " << seed;
    }
}

TEST(DtwMultiscale, PathMatchesTheFullBandOnShortInput) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(-1, 1);
    const std::size_t n = 30, m = 45, dims = 4;
    std::vector<float> a(n * dims), b(m * dims);
    for (auto& x : a) x = u(rng);
    for (auto& x : b) x = u(rng);
    // Too short for a coarser level: one banded search.
    const dtw::Path path = dtw::warp(a.data(), n, b.data(), m, dims);
    EXPECT_NEAR(path_cost(a, b, dims, path), full_matrix_cost(a, n, b, m, dims), 1e-3);
}

TEST(FrameMap, MapsFirstPairAndInterpolatesInsideAFrame) {
    // Reference frame 1 is held over target frames 1..4 (a pause in the target).
    const dtw::Path path{{0, 0}, {1, 1}, {1, 2}, {1, 3}, {1, 4}, {2, 5}, {3, 6}};
    const dtw::FrameMap map = dtw::frame_map(path, 4);
    EXPECT_EQ(map.first, (std::vector<std::uint32_t>{0, 1, 5, 6}));
    EXPECT_EQ(map.last, (std::vector<std::uint32_t>{0, 4, 5, 6}));
    EXPECT_DOUBLE_EQ(map.map(1.0), 1.0);
    EXPECT_DOUBLE_EQ(map.map(1.5), 3.0);
    EXPECT_DOUBLE_EQ(map.map(2.0), 5.0);
    EXPECT_DOUBLE_EQ(map.map(-3.0), 0.0);
    EXPECT_DOUBLE_EQ(map.map(3.5), 6.5);
    EXPECT_DOUBLE_EQ(map.map(9.0), 7.0);
}

TEST(Features, SpeechRangeSkipsLeadingAndTrailingSilence) {
    const int rate = audio::kInternalRate;
    std::vector<float> s(rate * 2, 0.0f);
    for (int i = rate / 2; i < rate * 3 / 2; ++i) s[i] = 0.3f * std::sin(2 * M_PI * 440 * i / rate);
    const dtw::Features f = dtw::compute_features(s.data(), s.size());
    EXPECT_EQ(f.frames, static_cast<std::size_t>((2 * rate + dtw::kHop - 1) / dtw::kHop));
    const double half_second = 0.5 * rate / dtw::kHop;
    const dtw::Range r = dtw::speech_range(f.energy_db, dtw::silence_threshold_db(f.energy_db));
    EXPECT_NEAR(static_cast<double>(r.begin), half_second, 2.0);
    EXPECT_NEAR(static_cast<double>(r.end), 3 * half_second, 2.0);
    std::vector<float> quiet(1000, 0.0f);
    const dtw::Features q = dtw::compute_features(quiet.data(), quiet.size());
    EXPECT_EQ(dtw::speech_range(q.energy_db, dtw::silence_threshold_db(q.energy_db)).size(), 0u);
}

// --- words -----------------------------------------------------------------------------

TEST(Words, TokensJoinToTheTextAndCarryTheirLeadingWhitespace) {
    for (const char* s :
         {"Hallo Welt.", "  Grüße,  aus\tKöln! ", "eins – zwei ...", "42", " ", "a\nb"}) {
        const std::u32string t = text::decode(s);
        const auto tokens = word_align::tokenize(t);
        ASSERT_FALSE(tokens.empty()) << s;
        std::size_t at = 0;
        for (const auto& k : tokens) {
            EXPECT_EQ(k.begin, at) << s;
            EXPECT_LT(k.begin, k.end) << s;
            at = k.end;
        }
        EXPECT_EQ(at, t.size()) << s;
    }
    EXPECT_TRUE(word_align::tokenize(U"").empty());
    const auto t = word_align::tokenize(U" eins – zwei  ");
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[1].begin, 5u);   // " –"
    EXPECT_EQ(t[1].weight, 0u);  // nothing to say
    EXPECT_EQ(t[2].end, 14u);    // trailing spaces on the last word
}

TEST(Words, SentencesEndAfterStopsAndBeforeLineBreaks) {
    const std::u32string t = U"Eins. Zwei? «Drei!» vier\nfünf sechs";
    const auto tokens = word_align::tokenize(t);
    const auto s = word_align::sentences(t, tokens);
    ASSERT_EQ(s.size(), 5u);  // Eins. | Zwei? | «Drei!» | vier | fünf sechs
    EXPECT_EQ(s[0].last, 1u);
    EXPECT_EQ(s[1].last, 2u);
    EXPECT_EQ(s[2].last, 3u);
    EXPECT_EQ(s[3].last, 4u);
    EXPECT_EQ(s[4].first, 4u);
    EXPECT_EQ(s[4].last, 6u);
    // Stops only: "3.5" ends no sentence? It does end in a digit, so it is not a stop.
    const std::u32string u = U"Es kostet 3.5 Euro.";
    EXPECT_EQ(word_align::sentences(u, word_align::tokenize(u)).size(), 1u);
}

TEST(Words, EventsGoToTheWordTheirPositionFallsIn) {
    const std::u32string t = U"Ich bin's, zu Hause.";
    const auto tokens = word_align::tokenize(t);  // Ich | bin's, | zu | Hause.
    ASSERT_EQ(tokens.size(), 4u);
    // "zu" spoken together with "Hause" (no event); one stray event inside "bin's," and one
    // pointing at the space before "Hause".
    const std::vector<word_align::Event> events{{0, 0}, {4, 100}, {7, 150}, {13, 300}};
    const auto m = word_align::match_events(tokens, events);
    EXPECT_EQ(m, (std::vector<std::size_t>{0, 1, word_align::npos, 3}));

    // A stray event at a sentence start carrying the position of an earlier word, and three
    // events inside one number: spoken order decides, the earliest of a word counts.
    const std::u32string u = U"Nicht hoch! Größer 1999 mal.";
    const auto toks = word_align::tokenize(u);  // Nicht | hoch! | Größer | 1999 | mal.
    const std::vector<word_align::Event> ev{{0, 0},    {6, 100},  {5, 300},  {12, 301},
                                            {19, 400}, {20, 450}, {20, 470}, {24, 500}};
    EXPECT_EQ(word_align::match_events(toks, ev), (std::vector<std::size_t>{0, 1, 3, 4, 7}));
}

// A constructed "utterance": bursts of tones (one frequency per syllable), the voice-over the
// same bursts stretched and with pauses; the word starts must land within 20 ms.
TEST(Words, AlignTokensFindsStretchedWordsBehindInsertedPauses) {
    const std::u32string t = U"eins zwei drei vier fünf sechs sieben acht";
    const auto tokens = word_align::tokenize(t);
    const int rr = 22050, tr = audio::kInternalRate;
    std::mt19937 rng(5);
    const std::vector<double> freqs{300, 520, 780, 1100, 1500, 2100, 2900, 3700};
    word_align::Reference ref;
    ref.sample_rate = rr;
    audio::Decoded vo;
    std::vector<double> truth;
    auto add = [&](auto& out, int rate, double seconds, double f1, double f2, double amp) {
        const std::size_t n = static_cast<std::size_t>(seconds * rate);
        for (std::size_t i = 0; i < n; ++i) {
            const double x = amp * (std::sin(2 * M_PI * f1 * i / rate) +
                                    0.5 * std::sin(2 * M_PI * f2 * i / rate));
            if constexpr (std::is_same_v<std::decay_t<decltype(out)>, std::vector<float>>)
                out.push_back(static_cast<float>(x));
            else
                out.push_back(static_cast<std::int16_t>(x * 12000));
        }
    };
    add(ref.samples, rr, 0.2, 0, 0, 0);
    add(vo.samples, tr, 0.5, 0, 0, 0);
    for (std::size_t k = 0; k < tokens.size(); ++k) {
        if (k == 3) add(vo.samples, tr, 0.6, 0, 0, 0);  // a pause only the voice-over makes
        ref.events.push_back({tokens[k].letters, ref.samples.size()});
        truth.push_back(static_cast<double>(vo.samples.size()) / tr);
        const double f = freqs[k], g = freqs[(k + 3) % freqs.size()];
        add(ref.samples, rr, 0.12, f, g, 0.8);
        add(ref.samples, rr, 0.10, g, f * 1.3, 0.5);
        add(vo.samples, tr, 0.12 * 1.4, f, g, 0.4);
        add(vo.samples, tr, 0.10 * 1.4, g, f * 1.3, 0.25);
    }
    add(ref.samples, rr, 0.3, 0, 0, 0);
    add(vo.samples, tr, 0.4, 0, 0, 0);
    vo.duration = static_cast<double>(vo.samples.size()) / tr;
    // The fifth word's event is missing (spoken together with the fourth).
    ref.events.erase(ref.events.begin() + 4);

    const auto times = word_align::align_tokens(tokens, ref, vo);
    ASSERT_EQ(times.size(), tokens.size());
    for (std::size_t k = 0; k < tokens.size(); ++k) {
        const double tol = k == 4 ? 0.06 : 0.02;  // interpolated by letters
        EXPECT_NEAR(times[k].start, truth[k], tol) << "word " << k;
        EXPECT_LE(times[k].start, times[k].end);
        if (k + 1 < tokens.size()) EXPECT_LE(times[k].end, times[k + 1].start);
    }
    // The word before the pause ends before the pause, not at its far end.
    EXPECT_LT(times[2].end, truth[3] - 0.5);
    EXPECT_LE(times.back().end, vo.duration);
}

// --- decoding ----------------------------------------------------------------------------

namespace {
void write_wav(const std::filesystem::path& p, int rate, int channels,
               const std::vector<std::int16_t>& interleaved) {
    std::ofstream f(p, std::ios::binary);
    auto u32 = [&](std::uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](std::uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
    const std::uint32_t bytes = static_cast<std::uint32_t>(interleaved.size() * 2);
    f.write("RIFF", 4);
    u32(36 + bytes);
    f.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(channels);
    u32(rate);
    u32(rate * channels * 2);
    u16(channels * 2);
    u16(16);
    f.write("data", 4);
    u32(bytes);
    f.write(reinterpret_cast<const char*>(interleaved.data()), bytes);
}
}  // namespace

TEST(Decode, StereoWavBecomesMonoAtTheInternalRate) {
    const auto dir = std::filesystem::temp_directory_path() / "vestrel_decode_test";
    std::filesystem::create_directories(dir);
    const int rate = 44100;
    std::vector<std::int16_t> pcm;
    for (int i = 0; i < rate * 3 / 2; ++i) {  // 1.5 s: left a 500 Hz tone, right silent
        pcm.push_back(static_cast<std::int16_t>(16000 * std::sin(2 * M_PI * 500 * i / rate)));
        pcm.push_back(0);
    }
    write_wav(dir / "ä tone.wav", rate, 2, pcm);
    const audio::Decoded d = audio::decode_file((dir / "ä tone.wav").string());
    EXPECT_NEAR(d.duration, 1.5, 1e-9);
    EXPECT_NEAR(static_cast<double>(d.samples.size()), 1.5 * audio::kInternalRate, 40);
    double sq = 0;
    for (std::size_t i = 2000; i < 20000; ++i) sq += d.samples[i] * d.samples[i];
    const double rms = std::sqrt(sq / 18000);
    // The tone is there, at most at its full level and not lost in the down-mix.
    EXPECT_GT(rms, 0.1);
    EXPECT_LT(rms, 0.36);
    std::filesystem::remove_all(dir);
}

TEST(Decode, MissingAndUndecodableFilesFailClearly) {
    const auto dir = std::filesystem::temp_directory_path() / "vestrel_decode_bad";
    std::filesystem::create_directories(dir);
    EXPECT_THROW(audio::decode_file((dir / "nope.mp3").string()), audio::FileMissing);
    EXPECT_THROW(audio::decode_file(dir.string()), audio::FileMissing);
    { std::ofstream(dir / "text.mp3") << "this is not audio at all, just words\n"; }
    try {
        audio::decode_file((dir / "text.mp3").string());
        ADD_FAILURE() << "no error";
    } catch (const audio::FileMissing&) {
        ADD_FAILURE() << "reported as missing";
    } catch (const audio::DecodeError& e) {
        EXPECT_NE(std::string(e.what()).find("text.mp3"), std::string::npos);
    }
    std::filesystem::remove_all(dir);
}
