// Re-insertion of script commands into aligned word texts, and the split of those words by
// scene. Texts are code points; the words are the transcript's words in reading order.
//
// The rules are defined character by character (every position is looked up again from the
// first word after each insertion). Here a single cursor walks the words once, so the work is
// linear in the script plus the transcript, with exactly the outcome of that per-character rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vestrel::alignment {

// The word holding one character position of the joined text: empty words hold none.
// Fed the word lengths in reading order, `step` answers the offset inside the word that holds
// `index`, or nothing to go on to the next word. A negative index never matches.
class PositionWalk {
public:
    explicit PositionWalk(std::int64_t index) : remaining_(index) {}
    std::optional<std::size_t> step(std::size_t length) {
        if (remaining_ < 0) return std::nullopt;
        if (static_cast<std::uint64_t>(remaining_) < length)
            return static_cast<std::size_t>(remaining_);
        remaining_ -= static_cast<std::int64_t>(length);
        return std::nullopt;
    }

private:
    std::int64_t remaining_;
};

// The three character edits at an offset of one word.
void update_at(std::u32string& word, std::size_t offset, std::u32string_view replacement);
void insert_at(std::u32string& word, std::size_t offset, std::u32string_view inserted);
char32_t pop_at(std::u32string& word, std::size_t offset);

// The first and last character of the script's spoken text: the script with every command
// removed the way the speech text is made (commands::Rule::Removal). Nothing for an empty
// spoken text.
struct SpokenEnds {
    std::optional<char32_t> first;
    std::optional<char32_t> last;
};
SpokenEnds spoken_ends(std::u32string_view script);

// True for the characters Python's str.isspace() accepts.
bool is_space(char32_t c);

// Trims one space in front of the first word and one behind the last where the script's
// spoken text has none there: the aligner was given that text, so a command at an edge of the
// script does not hide a space that is spoken. `first` and `last` may be the same word (a
// transcript of one word).
void normalise(std::u32string& first, std::u32string& last, std::u32string_view script);

// Outcome of re-inserting the commands of a script into the words.
struct Reinsertion {
    enum class Status {
        Ok,
        Mismatch,          // a spoken script character differs from the transcript's
        PastEnd,           // a spoken script character lies past the end of the transcript
        NoWordForCommand,  // a command to place, and no word at all to hold it
    };
    Status status = Status::Ok;
    char32_t script_char = 0;      // for Mismatch
    char32_t transcript_char = 0;  // for Mismatch
    std::vector<std::size_t> changed;  // indices of the words whose text changed, ascending
};

// Commands are read by commands::Rule::Alignment: from a '<' to the next '>' (or the end),
// and every '>'. Walks `script`: every command character goes into the word holding the next
// spoken character not yet matched, directly in front of it; a command with no spoken character
// after it is appended to the last word. Spoken characters are compared, never changed; a
// whitespace character past the end of the transcript (an aligner may drop the text's
// trailing space) is appended to the last word like a trailing command.
// On failure the words keep every insertion made before it.
Reinsertion reinsert_commands(std::vector<std::u32string>& words, std::u32string_view script);

// Outcome of the split of the words by scene.
struct SceneSplit {
    enum class Status {
        Ok,
        Mismatch,  // a scene character differs from the transcript's
        PastEnd,   // the scenes read past the end of the transcript
        NoWords,   // the final hand-over looked at a word of a transcript without words
    };
    Status status = Status::Ok;
    char32_t scene_char = 0;
    char32_t transcript_char = 0;
    std::vector<std::vector<std::size_t>> scenes;  // word indices per scene, reading order
};

// Hands each word to the scene that reads the character after its last one; the word read
// last goes to the last scene. Words with an empty text go with the word before them (a
// leading one with the first character read), so none of them stops the walk. With no scenes
// at all nothing is handed over.
SceneSplit split_by_scenes(const std::vector<std::u32string>& words,
                           const std::vector<std::u32string>& scenes);

}  // namespace vestrel::alignment
