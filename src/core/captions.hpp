// Caption building over timed words: the sentence cut, the recursive line split and the
// gap closing between lines. Texts are UTF-8; every length counts code points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vestrel::captions {

// The caption line length (in characters) every caller gets unless it asks for another: the
// captions' own default and the generation request's.
inline constexpr int kCharsPerLine = 25;

// The explicit break command; removed from the words that end a sentence.
inline constexpr std::string_view kSplitMark = "<split>";

// A word ends its sentence when its text holds "<split>" or any ".", "!" or "?".
bool ends_sentence(std::string_view text);
// The text with every "<split>" removed in one left-to-right pass (as str.replace does).
std::string remove_split(std::string_view text);
// Number of code points of a UTF-8 text.
size_t length(std::string_view utf8);

// Numbers opaque keys (object addresses, say) by first appearance: for each position the
// number of its key, the distinct keys counted 0, 1, 2, ... in the order they first occur.
std::vector<size_t> number_by_first_appearance(std::span<const uintptr_t> keys);

// The sentence cut over the words of one run. The same input object may sit at several
// positions; `object_of[i]` names the object at position i and `object_texts[k]` holds the
// text of object k as it is before the cut. A write to an object is seen by its later
// positions, as it would be when the words are walked one by one.
struct SentenceCut {
    struct Write {
        size_t position;   // the word that ends a sentence
        bool changed;      // whether "<split>" was removed (else its text is written unchanged)
        std::string text;  // its text without "<split>", when changed
    };
    std::vector<size_t> ends;  // exclusive end position of each sentence, in order
    std::vector<Write> writes; // one per sentence-ending word, in order
};
SentenceCut cut_sentences(std::span<const std::string_view> object_texts,
                          std::span<const size_t> object_of);

// One word as the line split sees it.
struct TimedWord {
    std::string_view text;  // UTF-8, after the sentence cut (the caller owns the bytes)
    double start = 0.0;
    double end = 0.0;
    size_t object = 0;  // identity of the input object (equal objects are the same word)
};

// The sentence cut over words whose `object` numbers are below `object_count` and whose
// `text` is, at every position, the text of its object as it is before the cut.
SentenceCut cut_sentences(std::span<const TimedWord> words, size_t object_count);

// The word after which the longest strictly positive pause follows, the words taken in
// order of their end times (equal ends keep their order); the index is into `words`.
// Among equal pauses the first wins; the last word by end time is never returned.
// Returns nothing for fewer than two words or when no pause is positive.
std::optional<size_t> find_greatest_pause(std::span<const TimedWord> words);
// The same for words known by their end times, whose starts are read through `start_of(i)`,
// in input order, only where a pause can end: none for a single word, and never the start of
// the word that ends first (the first of equal ends), which no pause ends at.
std::optional<size_t> find_greatest_pause(std::span<const double> ends,
                                          const std::function<double(size_t)>& start_of);

// The words after which a connecting word lets a line break.
inline constexpr std::string_view kConnectors[] = {" und", " oder", " and", " but", " or"};

struct Line {
    size_t begin;  // first word position
    size_t end;    // one past the last word position
};

// Cuts each sentence [previous end, end) into lines of at most `max_line_length` code
// points (a single word may be longer), recursively: after the greatest pause, else after
// the first connector that is not the last word, else in the middle. The pause word is
// looked for in segment order as the first word equal to it (the same object, or the same
// text, start and end), and the cut falls right after it. When the pause word is
// the segment's last word (possible when the words are not in order of their end times)
// the pause split would give the whole segment back, so the connector and middle splits
// are tried instead; every step thus makes the parts smaller and the split ends.
// Lines come out in spoken order and cover every word once. `lengths`, when given, holds the
// code points of each word's text (a caller that has them spares the count).
// `find_pause`, when given, replaces the pause search: for the segment [begin, end) it names
// the position of the word to cut after, or nothing (no pause word, or none in the segment).
using PauseFinder = std::function<std::optional<size_t>(size_t begin, size_t end)>;
std::vector<Line> split_lines(std::span<const TimedWord> words,
                              std::span<const size_t> sentence_ends, int64_t max_line_length,
                              std::span<const size_t> lengths = {},
                              const PauseFinder* find_pause = nullptr);

// The gap closing between neighbouring lines: a line whose end minus the next line's start
// is less than 0.5 s takes the next line's start as its end. Closes gaps of any length and
// overlaps shorter than 0.5 s; longer overlaps stay.
bool closes_gap(double end, double next_start);

// A real line length limit as an integer one: a length (an integer) is within `limit` when it
// is within floor(limit); no length is within NaN; beyond the 64-bit range, clamped.
int64_t line_limit(double limit);

}  // namespace vestrel::captions
