// Naming rules and cache-directory lookups of the media library.
//
// Pure C++: file names are handled as UTF-8 byte strings ("/", "\" and "." are ASCII, so
// byte positions split names exactly where code points would). Case folding stays with the
// caller, which lower-cases with the host's Unicode rules.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vestrel::media {

// The last component of a slash-separated path (trailing slashes ignored).
std::string_view last_component(std::string_view path);

// The suffix of the last component: from its last dot, dot included; empty when there is no
// dot or its only dot starts the name (".bashrc"); "foo." gives ".".
std::string_view suffix(std::string_view filename);

// The identifier a Pexels page URL ends in: trailing "/" removed, last "/"-piece, then its
// last "-"-piece. The URL text is used as it is (a query stays part of the piece).
std::string_view pexels_video_id(std::string_view url);

// True when `name` can be stored as a template file: a single plain file name (no "/" or
// "\", not "." or "..", no NUL) that is not empty before its ".drp" ending. `ends_in_drp`
// tells whether the (case-folded) name already ends in ".drp".
bool is_plain_template_name(std::string_view name, bool ends_in_drp);

// Media type of a served file from the end of its name, case-sensitively.
std::string_view media_type_for(std::string_view filename);

// File names found in one directory (entries of any kind), read once.
std::vector<std::string> list_names(const std::filesystem::path& dir);

// The files of the cache directory grouped by stem (the name up to its last dot), so the
// file of an asset stored under any extension is found without scanning per asset.
class StemIndex {
public:
    explicit StemIndex(const std::vector<std::string>& names);
    // The stored file of asset `id` other than `<id><preferred>`: the first by name among
    // `<id>.<ext>` files, or nothing. A thumbnail "<id>_thumb.jpg" has another stem.
    std::optional<std::string> other_file(const std::string& id,
                                          std::string_view preferred) const;

private:
    std::unordered_map<std::string, std::vector<std::string>> by_stem_;
};

// Names ending in ".drp" (case-sensitive, as the pattern "*.drp"), sorted by code point.
std::vector<std::string> drp_names(const std::vector<std::string>& names);

// Names starting with `prefix` (a literal prefix, no pattern characters).
std::vector<std::string> names_with_prefix(const std::vector<std::string>& names,
                                           std::string_view prefix);

// True when `candidate` names a regular file inside `dir` once links are followed.
bool is_regular_file_inside(const std::filesystem::path& dir,
                            const std::filesystem::path& candidate);

}  // namespace vestrel::media
