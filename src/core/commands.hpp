// Script commands: text in angle brackets inside a scene caption, never spoken.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vestrel::commands {

// The two readings of the command grammar: a command is a '<' up to and including the next
// '>'. They differ only in the characters that grammar leaves over.
enum class Rule {
    // The speech text: a '<' that no '>' follows and a '>' that closes nothing are spoken.
    Removal,
    // The re-insertion of commands into aligned words: a '<' that no '>' follows opens a
    // command running to the end, and every '>' outside a command is a command character.
    Alignment,
};

// Walks `text` as consecutive spans of spoken text and of commands, calling
// `visit(begin, end, is_command)` for each non-empty span in order; a visit that returns
// false stops the walk. Works on UTF-8 bytes and on code points alike: '<' and '>' never occur
// inside a multi-byte UTF-8 sequence.
template <typename Char, typename Visit>
void scan(std::basic_string_view<Char> text, Rule rule, Visit&& visit) {
    using View = std::basic_string_view<Char>;
    static constexpr Char kMarks[] = {Char('<'), Char('>')};
    const View marks(kMarks, rule == Rule::Removal ? 1 : 2);  // what can start a command
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t at = text.find_first_of(marks, pos);
        if (at == View::npos) break;
        std::size_t end = at + 1;  // a stray '>' (only looked for under Rule::Alignment)
        if (text[at] == Char('<')) {
            const std::size_t close = text.find(Char('>'), at + 1);
            // No '>' after this '<': no later '<' has one either.
            if (close == View::npos && rule == Rule::Removal) break;
            end = close == View::npos ? text.size() : close + 1;
        }
        if (at > pos && !visit(pos, at, false)) return;
        if (!visit(at, end, true)) return;
        pos = end;
    }
    if (pos < text.size()) visit(pos, text.size(), false);
}

// Removes every command (Rule::Removal): a '<' with no later '>' stays, and so does
// everything around a command.
std::string remove_commands(std::string_view text);

}  // namespace vestrel::commands
