#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <limits>
#include <unordered_map>

#include "core/captions.hpp"

using namespace vestrel::captions;

namespace {

// Words with distinct objects, timed back to back unless given.
std::vector<TimedWord> words_of(std::vector<std::string> texts,
                                std::vector<std::pair<double, double>> times = {}) {
    static std::deque<std::string> storage;  // TimedWord holds views
    std::vector<TimedWord> out;
    for (size_t i = 0; i < texts.size(); ++i) {
        storage.emplace_back(texts[i]);
        auto t = i < times.size() ? times[i] : std::pair<double, double>{double(i), double(i + 1)};
        out.push_back({storage.back(), t.first, t.second, i});
    }
    return out;
}

std::vector<std::pair<size_t, size_t>> split(const std::vector<TimedWord>& w, int64_t limit,
                                             std::vector<size_t> ends = {}) {
    if (ends.empty()) ends = {w.size()};
    std::vector<std::pair<size_t, size_t>> out;
    for (Line l : split_lines(w, ends, limit)) out.push_back({l.begin, l.end});
    return out;
}

using Parts = std::vector<std::pair<size_t, size_t>>;

}  // namespace

TEST(Captions, SentenceMarks) {
    EXPECT_TRUE(ends_sentence(" world."));
    EXPECT_TRUE(ends_sentence(" Dr.Smith"));
    EXPECT_TRUE(ends_sentence(" what?!"));
    EXPECT_TRUE(ends_sentence(" <split>Next"));
    EXPECT_FALSE(ends_sentence(" <counter>one,"));
    EXPECT_EQ(remove_split(" <split>Next<split>"), " Next");
    // One pass, as str.replace: the pieces left around a removed mark do not form a new one.
    EXPECT_EQ(remove_split("<spl<split>it>"), "<split>");
    EXPECT_EQ(length(" Grüße"), 6u);
    EXPECT_EQ(length("😀"), 1u);
}

TEST(Captions, CutSentencesSeesWritesToRepeatedWords) {
    // Object 0 sits at positions 0 and 2: its second visit sees the first write.
    std::vector<std::string_view> texts{"<spl<split>it>", " a", " b."};
    auto cut = cut_sentences(texts, std::vector<size_t>{0, 1, 0, 2});
    EXPECT_EQ(cut.ends, (std::vector<size_t>{1, 3, 4}));
    ASSERT_EQ(cut.writes.size(), 3u);
    EXPECT_TRUE(cut.writes[0].changed);
    EXPECT_EQ(cut.writes[0].text, "<split>");
    EXPECT_EQ(cut.writes[1].position, 2u);
    EXPECT_TRUE(cut.writes[1].changed);
    EXPECT_EQ(cut.writes[1].text, "");
    // Punctuation alone ends the sentence; the text is written back as it is.
    EXPECT_EQ(cut.writes[2].position, 3u);
    EXPECT_FALSE(cut.writes[2].changed);
    // A trailing sentence without a mark; no words, no sentences.
    std::vector<std::string_view> two{" a.", " b"};
    EXPECT_EQ(cut_sentences(two, std::vector<size_t>{0, 1}).ends, (std::vector<size_t>{1, 2}));
    EXPECT_TRUE(cut_sentences({}, std::vector<size_t>{}).ends.empty());
}

TEST(Captions, GreatestPause) {
    // Pauses 0.25, 0.5, 0.5: the first of the equal pauses wins.
    auto w = words_of({"a", "b", "c", "d"}, {{0, 1}, {1.25, 2}, {2.5, 3}, {3.5, 4}});
    EXPECT_EQ(find_greatest_pause(w), 1u);
    // No positive pause, one word: nothing.
    EXPECT_EQ(find_greatest_pause(words_of({"a", "b"}, {{0, 1}, {0.5, 2}})), std::nullopt);
    EXPECT_EQ(find_greatest_pause(words_of({"a"})), std::nullopt);
    // Taken in order of end times, equal ends keeping their order: the index is the input's.
    auto u = words_of({"a", "b", "c"}, {{3, 4}, {0, 1}, {1, 1}});
    // sorted: b(0-1), c(1-1), a(3-4); pauses 0 and 2, after c.
    EXPECT_EQ(find_greatest_pause(u), 2u);
}

// The starts are read on demand: never for one word, never for the word that ends first (the
// first of equal ends), each other once in input order; the answer is the words' own.
TEST(Captions, GreatestPauseByEndsReadsOnlyTheStartsAPauseCanEndAt) {
    struct Case {
        std::vector<std::pair<double, double>> times;
        std::vector<size_t> read;
    };
    const Case cases[] = {
        {{{0, 1}}, {}},
        {{{0, 1}, {1.25, 2}, {2.5, 3}, {3.5, 4}}, {1, 2, 3}},
        {{{3, 4}, {0, 1}, {1, 1}}, {0, 2}},
        {{{5, 2}, {0, 1}, {7, 1}}, {0, 2}},  // equal first ends: the first of them is skipped
    };
    for (const Case& c : cases) {
        std::vector<std::string> texts(c.times.size(), "w");
        const auto words = words_of(texts, c.times);
        std::vector<double> ends;
        for (const auto& t : c.times) ends.push_back(t.second);
        std::vector<size_t> read;
        const auto found = find_greatest_pause(ends, [&](size_t i) {
            read.push_back(i);
            return c.times[i].first;
        });
        EXPECT_EQ(read, c.read);
        EXPECT_EQ(found, find_greatest_pause(words));
    }
}

