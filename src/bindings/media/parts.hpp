// The pieces of vestrel.media and what they share.
#pragma once

#include <nanobind/nanobind.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bindings/common/declare.hpp"
#include "bindings/common/module.hpp"
#include "core/media.hpp"

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

// pathlib.Path(x)
nb::object make_path(nb::handle x);
// pathlib.Path(dir) / name
nb::object join(nb::handle dir, const std::string& name);
// The file-system path of a path-like object (os.fspath).
std::filesystem::path fs_path(nb::handle pathlike);
// str(obj) for a path, as text handed to callers.
nb::object path_str(nb::handle p);

// The first 8 lowercase hex digits of a fresh uuid.uuid4().
std::string hex8();

// str.strip() of a str is empty.
bool blank(nb::handle text);
// _safe_ext on Python text: the suffix, lower-cased with the host's rules, or `def`.
nb::object safe_ext(nb::handle filename, nb::handle def);

// The entries of the catalogue list `key`, in order, as answered to callers: "id", "title",
// with `thumbnails` "thumbnail" (its URL), "downloaded" and "source". An entry counts as
// downloaded when `<id><ext>` is in the cache directory or, for an uploaded one, a file of
// the same name with another extension is. The file tests run with the GIL released.
nb::list list_assets(const char* key, const char* ext, bool thumbnails);

// "/media/<id>_thumb.jpg"
nb::object thumbnail_url(const std::string& id);

// The first entry of the catalogue list `key` whose "id" equals `asset_id`, read from
// db.json; KeyError "<what> <asset_id> not found" when there is none.
nb::object require_entry(const char* key, nb::handle asset_id, const char* what);

// Appends {"id", "title", "source", "url"} to the catalogue list `key`, under the lock.
void append_entry(const char* key, const std::string& id, nb::handle title, const char* source,
                  nb::handle url);

// Stores an upload (arguments "title", "file", "filename") as asset `<prefix><8 hex digits>`
// in the cache directory, with the upload's extension or `ext`, and records it under `key`;
// `process` (given the cache directory, the identifier and the stored file) runs before the
// entry is recorded. Refuses a blank title with ValueError. Answers the identifier.
std::string store_upload(const Args& a, const char* prefix, const char* ext, const char* key,
                         const std::function<void(nb::handle, const std::string&, nb::handle)>&
                             process = {});

// Removes the entry `asset_id` from the catalogue list `key` (KeyError `not_found` when the
// list has none), then every file of the asset in the cache directory.
void delete_asset(const char* key, nb::handle asset_id, const char* not_found);

// The stored file of an asset: `<id><preferred>` when it exists; for an uploaded asset
// whose file has another extension, that file; else empty.
std::string existing_asset_file(nb::handle dir, const std::string& id,
                                const char* preferred, bool uploaded);

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

// The body of a function that answers None.
template <typename F>
Body answers_none(F f) {
    return [f](const Args& a) {
        f(a);
        return nb::none();
    };
}

// "[media] " log line on standard output.
void log(const std::string& text);

}  // namespace vestrel::bind::media
