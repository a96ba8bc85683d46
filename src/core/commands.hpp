// Script commands: text in angle brackets inside a scene caption, never spoken.
#pragma once

#include <string>
#include <string_view>

namespace vestrel::commands {

// Removes every command: a '<' followed by any characters other than '>' up to and including
// the next '>'. A '<' with no later '>' stays, and so does everything around a command.
// Works on UTF-8 bytes: '<' and '>' never occur inside a multi-byte sequence.
std::string remove_commands(std::string_view text);

}  // namespace vestrel::commands
