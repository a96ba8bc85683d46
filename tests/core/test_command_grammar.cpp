// The two readings of the command grammar ("<" up to the next ">") pinned on the same
// scripts: the command removal that makes the speech text (with the spoken ends of the
// alignment, which follow the speech text) and the command re-insertion of the alignment.
// They differ on purpose: the removal keeps a "<" that no ">" closes and a ">" that closes
// nothing; the re-insertion treats every ">" as a command character and a lone "<" as opening
// a command that runs to the end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/alignment.hpp"
#include "core/commands.hpp"
#include "core/text.hpp"

using namespace vestrel;
using Words = std::vector<std::u32string>;

namespace {

// A script and, per reading, the script with every command character shown as '_'.
struct Case {
    std::u32string script;
    std::u32string removal;
    std::u32string alignment;
};

const Case kCases[] = {
    {U"", U"", U""},
    {U"plain text", U"plain text", U"plain text"},
    {U"a<b>c", U"a___c", U"a___c"},
    {U"<>", U"__", U"__"},
    {U"a<b", U"a<b", U"a__"},                       // lone "<"
    {U"a>b", U"a>b", U"a_b"},                       // stray ">"
    {U"<", U"<", U"_"},
    {U">", U">", U"_"},
    {U"><", U"><", U"__"},
    {U"<<a>", U"____", U"____"},                    // nested "<"
    {U"x<<y>z", U"x____z", U"x____z"},
    {U"<a>b>", U"___b>", U"___b_"},
    {U"a<b<c>d>e", U"a_____d>e", U"a_____d_e"},
    {U"<a><b>", U"______", U"______"},
    {U"a <x> b < c", U"a ___ b < c", U"a ___ b ___"},
    {U"ends <inside", U"ends <inside", U"ends _______"},  // text ends inside a command
    {U"Grüße <split>→ 😀<ä>", U"Grüße _______→ 😀___", U"Grüße _______→ 😀___"},
    {U"ä>ö<ü", U"ä>ö<ü", U"ä_ö__"},
};

std::u32string spoken(const std::u32string& marked) {
    std::u32string out;
    for (char32_t c : marked)
        if (c != U'_') out += c;
    return out;
}

}  // namespace

TEST(CommandGrammar, RemovalKeepsLoneOpenersAndStrayClosers) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(text::encode(c.script));
        const std::u32string speech = spoken(c.removal);
        EXPECT_EQ(commands::remove_commands(text::encode(c.script)), text::encode(speech));
        // The spoken ends the alignment trims by are those of the same speech text.
        const alignment::SpokenEnds ends = alignment::spoken_ends(c.script);
        ASSERT_EQ(ends.first.has_value(), !speech.empty());
        ASSERT_EQ(ends.last.has_value(), !speech.empty());
        if (speech.empty()) continue;
        EXPECT_EQ(*ends.first, speech.front());
        EXPECT_EQ(*ends.last, speech.back());
    }
}

TEST(CommandGrammar, AlignmentTreatsEveryCloserAndLoneOpenerAsCommand) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(text::encode(c.script));
        // One transcript word per spoken character: each command character must land in
        // front of the next spoken one, trailing ones at the end of the last word.
        Words words, expected;
        std::u32string pending;
        for (size_t i = 0; i < c.script.size(); ++i) {
            if (c.alignment[i] == U'_') {
                pending += c.script[i];
                continue;
            }
            words.push_back(std::u32string(1, c.script[i]));
            expected.push_back(pending + c.script[i]);
            pending.clear();
        }
        const bool no_word = words.empty() && !pending.empty();
        if (!expected.empty()) expected.back() += pending;
        const alignment::Reinsertion r = alignment::reinsert_commands(words, c.script);
        if (no_word) {
            EXPECT_EQ(r.status, alignment::Reinsertion::Status::NoWordForCommand);
            continue;
        }
        EXPECT_EQ(r.status, alignment::Reinsertion::Status::Ok);
        EXPECT_EQ(words, expected);
    }
}

TEST(CommandGrammar, ScannerSpansGiveBothReadings) {
    // The spans cover the text in order, the same on code points and on UTF-8 bytes.
    auto marked = [](std::u32string_view text, commands::Rule rule) {
        std::u32string out;
        commands::scan(text, rule, [&](size_t begin, size_t end, bool command) {
            EXPECT_EQ(begin, out.size());
            EXPECT_LT(begin, end);
            out += command ? std::u32string(end - begin, U'_') : text.substr(begin, end - begin);
            return true;
        });
        return out;
    };
    auto spoken_utf8 = [](std::string_view text, commands::Rule rule) {
        std::string out;
        commands::scan(text, rule, [&](size_t begin, size_t end, bool command) {
            if (!command) out += text.substr(begin, end - begin);
            return true;
        });
        return out;
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(text::encode(c.script));
        EXPECT_EQ(marked(c.script, commands::Rule::Removal), c.removal);
        EXPECT_EQ(marked(c.script, commands::Rule::Alignment), c.alignment);
        const std::string utf8 = text::encode(c.script);
        EXPECT_EQ(spoken_utf8(utf8, commands::Rule::Alignment), text::encode(spoken(c.alignment)));
    }
    // A visit that returns false ends the walk.
    int visits = 0;
    commands::scan(std::u32string_view(U"a<b>c>d"), commands::Rule::Alignment,
                   [&](size_t, size_t, bool) { return ++visits < 2; });
    EXPECT_EQ(visits, 2);
}
