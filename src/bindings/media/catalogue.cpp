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

std::string hex8() {
    nb::object hex = attr("uuid").attr("uuid4")().attr("hex");
    return utf8(hex).substr(0, 8);
}

bool blank(nb::handle text) { return nb::len(text.attr("strip")()) == 0; }

nb::dict answer(nb::handle id, nb::handle title, bool thumbnail, bool downloaded) {
    nb::dict d;
    d["id"] = id;
    d["title"] = title;
    if (thumbnail) d["thumbnail"] = nb::str(("/media/" + utf8(id) + "_thumb.jpg").c_str());
    d["downloaded"] = downloaded;
    return d;
}

namespace {

// The lower-cased suffix of a file name (lower-cased with the host's rules), or `def`.
nb::object safe_ext(nb::handle filename, nb::handle def) {
    const std::string name = utf8(filename);
    const std::string_view suf = vestrel::media::suffix(name);
    if (suf.empty()) return nb::borrow(def);
    return nb::str(suf.data(), suf.size()).attr("lower")();
}

// _load_db() / _save_db(db) through the module attributes.
nb::object load_db() { return attr("_load_db")(); }
void save_db(nb::handle db) { attr("_save_db")(db); }

// The catalogue's list under `key`; a catalogue without it gets an empty one.
nb::object catalogue_list(nb::handle db, const char* key) {
    return db.attr("setdefault")(key, nb::list());
}

std::mutex catalogue_mutex;
// Catalogue paths already swept by this process (guarded by the catalogue mutex).
std::set<std::string> swept_catalogues;

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
    if (!swept_catalogues.insert(db_path.string()).second) return;
    std::error_code ec;
    std::optional<std::vector<std::string>> ids;
    std::filesystem::path cache;
    if (std::filesystem::exists(db_path, ec)) {
        if (!(ids = catalogued_ids())) return;
        cache = fs_path(attr("CACHE_DIR"));
    }
    nb::gil_scoped_release release;
    vestrel::media::sweep_crash_debris(db_path, cache, ids);
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
    CatalogueLock() : mutex_(catalogue_mutex, std::try_to_lock) {
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

// Removes every file of the asset `id` from the cache directory.
void remove_asset_files(const std::string& id) {
    const std::filesystem::path cache = fs_path(attr("CACHE_DIR"));
    nb::gil_scoped_release release;
    vestrel::media::remove_with_prefix(cache, id);
}

bool is_upload(nb::handle entry) { return nb::object(entry["source"]).equal(nb::str("upload")); }

// The stored files of catalogue entries (see stored_file), looked up with the GIL released.
std::vector<std::string> stored_files(const Assets& kind, const std::vector<nb::object>& entries) {
    std::vector<std::string> ids;
    std::vector<bool> uploaded;
    for (nb::handle e : entries) {
        ids.push_back(utf8(e["id"]));
        uploaded.push_back(is_upload(e));
    }
    const std::filesystem::path cache = fs_path(attr("CACHE_DIR"));
    nb::gil_scoped_release release;
    return vestrel::media::asset_files(cache, ids, uploaded, kind.ext);
}

}  // namespace

nb::object require_entry(const Assets& kind, nb::handle asset_id) {
    nb::object db = load_db();
    for (nb::handle e : catalogue_list(db, kind.key)) {
        nb::object id = e["id"];
        if (id.equal(asset_id)) return nb::borrow(e);
    }
    raise(PyExc_KeyError, std::string(kind.what) + " " + utf8(asset_id) + " not found");
}

std::string stored_file(const Assets& kind, nb::handle entry) {
    return stored_files(kind, {nb::borrow(entry)})[0];
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

nb::dict store_upload(const Args& a, const Assets& kind, const Process& process) {
    if (blank(a["title"])) raise(PyExc_ValueError, "Title is required");
    const std::string id = kind.prefix + hex8();
    nb::object cache = attr("CACHE_DIR");
    nb::object target = join(cache, id + utf8(safe_ext(a["filename"], nb::str(kind.ext))));
    // A failed upload takes its files with it: nothing records them, so they would only
    // fill the cache.
    undoing([&] {
        nb::object out = import("io").attr("open")(target, "wb");
        closing(out, [&] { attr("shutil").attr("copyfileobj")(a["file"], out); });
        if (process) process(cache, id, target);
        append_entry(kind.key, id, a["title"], "upload", nb::none());
    }, [&] { remove_asset_files(id); });
    return answer(nb::str(id.c_str()), a["title"], kind.thumbnails, true);
}

nb::list list_assets(const Assets& kind) {
    nb::object entries = catalogue_list(load_db(), kind.key);
    std::vector<nb::object> rows;
    for (nb::handle e : entries) rows.push_back(nb::borrow(e));
    const std::vector<std::string> files = stored_files(kind, rows);
    nb::list items;
    for (size_t i = 0; i < rows.size(); ++i) {
        nb::dict item = answer(rows[i]["id"], rows[i]["title"], kind.thumbnails, !files[i].empty());
        item["source"] = rows[i]["source"];
        items.append(item);
    }
    return items;
}

void delete_asset(const Assets& kind, nb::handle asset_id) {
    {
        CatalogueLock lock;
        nb::object db = load_db();
        nb::object entries = catalogue_list(db, kind.key);
        nb::list kept;
        for (nb::handle e : entries)
            if (!nb::object(e["id"]).equal(asset_id)) kept.append(e);
        if (nb::len(kept) == nb::len(entries))
            raise(PyExc_KeyError, std::string(kind.what) + " not found");
        db[kind.key] = kept;
        save_db(db);
    }
    remove_asset_files(utf8(asset_id));
}

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
    nb::object fd = made[0], tmp = made[1];
    auto remove_tmp = [&] {
        if (nb::cast<bool>(os.attr("path").attr("exists")(tmp))) os.attr("unlink")(tmp);
    };
    undoing([&] {
        nb::object f = undoing(
            [&] { return os.attr("fdopen")(fd, "w", nb::arg("encoding") = "utf-8"); },
            [&] { os.attr("close")(fd); });
        closing(f, [&] {
            attr("json").attr("dump")(data, f, nb::arg("indent") = 2);
            f.attr("flush")();
            os.attr("fsync")(f.attr("fileno")());
        });
        os.attr("replace")(tmp, path);
    }, remove_tmp);
    remove_tmp();
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
             nb::object name = checked(PyNumber_Add(stem.ptr(), a["ext"].ptr()));
             return nb::str(make_path(attr("CACHE_DIR")).attr("__truediv__")(name));
         },
         "A fresh path for a speech file in the cache directory (the file is not created)."},
        {"_safe_ext", {arg("filename", Kind::Str), arg("default", Kind::Str)},
         [](const Args& a) { return safe_ext(a["filename"], a["default"]); },
         "The lower-cased suffix of a file name, or the default when it has none."},
    });
}

}  // namespace vestrel::bind::media
