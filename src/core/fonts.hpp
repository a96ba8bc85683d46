// Whether the fonts that titles name are installed, asked of fontconfig with the same
// configuration the renderer's libass uses, so a missing face is reported by name instead of
// being replaced by whatever fontconfig would pick.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vestrel::fonts {

// The (family, style) pairs among `wanted` that no installed font provides: the family must
// be installed in the weight and slant the style names (see render::face_of_style).
// `config_file` is a fontconfig configuration file; empty: fontconfig's default.
std::vector<std::pair<std::string, std::string>> missing(
    const std::vector<std::pair<std::string, std::string>>& wanted,
    const std::string& config_file);

// How many times its em a face's line is as libass measures it (the Windows ascent plus
// descent): libass sizes text by that line, so a title meant to be drawn with an em of E
// pixels is given the size E times this. nullopt when the face is not installed.
std::optional<double> line_per_em(const std::string& family, const std::string& style,
                                  const std::string& config_file);

// The fontconfig file shipped with the package: "fonts/fonts.conf" in the folder of
// `module_file` (a module of the package), or "" when there is none (fontconfig's default).
std::string package_config(const std::string& module_file);

}  // namespace vestrel::fonts
