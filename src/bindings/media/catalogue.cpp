// Storage layout and the catalogue db.json: load, atomic save, naming helpers.
#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>

#include "bindings/common/pyutil.hpp"
#include "bindings/media/parts.hpp"
#include "core/media.hpp"

namespace vestrel::bind::media {

nb::object make_path(nb::handle x) { return import("pathlib").attr("Path")(x); }

nb::object join(nb::handle dir, const std::string& name) {
    return make_path(dir).attr("__truediv__")(nb::str(name.c_str(), name.size()));
}

std::filesystem::path fs_path(nb::handle pathlike) {
    nb::object s = import("os").attr("fspath")(pathlike);
    if (!PyUnicode_Check(s.ptr())) s = nb::str(s);
    return std::filesystem::path(utf8(s));
}

nb::object path_str(nb::handle p) { return nb::str(p); }

std::string hex8() {
    nb::object hex = attr("uuid").attr("uuid4")().attr("hex");
    return utf8(hex).substr(0, 8);
}

bool blank(nb::handle text) { return nb::len(text.attr("strip")()) == 0; }

nb::object safe_ext(nb::handle filename, nb::handle def) {
    const std::string name = utf8(filename);
    const std::string_view suf = vestrel::media::suffix(name);
    if (suf.empty()) return nb::borrow(def);
    return nb::str(suf.data(), suf.size()).attr("lower")();
}

nb::object thumbnail_url(const std::string& id) {
    return nb::str(("/media/" + id + "_thumb.jpg").c_str());
}

namespace {

// _load_db() / _save_db(db) through the module attributes.
nb::object load_db() { return attr("_load_db")(); }
void save_db(nb::handle db) { attr("_save_db")(db); }

// The catalogue's list under `key`; a catalogue without it gets an empty one.
nb::object catalogue_list(nb::handle db, const char* key) {
    return db.attr("setdefault")(key, nb::list());
}

std::mutex& catalogue_mutex() {
    static std::mutex mtx;
    return mtx;
}

// Catalogue paths already swept by this process (guarded by the catalogue mutex).
std::set<std::string>& swept_catalogues() {
    static std::set<std::string> swept;
    return swept;
}

// How old an unrecorded asset file must be before it counts as left by a crash: an upload
// under way in another process writes its files before it records them.
constexpr long long orphan_min_age_seconds = 3600;

// The identifiers of the catalogue, sorted; nothing when it cannot be read or does not have
// the expected shape (then nothing may be swept).
std::optional<std::vector<std::string>> catalogued_ids() {
    nb::object db;
    try {
        db = load_db();
    } catch (nb::python_error& e) {
        if (!error_is(e, PyExc_Exception)) throw;
        return std::nullopt;
    }
    std::vector<std::string> ids;
    for (const char* key : {"background_videos", "background_music"}) {
        if (!PyDict_Check(db.ptr())) return std::nullopt;
        PyObject* list = PyDict_GetItemString(db.ptr(), key);  // borrowed
        if (list == nullptr) continue;
        if (!PyList_Check(list)) return std::nullopt;
        for (nb::handle entry : nb::handle(list)) {
            if (!PyDict_Check(entry.ptr())) return std::nullopt;
            PyObject* id = PyDict_GetItemString(entry.ptr(), "id");
            if (id == nullptr || !PyUnicode_Check(id)) return std::nullopt;
            ids.push_back(utf8(id));
        }
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

// Removes what interrupted changes of earlier processes left: temporary catalogue files
// (no writer can be active, the file lock is held) and asset files that no catalogue entry
// names. Runs at the first change of each catalogue in a process, under both locks, so it
// neither races a writer nor costs anything afterwards. A catalogue that cannot be read
// leaves everything in place: what is an orphan cannot be told then. Without a catalogue
// only temporary files can be debris; assets are left alone.
void sweep_crash_debris(const std::filesystem::path& db_path) {
    if (!swept_catalogues().insert(db_path.string()).second) return;
    const std::filesystem::path dir = db_path.parent_path();
    const std::string name = db_path.filename().string();
    std::error_code ec;
    std::optional<std::vector<std::string>> ids;
    std::filesystem::path cache;
    if (std::filesystem::exists(db_path, ec)) {
        if (!(ids = catalogued_ids())) return;
        cache = fs_path(attr("CACHE_DIR"));
    }
    nb::gil_scoped_release release;
    vestrel::media::remove_names(dir, vestrel::media::stale_catalogue_temps(dir, name));
    if (ids)
        vestrel::media::remove_names(
            cache, vestrel::media::orphan_asset_files(cache, *ids, orphan_min_age_seconds));
}

[[noreturn]] void raise_os_error(const std::system_error& e) {
    PyErr_SetObject(PyExc_OSError,
                    nb::make_tuple(e.code().value(), nb::str(e.code().message().c_str()),
                                   nb::str(e.what()))
                        .ptr());
    throw nb::python_error();
}

// Serialises catalogue changes: a mutex inside the process and an exclusive file lock on
// "db.json.lock" beside the catalogue (made by the first change) across processes. Both are
// waited for with the GIL released: their holders need the GIL to finish their change. The
// first change of a catalogue in a process also removes what crashed changes left behind.
// Released in reverse order: the file lock, then the mutex.
class CatalogueLock {
  public:
    // Uncontended: take the mutex at once and keep the GIL (giving it up would make this
    // thread queue for it again behind every other thread).
    CatalogueLock() : mutex_(catalogue_mutex(), std::try_to_lock) {
        if (!mutex_.owns_lock()) {
            nb::gil_scoped_release release;
            mutex_.lock();
        }
        const std::filesystem::path db_path = fs_path(attr("DB_PATH"));
        std::filesystem::path lock_path = db_path;
        lock_path += ".lock";
        try {
            {
                nb::gil_scoped_release release;
                file_lock_ = std::make_unique<vestrel::media::FileLock>(lock_path);
            }
            sweep_crash_debris(db_path);
        } catch (const std::system_error& e) {
            raise_os_error(e);
        }
    }

  private:
    std::unique_lock<std::mutex> mutex_;
    std::unique_ptr<vestrel::media::FileLock> file_lock_;
};

// Removes every non-directory file in `dir` whose name starts with `prefix`.
void remove_files_with_prefix(nb::handle dir, const std::string& prefix) {
    const std::filesystem::path d = fs_path(dir);
    nb::gil_scoped_release release;
    for (const std::string& name :
         vestrel::media::names_with_prefix(vestrel::media::list_names(d), prefix)) {
        std::error_code ec;
        const std::filesystem::path p = d / name;
        if (std::filesystem::is_directory(std::filesystem::symlink_status(p, ec))) continue;
        std::filesystem::remove(p, ec);
    }
}

}  // namespace

nb::object require_entry(const char* key, nb::handle asset_id, const char* what) {
    nb::object db = load_db();
    for (nb::handle e : catalogue_list(db, key)) {
        nb::object id = e["id"];
        if (id.equal(asset_id)) return nb::borrow(e);
    }
    raise(PyExc_KeyError, std::string(what) + " " + utf8(asset_id) + " not found");
}

void append_entry(const char* key, const std::string& id, nb::handle title, const char* source,
                  nb::handle url) {
    nb::dict entry;
    entry["id"] = nb::str(id.c_str());
    entry["title"] = title;
    entry["source"] = source;
    entry["url"] = url;
    CatalogueLock lock;
    nb::object db = load_db();
    catalogue_list(db, key).attr("append")(entry);
    save_db(db);
}

std::string store_upload(const Args& a, const char* prefix, const char* ext, const char* key,
                         const std::function<void(nb::handle, const std::string&, nb::handle)>&
                             process) {
    if (blank(a["title"])) raise(PyExc_ValueError, "Title is required");
    const std::string id = prefix + hex8();
    nb::object cache = attr("CACHE_DIR");
    nb::object target = join(cache, id + utf8(safe_ext(a["filename"], nb::str(ext))));
    // A failed upload takes its files with it: nothing records them, so they would only
    // fill the cache.
    try {
        nb::object out = import("io").attr("open")(target, "wb");
        closing(out, [&] { attr("shutil").attr("copyfileobj")(a["file"], out); });
        if (process) process(cache, id, target);
        append_entry(key, id, a["title"], "upload", nb::none());
    } catch (...) {
        remove_files_with_prefix(cache, id);
        throw;
    }
    return id;
}

nb::list list_assets(const char* key, const char* ext, bool thumbnails) {
    nb::object db = load_db();
    nb::object entries = catalogue_list(db, key);
    // Identifiers first, then every file test with the GIL released.
    std::vector<nb::object> rows;
    std::vector<std::string> ids;
    std::vector<bool> uploaded, downloaded;
    for (nb::handle e : entries) {
        rows.push_back(nb::borrow(e));
        ids.push_back(utf8(e["id"]));
        uploaded.push_back(nb::object(e["source"]).equal(nb::str("upload")));
    }
    {
        const std::filesystem::path dir = fs_path(attr("CACHE_DIR"));
        nb::gil_scoped_release release;
        std::optional<vestrel::media::StemIndex> index;
        for (size_t i = 0; i < ids.size(); ++i) {
            std::error_code ec;
            downloaded.push_back(std::filesystem::exists(dir / (ids[i] + ext), ec));
            if (downloaded[i] || !uploaded[i]) continue;
            if (!index) index.emplace(vestrel::media::list_names(dir));
            downloaded[i] = index->other_file(ids[i], ext).has_value();
        }
    }
    nb::list items;
    for (size_t i = 0; i < rows.size(); ++i) {
        nb::dict item;
        item["id"] = rows[i]["id"];
        item["title"] = rows[i]["title"];
        if (thumbnails) item["thumbnail"] = thumbnail_url(ids[i]);
        item["downloaded"] = bool(downloaded[i]);
        item["source"] = rows[i]["source"];
        items.append(item);
    }
    return items;
}

void delete_asset(const char* key, nb::handle asset_id, const char* not_found) {
    {
        CatalogueLock lock;
        nb::object db = load_db();
        nb::object entries = catalogue_list(db, key);
        nb::list kept;
        for (nb::handle e : entries)
            if (!nb::object(e["id"]).equal(asset_id)) kept.append(e);
        if (nb::len(kept) == nb::len(entries)) raise(PyExc_KeyError, not_found);
        db[key] = kept;
        save_db(db);
    }
    remove_files_with_prefix(attr("CACHE_DIR"), utf8(asset_id));
}

std::string existing_asset_file(nb::handle dir, const std::string& id, const char* preferred,
                                bool uploaded) {
    const std::filesystem::path d = fs_path(dir);
    nb::gil_scoped_release release;
    std::error_code ec;
    if (std::filesystem::exists(d / (id + preferred), ec)) return id + preferred;
    if (!uploaded) return {};
    vestrel::media::StemIndex index(vestrel::media::list_names(d));
    return index.other_file(id, preferred).value_or(std::string());
}

void log(const std::string& text) { print("[media] " + text); }

namespace {

nb::object default_catalogue() {
    nb::dict db;
    db["version"] = 1;
    db["background_videos"] = nb::list();
    db["background_music"] = nb::list();
    return db;
}

// Writes `data` as 2-space indented JSON to a temporary file beside `path`, forces it to
// disk and renames it over `path`; the temporary file never outlives the call.
void atomic_write_json(nb::handle path_obj, nb::handle data) {
    nb::object os = attr("os");
    nb::object path = make_path(path_obj);
    nb::object made = attr("tempfile").attr("mkstemp")(
        nb::arg("dir") = path.attr("parent"), nb::arg("prefix") = path.attr("name"),
        nb::arg("suffix") = ".tmp");
    nb::object fd = made[0];
    nb::object tmp = made[1];
    try {
        nb::object f;
        try {
            f = os.attr("fdopen")(fd, "w", nb::arg("encoding") = "utf-8");
        } catch (nb::python_error&) {
            os.attr("close")(fd);
            throw;
        }
        closing(f, [&] {
            attr("json").attr("dump")(data, f, nb::arg("indent") = 2);
            f.attr("flush")();
            os.attr("fsync")(f.attr("fileno")());
        });
        os.attr("replace")(tmp, path);
    } catch (nb::python_error&) {
        // The error is already fetched into the C++ exception, so Python can be called to
        // remove the temporary file before the original error goes on.
        try {
            if (nb::cast<bool>(os.attr("path").attr("exists")(tmp))) os.attr("unlink")(tmp);
        } catch (nb::python_error&) {
        }
        throw;
    }
    if (nb::cast<bool>(os.attr("path").attr("exists")(tmp))) os.attr("unlink")(tmp);
}

}  // namespace

void register_catalogue(nb::module_& m) {
    def(m, {
        {"_load_db", {},
         [](const Args&) -> nb::object {
             nb::object p = make_path(attr("DB_PATH"));
             if (!nb::cast<bool>(p.attr("exists")())) return default_catalogue();
             nb::object text = p.attr("read_text")(nb::arg("encoding") = "utf-8");
             nb::object db = attr("json").attr("loads")(text);
             if (!PyDict_Check(db.ptr()))
                 raise(PyExc_TypeError, std::string("catalogue must be a JSON object, not ") +
                                            Py_TYPE(db.ptr())->tp_name);
             return db;
         },
         "Load the catalogue db.json, or a new empty catalogue when there is none yet."},
        {"_save_db", {arg("db")},
         answers_none(
             [](const Args& a) { attr("_atomic_write_json")(attr("DB_PATH"), a["db"]); }),
         "Write the whole catalogue back to db.json, atomically."},
        {"_atomic_write_json", {arg("path"), arg("data")},
         answers_none([](const Args& a) { atomic_write_json(a["path"], a["data"]); }),
         "Write JSON to a temporary file beside the target, fsync it and rename it over the "
         "target: readers see the complete old or the complete new file."},
        {"generate_voice_output_path", {opt("ext", Kind::Any, nb::str(".mp3"))},
         [](const Args& a) {
             nb::object stem = nb::str(("voice_" + hex8()).c_str());
             nb::object name = nb::steal(PyNumber_Add(stem.ptr(), a["ext"].ptr()));
             if (!name.is_valid()) throw nb::python_error();
             return path_str(make_path(attr("CACHE_DIR")).attr("__truediv__")(name));
         },
         "A fresh path for a speech file in the cache directory (the file is not created)."},
        {"_safe_ext", {arg("filename", Kind::Str), arg("default", Kind::Str)},
         [](const Args& a) { return safe_ext(a["filename"], a["default"]); },
         "The lower-cased suffix of a file name, or the default when it has none."},
    });
}

}  // namespace vestrel::bind::media
