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

// Where a template identifier may name a file, in the order looked at (after an absolute
// path that exists): the uploaded templates by the name, then by the name + ".drp" (unless
// it ends so); the built-in ones by their stem or file name, then by the name as given.
struct TemplateCandidate {
    bool builtin;  // false: the uploaded templates' folder
    std::string name;
};
std::vector<TemplateCandidate> template_candidates(const std::string& identifier);

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

namespace vestrel::media {

// Opens `candidate` for reading when, once links are followed, it is a regular file inside
// `dir`; returns the descriptor, or -1. The tests run on the opened file itself (its device
// and inode must be those of the resolved name inside `dir`), so a name swapped for a link
// between the check and the read cannot make the descriptor refer to anything else.
int open_regular_file_inside(const std::filesystem::path& dir,
                             const std::filesystem::path& candidate);

// Opens the file `name` of `dir` to serve it: only a plain name (not empty, no "/" or NUL)
// that leads to a regular file inside `dir` is opened (see open_regular_file_inside), so
// "..", sub-directories and links leading out are refused. Returns the descriptor, or -1.
int open_served_file(const std::filesystem::path& dir, std::string_view name);

// An exclusive advisory lock (flock) on `path`, created when missing; held until destroyed.
// Throws std::system_error when the file cannot be opened or locked.
class FileLock {
public:
    explicit FileLock(const std::filesystem::path& path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_ = -1;
};

// The asset identifier a cache file name belongs to: "bg_" or "music_" followed by 8
// lowercase hexadecimal digits at the start of the name; empty when the name has none.
std::string_view asset_id_of(std::string_view name);

// Files of `cache` that belong to an asset not in `catalogued` (sorted identifiers) and were
// last changed at least `min_age_seconds` ago. Directories are never listed.
std::vector<std::string> orphan_asset_files(const std::filesystem::path& cache,
                                            const std::vector<std::string>& catalogued,
                                            long long min_age_seconds);

// Temporary catalogue files left in `dir` by an interrupted write: `db_name` + anything +
// ".tmp".
std::vector<std::string> stale_catalogue_temps(const std::filesystem::path& dir,
                                               std::string_view db_name);

// The stored file of each asset `ids[i]` in `dir`: `<id><preferred>` when it exists; for an
// uploaded asset (`uploaded[i]`) stored under another extension, that file; else empty. The
// directory is listed at most once, and only when an upload's file is looked for.
std::vector<std::string> asset_files(const std::filesystem::path& dir,
                                     const std::vector<std::string>& ids,
                                     const std::vector<bool>& uploaded,
                                     std::string_view preferred);

// Removes every file of `dir` whose name starts with `prefix`; directories stay.
void remove_with_prefix(const std::filesystem::path& dir, std::string_view prefix);

// How old an unrecorded asset file must be before it counts as left by a crash: an upload
// under way in another process writes its files before it records them.
inline constexpr long long orphan_min_age_seconds = 3600;

// Removes what interrupted changes of the catalogue `db_path` left: its temporary files and,
// when the catalogued identifiers (sorted) are known, the asset files of `cache` that none
// of them names and that are old enough (see orphan_asset_files).
void sweep_crash_debris(const std::filesystem::path& db_path, const std::filesystem::path& cache,
                        const std::optional<std::vector<std::string>>& catalogued);

// Removes the named files of `dir` (errors ignored); returns how many went.
std::size_t remove_names(const std::filesystem::path& dir, const std::vector<std::string>& names);

}  // namespace vestrel::media
