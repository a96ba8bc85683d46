#include <gtest/gtest.h>

#include "core/alignment.hpp"
#include "core/commands.hpp"
#include "core/text.hpp"

using namespace vestrel;
using alignment::Reinsertion;
using alignment::SceneSplit;
using Words = std::vector<std::u32string>;

TEST(Alignment, PositionWalkSkipsEmptyWordsAndNegatives) {
    auto locate = [](const std::vector<size_t>& lengths, std::int64_t index) {
        alignment::PositionWalk walk(index);
        for (size_t k = 0; k < lengths.size(); ++k)
            if (auto j = walk.step(lengths[k])) return std::make_pair<int, int>(int(k), int(*j));
        return std::make_pair(-1, -1);
    };
    EXPECT_EQ(locate({2, 0, 1}, 0), std::make_pair(0, 0));
    EXPECT_EQ(locate({2, 0, 1}, 2), std::make_pair(2, 0));
    EXPECT_EQ(locate({2, 0, 1}, 3), std::make_pair(-1, -1));
    EXPECT_EQ(locate({2, 0, 1}, -1), std::make_pair(-1, -1));
}

TEST(Alignment, CommandGoesInFrontOfTheNextSpokenCharacter) {
    struct Case {
        std::u32string script;
        Words expected;
    } cases[] = {
        {U"<b>Hello world.", {U"<b>Hello", U" world."}},
        {U"Hello <b>world.", {U"Hello", U" <b>world."}},
        {U"Hello<b> world.", {U"Hello", U"<b> world."}},
        {U"Hello world.", {U"Hello", U" world."}},
        {U"Hello world.<split>", {U"Hello", U" world.<split>"}},
        {U"Hel>lo world.", {U"Hel>lo", U" world."}},
        {U"Hello", {U"Hello", U" world."}},  // a prefix leaves the rest as it was
    };
    for (const Case& c : cases) {
        Words words{U"Hello", U" world."};
        Reinsertion r = alignment::reinsert_commands(words, c.script);
        EXPECT_EQ(r.status, Reinsertion::Status::Ok);
        EXPECT_EQ(words, c.expected);
    }
}

TEST(Alignment, ReportsOnlyChangedWords) {
    Words words{U"a", U" b", U" c"};
    Reinsertion r = alignment::reinsert_commands(words, U"a <x>b c");
    EXPECT_EQ(words, (Words{U"a", U" <x>b", U" c"}));
    EXPECT_EQ(r.changed, (std::vector<size_t>{1}));
}

TEST(Alignment, FailuresKeepEarlierInsertions) {
    Words words{U"ab", U" cd"};
    Reinsertion r = alignment::reinsert_commands(words, U"a<x>b cX");
    EXPECT_EQ(r.status, Reinsertion::Status::Mismatch);
    EXPECT_EQ(r.script_char, U'X');
    EXPECT_EQ(r.transcript_char, U'd');
    EXPECT_EQ(words, (Words{U"a<x>b", U" cd"}));

    Words shorter{U"ab"};
    r = alignment::reinsert_commands(shorter, U"a<y>bc");
    EXPECT_EQ(r.status, Reinsertion::Status::PastEnd);
    EXPECT_EQ(shorter, (Words{U"a<y>b"}));
}

TEST(Alignment, TrailingCommandsAndEmptyWords) {
    // A command after the last spoken character closes the last word, even an empty one.
    Words words{U"a", U"", U"b", U""};
    Reinsertion r = alignment::reinsert_commands(words, U"<1>ab<2>");
    EXPECT_EQ(r.status, Reinsertion::Status::Ok);
    EXPECT_EQ(words, (Words{U"<1>a", U"", U"b", U"<2>"}));
    EXPECT_EQ(r.changed, (std::vector<size_t>{0, 3}));

    Words none;
    EXPECT_EQ(alignment::reinsert_commands(none, U"<x>").status,
              Reinsertion::Status::NoWordForCommand);
}

TEST(Alignment, NormaliseTrimsOneSpaceWhereTheScriptHasNone) {
    Words w{U"  Hello", U" world. "};
    alignment::normalise(w[0], w[1], U"Hello world.");
    EXPECT_EQ(w, (Words{U" Hello", U" world."}));
    alignment::normalise(w[0], w[1], U" Hello world. ");
    EXPECT_EQ(w, (Words{U" Hello", U" world."}));
    std::u32string one = U" ";
    alignment::normalise(one, one, U"x");
    EXPECT_EQ(one, U"");
}

