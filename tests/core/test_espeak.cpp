#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "core/espeak.hpp"

using namespace vestrel;

namespace {

const std::string kGerman =
    "Heute zeigen wir dir drei einfache Tricks für bessere Videos am Handy.";

double rms(const std::vector<std::int16_t>& s, std::size_t from, std::size_t to) {
    double sum = 0;
    for (std::size_t i = from; i < to; ++i) sum += double(s[i]) * s[i];
    return to > from ? std::sqrt(sum / double(to - from)) : 0.0;
}

}  // namespace

TEST(Espeak, WordsAreMonotoneInsideTheSamplesAndPointAtTheText) {
    std::string text = "Größe über alles, a < b. Zweiter Satz!";
    espeak::Speech s = espeak::synthesize(text, {});
    EXPECT_EQ(s.sample_rate, 22050);
    ASSERT_FALSE(s.samples.empty());
    ASSERT_GE(s.words.size(), 6u);
    // Code points, not bytes: "über" starts at code point 6 although "Größe " is 8 bytes.
    EXPECT_EQ(s.words[0].char_start, 0u);
    EXPECT_EQ(s.words[0].char_length, 5u);
    EXPECT_EQ(s.words[1].char_start, 6u);
    EXPECT_EQ(s.words[1].char_length, 4u);
    const std::size_t code_points = 38;
    for (std::size_t i = 0; i < s.words.size(); ++i) {
        EXPECT_LT(s.words[i].sample, s.samples.size());
        EXPECT_LE(s.words[i].char_start + s.words[i].char_length, code_points);
        if (i > 0) {
            EXPECT_GE(s.words[i].sample, s.words[i - 1].sample);
            EXPECT_GT(s.words[i].char_start, s.words[i - 1].char_start);
        }
    }
    // The last word is spoken: there is sound after its start.
    EXPECT_GT(rms(s.samples, s.words.back().sample, s.samples.size()), 100.0);

    // Positions count from the start of each synthesis, not of the process.
    espeak::Speech again = espeak::synthesize(text, {});
    ASSERT_EQ(again.words.size(), s.words.size());
    for (std::size_t i = 0; i < s.words.size(); ++i)
        EXPECT_NEAR(double(again.words[i].sample), double(s.words[i].sample), 200.0);
}

TEST(Espeak, DurationFitsTheText) {
    espeak::Speech de = espeak::synthesize(kGerman, {});
    EXPECT_GT(de.duration_seconds(), 2.0);
    EXPECT_LT(de.duration_seconds(), 6.0);
    EXPECT_EQ(de.words.size(), 12u);

    // Twice the words take about twice as long.
    espeak::Speech twice = espeak::synthesize(kGerman + " " + kGerman, {});
    double ratio = twice.duration_seconds() / de.duration_seconds();
    EXPECT_GT(ratio, 1.7);
    EXPECT_LT(ratio, 2.3);
}

TEST(Espeak, RateAndPitchChangeTheAudioAndAreResetBetweenCalls) {
    espeak::Options slow, fast;
    slow.rate = 100;
    fast.rate = 300;
    double t_default = espeak::synthesize(kGerman, {}).duration_seconds();
    double t_slow = espeak::synthesize(kGerman, slow).duration_seconds();
    double t_fast = espeak::synthesize(kGerman, fast).duration_seconds();
    EXPECT_GT(t_slow, t_default * 1.3);
    EXPECT_LT(t_fast, t_default * 0.8);
    // Options of an earlier call do not leak into the next one (espeak-ng's wave generator
    // carries a few samples of phase from call to call, hence the tolerance).
    EXPECT_NEAR(espeak::synthesize(kGerman, {}).duration_seconds(), t_default, 0.03);

    espeak::Options high;
    high.pitch = 95;
    EXPECT_NE(espeak::synthesize(kGerman, high).samples, espeak::synthesize(kGerman, {}).samples);
}

