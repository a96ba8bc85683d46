// Speech synthesis through libespeak-ng: samples in memory, with the start of every word.
//
// libespeak-ng keeps its voice, parameters and output buffer in global state, so every call
// into it from this layer runs under one process-wide lock: one synthesis (or voice listing)
// at a time. The library is initialised lazily, once, by the first call that needs it, in
// synchronous mode with a synthesis callback; audio never goes to a sound device.
#pragma once

#include "core/error.hpp"
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vestrel::espeak {

struct WordEvent {
    // Code points into the UTF-8 text given to `synthesize` (0-based).
    std::size_t char_start;
    std::size_t char_length;
    // Index into Speech::samples where espeak-ng starts speaking the word.
    std::size_t sample;
};

struct Speech {
    int sample_rate = 22050;
    std::vector<std::int16_t> samples;  // mono
    std::vector<WordEvent> words;       // in spoken order

    double duration_seconds() const {
        return sample_rate > 0 ? static_cast<double>(samples.size()) / sample_rate : 0.0;
    }
};

// Lowest and highest speaking rate espeak-ng accepts, in words per minute.
inline constexpr int kMinRate = 80;
inline constexpr int kMaxRate = 450;

struct Options {
    // A voice name ("German"), file ("gmw/de") or a language a voice lists ("de", "en-gb"),
    // optionally with a variant ("de+f3"), as espeak-ng's `-v` option takes it.
    std::string voice = "de";
    int rate = 0;              // words per minute, kMinRate..kMaxRate; 0 = espeak-ng's default
    int pitch = -1;            // 0-100; -1 = espeak-ng's default
};

// A voice setting as its refusal names it: name, allowed range and unit.
struct Setting {
    const char* name;
    int low;
    int high;
    const char* unit;
};
inline constexpr Setting kRateSetting{"rate", kMinRate, kMaxRate, " words per minute"};
inline constexpr Setting kPitchSetting{"pitch", 0, 100, ""};

// A synthesis that failed (library not initialisable, synthesis error).
class Error : public vestrel::Error {
public:
    explicit Error(const std::string& message, ErrorKind kind = ErrorKind::Runtime)
        : vestrel::Error(kind, message) {}
};

// A voice espeak-ng does not know; the message names it and says how to list the voices.
class UnknownVoice : public Error {
public:
    explicit UnknownVoice(const std::string& message) : Error(message, ErrorKind::Value) {}
};

// Speaks `utf8_text` as written: no SSML (a "<" is text, never markup), punctuation by
// espeak-ng's own rules (pauses at commas and sentence ends, marks not read out). A text of
// white space only gives an empty Speech. Throws UnknownVoice, Error, and
// std::invalid_argument for a rate or pitch out of range.
Speech synthesize(const std::string& utf8_text, const Options& options);

struct VoiceInfo {
    std::string name;        // e.g. "German"
    std::string identifier;  // file under espeak-ng-data/voices, e.g. "gmw/de"
    std::string languages;   // comma-separated, most preferred first, e.g. "de"
};

// A VoiceInfo's languages as a list: split at the commas, empty entries left out.
std::vector<std::string> language_list(std::string_view languages);

// The voices espeak-ng can speak with here (MBROLA voices, which need a separate program
// and data, are left out), in espeak-ng's order.
std::vector<VoiceInfo> list_voices();

// The voice to use for an ISO 639-1 code (a region such as "en-GB" is kept when espeak-ng
// has it): "de" gives "de", "en" gives "en-us". Throws std::invalid_argument naming the
// language when espeak-ng has no voice for it.
std::string voice_for_language(const std::string& iso639_1);

// voice_for_language for a caller's language code, every refusal an Error of kind Value: an
// unknown language's message also says how to list the valid voices; any other failure reads
// "espeak-ng TTS failed: <what>".
std::string voice_for_request(const std::string& code);

// The directory espeak-ng reads its data from (after initialising it).
std::string data_path();

// `value` when `setting` allows it; otherwise an Error of kind Value, "<name> must be between
// <low> and <high><unit>, got <shown>" (`shown`: the value as the caller wrote it).
// `out_of_long` marks a value beyond long long, whatever `value` holds.
int checked_setting(const Setting& setting, long long value, bool out_of_long,
                    std::string_view shown);

}  // namespace vestrel::espeak