TEST(Captions, LengthLimitIsInclusiveAndCountsCodePoints) {
    // 25 code points in 3 words (ü is two bytes): one line; one more: split.
    auto fits = words_of({" Grüße", " aus", " dem Süden, ok"});
    ASSERT_EQ(length(fits[0].text) + length(fits[1].text) + length(fits[2].text), 24u);
    fits[2].text = " dem Süden, ok!";
    EXPECT_EQ(split(fits, 25), (Parts{{0, 3}}));
    fits[2].text = " dem Süden, ok!!";
    EXPECT_EQ(split(fits, 25).size(), 2u);
    // A single over-long word is a line of its own.
    EXPECT_EQ(split(words_of({std::string(40, 'x')}), 25), (Parts{{0, 1}}));
}

TEST(Captions, SplitPrefersPauseThenConnectorThenMiddle) {
    const std::string w8 = " abcdefg";  // 8 code points
    // Pause after the second word.
    auto p = words_of({w8, w8, w8, w8}, {{0, 1}, {1.25, 2}, {2.5, 3}, {3.5, 4}});
    EXPECT_EQ(split(p, 25), (Parts{{0, 2}, {2, 4}}));
    // No pause: after the first connector that is not the last word.
    auto c = words_of({w8, w8, " und", w8, w8});
    EXPECT_EQ(split(c, 25), (Parts{{0, 3}, {3, 5}}));
    auto last = words_of({w8, w8, w8, w8, " und"});
    EXPECT_EQ(split(last, 25), (Parts{{0, 2}, {2, 5}}));
    // Exact comparison: a capital or a comma makes no connector.
    auto cap = words_of({w8, " Und", " und,", w8, w8});
    EXPECT_EQ(split(cap, 25), (Parts{{0, 2}, {2, 5}}));
    // No pause, no connector: middle, then again while too long.
    auto m = words_of({w8, w8, w8, w8, w8});
    EXPECT_EQ(split(m, 17), (Parts{{0, 2}, {2, 3}, {3, 5}}));
}

TEST(Captions, SplitRunsPerSentenceInSpokenOrder) {
    auto w = words_of({" one.", " two", " three", " four", " five"});
    EXPECT_EQ(split(w, 10, {1, 5}), (Parts{{0, 1}, {1, 3}, {3, 5}}));
}

TEST(Captions, PauseWordLastInSegmentFallsBack) {
    const std::string w8 = " abcdefg";
    // The last word ends first: by end time it is followed by the longest pause, so cutting
    // after it would give the segment back. The connector split is taken instead.
    auto c = words_of({w8, " and", w8, w8}, {{1, 2}, {2, 3}, {3, 4}, {0, 0.5}});
    ASSERT_EQ(find_greatest_pause(c), 3u);
    // Its second part again has its pause word last and no connector: the middle split.
    EXPECT_EQ(split(c, 15), (Parts{{0, 2}, {2, 3}, {3, 4}}));
    auto m = words_of({w8, w8, w8, w8}, {{1, 2}, {2, 3}, {3, 4}, {0, 0.5}});
    EXPECT_EQ(split(m, 16), (Parts{{0, 2}, {2, 4}}));
}

TEST(Captions, PauseWordIsSearchedByValue) {
    // Two distinct words with the same text and times: the first one in segment order is cut.
    const std::string w8 = " abcdefg";
    auto w = words_of({w8, w8, w8, w8}, {{0, 1}, {2, 3}, {0, 1}, {4, 5}});
    // sorted by end: 0, 2, 1, 3; pauses 0-2: -1, 2-1: 1, 1-3: 1 -> after position 2,
    // found first at position 0.
    ASSERT_EQ(find_greatest_pause(w), 2u);
    EXPECT_EQ(split(w, 20).front(), (std::pair<size_t, size_t>{0, 1}));
}

TEST(Captions, PauseFinderReplacesThePauseSearch) {
    // Back to back with the longest pause after the first word, which the finder overrides.
    const std::string w8 = " abcdefg";
    auto w = words_of({w8, w8, " or", w8}, {{0, 1}, {3, 4}, {4, 5}, {5, 6}});
    std::vector<std::pair<size_t, size_t>> asked;
    PauseFinder none = [&](size_t b, size_t e) -> std::optional<size_t> {
        asked.push_back({b, e});
        return std::nullopt;
    };
    std::vector<size_t> ends{4};
    Parts got;
    for (Line l : split_lines(w, ends, 18, {}, &none)) got.push_back({l.begin, l.end});
    EXPECT_EQ(got, (Parts{{0, 1}, {1, 3}, {3, 4}}));  // connector, then middle
    EXPECT_EQ(asked, (Parts{{0, 4}, {0, 3}}));
    // A finder naming the segment's last word falls back as the pause search does.
    PauseFinder last = [](size_t, size_t e) -> std::optional<size_t> { return e - 1; };
    got.clear();
    for (Line l : split_lines(w, ends, 18, {}, &last)) got.push_back({l.begin, l.end});
    EXPECT_EQ(got, (Parts{{0, 1}, {1, 3}, {3, 4}}));
}