TEST(Espeak, VoicesDiffer) {
    espeak::Options en, variant;
    en.voice = "en-us";
    variant.voice = "de+f3";
    auto de = espeak::synthesize(kGerman, {}).samples;
    EXPECT_NE(espeak::synthesize(kGerman, en).samples, de);
    EXPECT_NE(espeak::synthesize(kGerman, variant).samples, de);
}

TEST(Espeak, VoicesByNameFileOrListedLanguage) {
    // Every form `espeak-ng --voices` shows selects the same voice; a variant applies to a
    // voice picked by language too.
    espeak::Options o;
    std::vector<std::size_t> words;
    for (std::string voice : {"en-gb", "EN-GB", "gmw/en", "English (Great Britain)"}) {
        o.voice = voice;
        words.push_back(espeak::synthesize("Hello there, good morning.", o).words.size());
    }
    EXPECT_EQ(words, std::vector<std::size_t>(4, words[0]));
    o.voice = "en-gb+f3";
    auto female = espeak::synthesize("Hello there, good morning.", o).samples;
    o.voice = "en-gb";
    EXPECT_NE(female, espeak::synthesize("Hello there, good morning.", o).samples);
}

TEST(Espeak, UnknownVoiceThrowsNamingIt) {
    for (std::string voice : {"xx-nothing", "", "de-DE-KatjaNeural", "de-de", "xx+f3"}) {
        espeak::Options o;
        o.voice = voice;
        try {
            espeak::synthesize("Hallo", o);
            FAIL() << "no error for voice '" << voice << "'";
        } catch (const espeak::UnknownVoice& e) {
            std::string what = e.what();
            EXPECT_NE(what.find("'" + voice + "'"), std::string::npos) << what;
            EXPECT_NE(what.find("espeak-ng --voices"), std::string::npos) << what;
        }
    }
    // The library stays usable afterwards.
    EXPECT_FALSE(espeak::synthesize("Hallo", {}).samples.empty());
}

TEST(Espeak, OutOfRangeOptionsAreRefused) {
    espeak::Options o;
    o.rate = 20;
    EXPECT_THROW(espeak::synthesize("Hallo", o), std::invalid_argument);
    o = {};
    o.pitch = 101;
    EXPECT_THROW(espeak::synthesize("Hallo", o), std::invalid_argument);
}

TEST(Espeak, BlankTextGivesNoAudioAndMarkupIsText) {
    EXPECT_TRUE(espeak::synthesize("", {}).samples.empty());
    EXPECT_TRUE(espeak::synthesize(" \n\t", {}).samples.empty());
    // With SSML off, a tag is spoken as text rather than swallowed as markup.
    espeak::Options en;
    en.voice = "en-us";
    auto tagged = espeak::synthesize("one <break time=\"3s\"/> two", en);
    auto plain = espeak::synthesize("one two", en);
    EXPECT_GT(tagged.words.size(), plain.words.size());
}

TEST(Espeak, ConcurrentCallsAreSerialised) {
    // Two threads with different voices and rates: interleaved calls into the library would
    // mix their settings or their samples.
    espeak::Options en, fast;
    en.voice = "en-us";
    fast.rate = 300;
    const std::string english = "This is a short English sentence for the test.";
    espeak::Speech expect_de = espeak::synthesize(kGerman, fast);
    espeak::Speech expect_en = espeak::synthesize(english, en);
    for (int round = 0; round < 3; ++round) {
        espeak::Speech a, b;
        std::thread t1([&] { a = espeak::synthesize(kGerman, fast); });
        std::thread t2([&] { b = espeak::synthesize(english, en); });
        t1.join();
        t2.join();
        EXPECT_NEAR(a.duration_seconds(), expect_de.duration_seconds(), 0.03);
        EXPECT_NEAR(b.duration_seconds(), expect_en.duration_seconds(), 0.03);
        EXPECT_EQ(a.words.size(), expect_de.words.size());
        EXPECT_EQ(b.words.size(), expect_en.words.size());
    }
}