TEST(Alignment, SpokenEndsAreThoseOfTheSpeechText) {
    // The speech text is the script with its commands removed: the ends must be its ends.
    const std::u32string scripts[] = {
        U"", U"<x>", U"a", U"<x> Hallo drei. <split>", U"<a><b>c<d>", U"> a <", U"<a b",
        U"x<a>>", U"<<a>b>", U"ß <a", U"<a>< b", U" <x>", U"😀<x><y>",
    };
    for (const std::u32string& script : scripts) {
        const std::u32string speech =
            text::decode(commands::remove_commands(text::encode(script)));
        const alignment::SpokenEnds ends = alignment::spoken_ends(script);
        SCOPED_TRACE(text::encode(script));
        EXPECT_EQ(ends.first.has_value(), !speech.empty());
        EXPECT_EQ(ends.last.has_value(), !speech.empty());
        if (speech.empty()) continue;
        EXPECT_EQ(*ends.first, speech.front());
        EXPECT_EQ(*ends.last, speech.back());
    }
}

TEST(Alignment, NormaliseLooksPastCommandsAtTheEdges) {
    Words w{U" Hallo", U" drei. "};
    alignment::normalise(w[0], w[1], U"<x> Hallo drei. <split>");
    EXPECT_EQ(w, (Words{U" Hallo", U" drei. "}));
    alignment::normalise(w[0], w[1], U"<x>Hallo drei.<split>");
    EXPECT_EQ(w, (Words{U"Hallo", U" drei."}));
}

TEST(Alignment, WhitespacePastTheEndJoinsTheLastWord) {
    Words words{U"Hallo", U" drei."};
    Reinsertion r = alignment::reinsert_commands(words, U"Hallo drei. <split>\n");
    EXPECT_EQ(r.status, Reinsertion::Status::Ok);
    EXPECT_EQ(words, (Words{U"Hallo", U" drei. <split>\n"}));
    EXPECT_EQ(r.changed, (std::vector<size_t>{1}));
    // Anything spoken after it still lies past the end.
    Words more{U"Hi"};
    EXPECT_EQ(alignment::reinsert_commands(more, U"Hi \u3000there").status,
              Reinsertion::Status::PastEnd);
    EXPECT_EQ(more, (Words{U"Hi \u3000"}));
    EXPECT_TRUE(alignment::is_space(U'\u2009') && alignment::is_space(U'\x1f'));
    EXPECT_FALSE(alignment::is_space(U'\u200b') || alignment::is_space(U'x'));
}

TEST(Alignment, SplitHandsAWordToTheSceneReadingTheCharacterAfterIt) {
    Words words{U"Hi", U" there.", U" Bye."};
    SceneSplit s = alignment::split_by_scenes(words, {U"Hi there. ", U"Bye."});
    EXPECT_EQ(s.status, SceneSplit::Status::Ok);
    EXPECT_EQ(s.scenes, (std::vector<std::vector<size_t>>{{0, 1}, {2}}));
    s = alignment::split_by_scenes(words, {U"Hi there.", U"", U" Bye."});
    EXPECT_EQ(s.scenes, (std::vector<std::vector<size_t>>{{0}, {}, {1, 2}}));
    s = alignment::split_by_scenes(words, {U"Hi the"});
    EXPECT_EQ(s.scenes, (std::vector<std::vector<size_t>>{{0}}));
    EXPECT_TRUE(alignment::split_by_scenes(words, {}).scenes.empty());
}

TEST(Alignment, SplitKeepsEmptyWordsWithTheWordBefore) {
    Words words{U"", U"", U"ab", U"", U" c", U""};
    SceneSplit s = alignment::split_by_scenes(words, {U"a", U"b", U" c"});
    EXPECT_EQ(s.scenes, (std::vector<std::vector<size_t>>{{0, 1}, {}, {2, 3, 4, 5}}));
    s = alignment::split_by_scenes(words, {U"", U""});
    EXPECT_EQ(s.scenes, (std::vector<std::vector<size_t>>{{}, {0, 1}}));
}

TEST(Alignment, SplitFailures) {
    Words words{U"ab", U"c"};
    SceneSplit s = alignment::split_by_scenes(words, {U"ax"});
    EXPECT_EQ(s.status, SceneSplit::Status::Mismatch);
    EXPECT_EQ(s.scene_char, U'x');
    EXPECT_EQ(s.transcript_char, U'b');
    EXPECT_EQ(alignment::split_by_scenes(words, {U"abcd"}).status, SceneSplit::Status::PastEnd);
    EXPECT_EQ(alignment::split_by_scenes({}, {U""}).status, SceneSplit::Status::NoWords);
}

TEST(Alignment, LongScriptIsOneLinearPass) {
    // 200,000 words with a command in front of every one: quadratic work would not finish.
    Words words;
    std::u32string script;
    for (int i = 0; i < 200000; ++i) {
        words.push_back(U" wörd");
        script += U" <x>wörd";
    }
    Reinsertion r = alignment::reinsert_commands(words, script);
    ASSERT_EQ(r.status, Reinsertion::Status::Ok);
    EXPECT_EQ(r.changed.size(), words.size());
    EXPECT_EQ(words.back(), U" <x>wörd");
    std::vector<std::u32string> scenes{script.substr(0, 4000), script.substr(4000)};
    SceneSplit s = alignment::split_by_scenes(words, scenes);
    EXPECT_EQ(s.scenes[0].size() + s.scenes[1].size(), words.size());
}
