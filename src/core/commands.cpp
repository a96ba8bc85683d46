#include "core/commands.hpp"

namespace vestrel::commands {

std::string remove_commands(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    scan(text, Rule::Removal, [&](std::size_t begin, std::size_t end, bool command) {
        if (!command) out.append(text.substr(begin, end - begin));
        return true;
    });
    return out;
}

}  // namespace vestrel::commands