TEST(Espeak, VoiceForLanguageAndVoiceList) {
    EXPECT_EQ(espeak::voice_for_language("de"), "de");
    EXPECT_EQ(espeak::voice_for_language("en"), "en-us");
    EXPECT_EQ(espeak::voice_for_language("FR"), "fr");
    // A regional code is kept: British English is not the American voice.
    EXPECT_EQ(espeak::voice_for_language("en_GB"), "en-gb");
    EXPECT_EQ(espeak::voice_for_language("de-AT"), "de");  // no Austrian voice: German
    for (std::string bad : {"xq", "", "de de", "klingon", "german", "e", "gmw/de"}) {
        try {
            espeak::voice_for_language(bad);
            FAIL() << "no error for '" << bad << "'";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find("'" + bad + "'"), std::string::npos);
        }
    }
    auto voices = espeak::list_voices();
    ASSERT_GT(voices.size(), 50u);
    bool german = false;
    for (const auto& v : voices) {
        EXPECT_FALSE(v.identifier.empty());
        EXPECT_NE(v.identifier.rfind("mb/", 0), 0u);
        if (v.identifier == "gmw/de") german = v.languages.rfind("de", 0) == 0;
    }
    EXPECT_TRUE(german);
    EXPECT_FALSE(espeak::data_path().empty());
}

TEST(EspeakSettings, RangeEndsPassAndOutsideValuesNameTheSettingAndTheValue) {
    EXPECT_EQ(espeak::checked_setting(espeak::kRateSetting, 80, false, "80"), 80);
    EXPECT_EQ(espeak::checked_setting(espeak::kRateSetting, 450, false, "450"), 450);
    EXPECT_EQ(espeak::checked_setting(espeak::kPitchSetting, 0, false, "0"), 0);
    struct Case {
        const espeak::Setting& setting;
        long long value;
        bool out_of_long;
        const char* shown;
        const char* message;
    };
    const Case cases[] = {
        {espeak::kRateSetting, 79, false, "79",
         "rate must be between 80 and 450 words per minute, got 79"},
        {espeak::kPitchSetting, 101, false, "101", "pitch must be between 0 and 100, got 101"},
        {espeak::kPitchSetting, -1, false, "-1", "pitch must be between 0 and 100, got -1"},
        // Beyond long long: refused whatever the value slot holds.
        {espeak::kPitchSetting, 50, true, "99999999999999999999",
         "pitch must be between 0 and 100, got 99999999999999999999"},
    };
    for (const Case& c : cases) {
        try {
            espeak::checked_setting(c.setting, c.value, c.out_of_long, c.shown);
            ADD_FAILURE() << c.message;
        } catch (const vestrel::Error& e) {
            EXPECT_EQ(e.kind(), ErrorKind::Value);
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

TEST(EspeakSettings, LanguageListDropsEmptyEntries) {
    using L = std::vector<std::string>;
    EXPECT_EQ(espeak::language_list(""), L{});
    EXPECT_EQ(espeak::language_list("de"), L{"de"});
    EXPECT_EQ(espeak::language_list("en-gb,en"), (L{"en-gb", "en"}));
    EXPECT_EQ(espeak::language_list(",de,,fr,"), (L{"de", "fr"}));
    EXPECT_EQ(espeak::language_list(",,"), L{});
}

TEST(EspeakSettings, VoiceForRequestRefusesUnknownLanguagesWithTheListingHint) {
    EXPECT_EQ(espeak::voice_for_request("de"), espeak::voice_for_language("de"));
    try {
        espeak::voice_for_request("qq");
        ADD_FAILURE() << "no voice expected for qq";
    } catch (const vestrel::Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::Value);
        EXPECT_STREQ(e.what(),
                     "espeak-ng has no voice for the language 'qq'; list the valid voices with "
                     "`espeak-ng --voices` or vestrel.tts.list_espeak_voices()");
    }
}
