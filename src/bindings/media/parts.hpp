// The pieces of vestrel.media and what they share.
#pragma once

#include <nanobind/nanobind.h>

#include <filesystem>
#include <functional>
#include <string>

#include "bindings/common/declare.hpp"
#include "bindings/common/module.hpp"

namespace vestrel::bind::media {

namespace nb = nanobind;
using namespace vestrel::py;

// vestrel.media; every constant and helper is read from it at call time, so a test that
// replaces one (CACHE_DIR, _load_db, ...) is seen by every caller.
inline ModuleRef this_module;
inline nb::object attr(const char* name) { return this_module.attr(name); }

// catalogue.cpp: storage layout, db.json, naming helpers.
void register_catalogue(nb::module_& m);
// videos.cpp: background videos from Pexels or upload, thumbnails.
void register_videos(nb::module_& m);
// music_templates.cpp: background music and template projects.
void register_music_templates(nb::module_& m);

// One kind of catalogued asset: its list in db.json, the extension its files are stored
// under, its name in messages, the prefix of its identifiers and whether it has thumbnails.
struct Assets {
    const char* key;
    const char* ext;
    const char* what;
    const char* prefix;
    bool thumbnails;
};
inline constexpr Assets videos{"background_videos", ".mp4", "Background video", "bg_", true};
inline constexpr Assets music{"background_music", ".mp3", "Background music", "music_", false};

// pathlib.Path(x), and pathlib.Path(dir) / name
nb::object make_path(nb::handle x);
nb::object join(nb::handle dir, const std::string& name);
// The file-system path of a path-like object (os.fspath).
std::filesystem::path fs_path(nb::handle pathlike);

// The first 8 lowercase hex digits of a fresh uuid.uuid4().
std::string hex8();
// str.strip() of a str is empty.
bool blank(nb::handle text);
// What callers are answered about an asset: {"id", "title", with `thumbnail` its URL
// "/media/<id>_thumb.jpg", "downloaded"}.
nb::dict answer(nb::handle id, nb::handle title, bool thumbnail, bool downloaded);

// The entries of the catalogue list, in order, as answered (see answer) with their "source".
// An entry counts as downloaded when its stored file is in the cache (see stored_file).
nb::list list_assets(const Assets& kind);

// The first catalogue entry whose "id" equals `asset_id`, read from db.json; KeyError
// "<what> <asset_id> not found" when there is none.
nb::object require_entry(const Assets& kind, nb::handle asset_id);

// The name of an entry's file in the cache directory: `<id><ext>` when it exists; for an
// uploaded asset stored under another extension, that file; else empty.
std::string stored_file(const Assets& kind, nb::handle entry);

// Appends {"id", "title", "source", "url"} to the catalogue list `key`, under the lock.
void append_entry(const char* key, const std::string& id, nb::handle title, const char* source,
                  nb::handle url);

// Stores an upload (arguments "title", "file", "filename") as asset `<prefix><8 hex digits>`
// in the cache directory, with the upload's extension or the kind's, and records it;
// `process` (given the cache directory, the identifier and the stored file) runs before the
// entry is recorded. Refuses a blank title with ValueError. Answers the new asset.
using Process = std::function<void(nb::handle, const std::string&, nb::handle)>;
nb::dict store_upload(const Args& a, const Assets& kind, const Process& process = {});

// Removes the entry `asset_id` from the catalogue (KeyError "<what> not found" when there is
// none), then every file of the asset in the cache directory.
void delete_asset(const Assets& kind, nb::handle asset_id);

// Runs `work` on the open file object `f`, then closes it; when `work` raises, the file is
// closed before the error goes on.
template <typename F>
void closing(nb::handle f, F&& work) {
    try {
        work();
    } catch (nb::python_error&) {
        f.attr("close")();
        throw;
    }
    f.attr("close")();
}

// Runs `work`; when it fails, runs `undo` before the error goes on, so a failed change
// leaves nothing behind. A failure of `undo` itself is dropped: the first error is the one
// that tells what went wrong.
template <typename Work, typename Undo>
decltype(auto) undoing(Work&& work, Undo&& undo) {
    try {
        return work();
    } catch (...) {
        try {
            undo();
        } catch (nb::python_error&) {
        }
        throw;
    }
}

// The body of a function that answers None.
template <typename F>
Body answers_none(F f) {
    return [f](const Args& a) {
        f(a);
        return nb::none();
    };
}

}  // namespace vestrel::bind::media
