// Word timings of a known text in a voice-over: the text cut into words and sentences, the
// reference utterance's word starts found for every word, and their times in the voice-over
// through the warping path between the two recordings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/audio_decode.hpp"

namespace vestrel::word_align {

// One word of a text, as code-point positions: [begin, end) holds the whitespace in front of
// the word and the word itself (the first word also holds whitespace at the text's start,
// the last one whitespace at its end), so the words joined in order are the text.
struct Token {
    std::size_t begin = 0;
    std::size_t letters = 0;  // first code point after the leading whitespace
    std::size_t end = 0;
    std::size_t weight = 0;  // letters and digits: how long the word takes to say, roughly
};

// Words of `text`: runs of non-whitespace with the whitespace before them. A text of
// whitespace only is one token; an empty text has none.
std::vector<Token> tokenize(std::u32string_view text);

// Sentences as word ranges [first, last): a sentence ends after a word ending in ".", "!" or
// "?" (closing quotes and brackets after it allowed), and before a word whose leading
// whitespace holds a line break.
struct Sentence {
    std::size_t first = 0;
    std::size_t last = 0;
};
std::vector<Sentence> sentences(std::u32string_view text, const std::vector<Token>& tokens);

// A word start of the reference utterance: the code point where the synthesiser's word
// begins and its sample.
struct Event {
    std::size_t char_start = 0;
    std::size_t sample = 0;
};

// The event of every token (index into `events`), or npos. An event belongs to the token
// whose span holds its position; of the events taken in spoken order, the longest run whose
// tokens strictly advance is kept (a token with several keeps the earliest). Tokens the
// synthesiser spoke together with another get none.
inline constexpr std::size_t npos = static_cast<std::size_t>(-1);
std::vector<std::size_t> match_events(const std::vector<Token>& tokens,
                                      const std::vector<Event>& events);

// The reference utterance: its samples at `sample_rate` and its word starts.
struct Reference {
    int sample_rate = 22050;
    std::vector<std::int16_t> samples;
    std::vector<Event> events;
};

struct WordTime {
    double start = 0.0;
    double end = 0.0;
};

// Start and end (seconds) of every token in the voice-over: non-decreasing starts, each end
// between its start and the next start, all within [0, voice_over.duration].
std::vector<WordTime> align_tokens(const std::vector<Token>& tokens, const Reference& reference,
                                   const audio::Decoded& voice_over);

// The whole run for a text and a voice-over file: the text is spoken by espeak-ng in the
// voice for `language` (ISO 639-1) while the file is decoded, then the words are timed.
// Throws std::invalid_argument naming an unknown language, audio::FileMissing,
// audio::DecodeError and espeak::Error.
struct Alignment {
    std::vector<Token> tokens;
    std::vector<WordTime> times;
    std::vector<Sentence> sentences;
    double duration = 0.0;  // of the voice-over, seconds
};
Alignment align_text(const std::string& audio_path, std::u32string_view text,
                     const std::string& language);

}  // namespace vestrel::word_align
