// The whole aligner against espeak-ng speech whose word starts are known: the voice-over is
// spoken by another voice variant, rate and pitch, with pauses inserted; every word must be
// found within 100 ms of its true start.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "core/audio_codec.hpp"
#include "core/espeak.hpp"
#include "core/text.hpp"
#include "core/word_align.hpp"

using namespace vestrel;

namespace {

struct Case {
    const char* language;
    const char* voice;
    int rate;
    int pitch;
    int pause_every;  // insert a pause before every n-th word (0: none)
    const char* text;
};

const Case kCases[] = {
    {"de", "de+f3", 210, 70, 4,
     "Heute zeigen wir dir drei einfache Tricks für bessere Videos am Handy. Erstens: halte "
     "das Handy quer! Zweitens, nutze das Licht vom Fenster. Und drittens? Sprich langsam, "
     "deutlich und mit 2 Pausen."},
    {"de", "de+m3", 140, 30, 0,
     "Über 1999 Menschen schauen täglich zu, und es werden mehr. Größer, schöner, schneller – "
     "so wächst der Kanal."},
    {"en", "en-us+f2", 230, 80, 3,
     "Today we will show you three simple tricks for better videos on your phone. First, "
     "hold it sideways! Second: use the light from a window. And third? Speak slowly."},
    {"en", "en+m7", 150, 40, 5,
     "It's 5 o'clock, and the 3 of us are still here - waiting for the train to London."},
};

class EspeakTruth : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(EspeakTruth, EveryWordWithin100Ms) {
    const Case& c = GetParam();
    const std::u32string text = text::decode(c.text);
    const auto tokens = word_align::tokenize(text);

    espeak::Options opt;
    opt.voice = c.voice;
    opt.rate = c.rate;
    opt.pitch = c.pitch;
    espeak::Speech speech = espeak::synthesize(c.text, opt);
    const auto match = word_align::match_events(tokens, [&] {
        std::vector<word_align::Event> ev;
        for (const auto& w : speech.words) ev.push_back({w.char_start, w.sample});
        return ev;
    }());

    // Pauses of 0.3 to 0.7 s before every n-th word that has an event of its own.
    std::vector<std::int16_t> samples;
    std::vector<double> truth(tokens.size(), -1.0);
    std::size_t from = 0, inserted = 0, counter = 0;
    for (std::size_t k = 0; k < tokens.size(); ++k) {
        if (match[k] == word_align::npos) continue;
        const std::size_t at = speech.words[match[k]].sample;
        samples.insert(samples.end(), speech.samples.begin() + from, speech.samples.begin() + at);
        from = at;
        if (c.pause_every && k > 0 && ++counter % c.pause_every == 0) {
            const std::size_t pause = speech.sample_rate * (3 + counter % 5) / 10;
            samples.insert(samples.end(), pause, 0);
            inserted += pause;
        }
        truth[k] = static_cast<double>(at + inserted) / speech.sample_rate;
    }
    samples.insert(samples.end(), speech.samples.begin() + from, speech.samples.end());

    // One folder per voice: ctest may run the voices in parallel processes, and each removes
    // its folder at the end.
    const auto dir = std::filesystem::temp_directory_path() /
                     ("vestrel_word_align_test_" + std::string(c.voice));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / (std::string(c.voice) + ".mp3")).string();
    audio::write_audio_file(path, samples, speech.sample_rate);

    const word_align::Alignment a = word_align::align_text(path, text, c.language);
    ASSERT_EQ(a.times.size(), tokens.size());
    double worst = 0.0;
    std::size_t checked = 0;
    for (std::size_t k = 0; k < tokens.size(); ++k) {
        if (truth[k] < 0) continue;
        const double err = std::abs(a.times[k].start - truth[k]);
        worst = std::max(worst, err);
        ++checked;
        EXPECT_LE(err, 0.100) << c.voice << " word " << k << " '"
                              << text::encode(text.substr(tokens[k].letters,
                                                          tokens[k].end - tokens[k].letters))
                              << "' at " << a.times[k].start << " s, truly " << truth[k] << " s";
    }
    EXPECT_GE(checked, tokens.size() * 3 / 4);
    std::printf("[ %s ] %zu words, worst %.0f ms\n", c.voice, checked, worst * 1000);
    std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Voices, EspeakTruth, ::testing::ValuesIn(kCases));

TEST(AlignText, UnknownLanguageAndMissingFileFailClearly) {
    try {
        word_align::align_text("/nonexistent.mp3", U"Hallo", "xx");
        ADD_FAILURE() << "no error";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("'xx'"), std::string::npos);
    }
    EXPECT_THROW(word_align::align_text("/nonexistent/vo.mp3", U"Hallo", "de"), audio::FileMissing);
}