TEST(Captions, GapClosing) {
    EXPECT_TRUE(closes_gap(1.0, 3.0));    // gap
    EXPECT_TRUE(closes_gap(1.0, 1.0));    // touching (no change in effect)
    EXPECT_TRUE(closes_gap(1.25, 1.0));   // overlap under 0.5 s
    EXPECT_FALSE(closes_gap(1.5, 1.0));   // overlap of 0.5 s
    EXPECT_FALSE(closes_gap(2.0, 1.0));
}

TEST(Captions, SplitTakesGivenLengths) {
    // Given lengths stand for the texts' own: the same lines when they agree, others when not.
    auto w = words_of({" Grüße", " an", " alle"});
    const std::vector<size_t> ends{3};
    const std::vector<size_t> own{6, 3, 5};
    auto lines = [&](std::span<const size_t> lengths, int64_t limit) {
        std::vector<std::pair<size_t, size_t>> out;
        for (Line l : split_lines(w, ends, limit, lengths)) out.push_back({l.begin, l.end});
        return out;
    };
    for (int64_t limit : {5, 9, 13, 14})
        EXPECT_EQ(lines(own, limit), split(w, limit)) << limit;
    const std::vector<size_t> longer{10, 10, 10};
    EXPECT_EQ(lines(longer, 14), (std::vector<std::pair<size_t, size_t>>{{0, 1}, {1, 2}, {2, 3}}));
}

TEST(Captions, CutSentencesOverTimedWords) {
    // The same cut as over object texts: object 0 at positions 0 and 2 sees its first write.
    std::vector<std::string_view> texts{"<spl<split>it>", " a", " b."};
    const std::vector<size_t> of{0, 1, 0, 2};
    std::vector<TimedWord> w;
    for (size_t i = 0; i < of.size(); ++i) w.push_back({texts[of[i]], 0.0, 0.0, of[i]});
    auto by_objects = cut_sentences(texts, of);
    auto by_words = cut_sentences(w, texts.size());
    EXPECT_EQ(by_words.ends, by_objects.ends);
    ASSERT_EQ(by_words.writes.size(), by_objects.writes.size());
    for (size_t i = 0; i < by_words.writes.size(); ++i) {
        EXPECT_EQ(by_words.writes[i].position, by_objects.writes[i].position);
        EXPECT_EQ(by_words.writes[i].changed, by_objects.writes[i].changed);
        EXPECT_EQ(by_words.writes[i].text, by_objects.writes[i].text);
    }
    EXPECT_TRUE(cut_sentences(std::vector<TimedWord>{}, 0).ends.empty());
}

TEST(Captions, NumbersKeysByFirstAppearance) {
    using Numbers = std::vector<size_t>;
    auto number = [](std::vector<uintptr_t> keys) { return number_by_first_appearance(keys); };
    EXPECT_EQ(number({}), Numbers{});
    EXPECT_EQ(number({0x1000, 0x2000, 0x1000, 0x3000, 0x2000}), (Numbers{0, 1, 0, 2, 1}));
    EXPECT_EQ(number({0, 0, 0}), (Numbers{0, 0, 0}));

    // Thousands of keys spaced like object addresses, some repeated far apart, and keys that
    // differ only in high bits: numbered as a map of first appearances numbers them.
    std::vector<uintptr_t> keys;
    for (uintptr_t i = 0; i < 5000; ++i) keys.push_back(0x7f0000000000 + 48 * (i % 3001));
    for (uintptr_t i = 0; i < 64; ++i) keys.push_back(uintptr_t(1) << (i % 64));
    std::unordered_map<uintptr_t, size_t> first;
    Numbers expected;
    for (uintptr_t k : keys) expected.push_back(first.emplace(k, first.size()).first->second);
    EXPECT_EQ(number(keys), expected);
}

TEST(Captions, RealLineLimitIsItsFloorAndNanFitsNothing) {
    EXPECT_EQ(line_limit(25.0), 25);
    EXPECT_EQ(line_limit(25.9), 25);
    EXPECT_EQ(line_limit(-0.5), -1);  // no length (>= 0) is within a negative limit
    EXPECT_EQ(line_limit(std::nan("")), INT64_MIN);
    EXPECT_EQ(line_limit(1e300), INT64_MAX);
    EXPECT_EQ(line_limit(-1e300), INT64_MIN);
    EXPECT_EQ(line_limit(std::numeric_limits<double>::infinity()), INT64_MAX);
}
