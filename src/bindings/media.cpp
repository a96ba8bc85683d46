// vestrel.media: the media library in the per-user directories.
#include <nanobind/nanobind.h>

#include "bindings/common/errors.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/media/parts.hpp"

namespace nb = nanobind;
using namespace vestrel::bind::media;

namespace {

// A base URL from the environment (trailing "/" removed), or the service's own.
nb::object base_url(nb::handle environ, const char* name, const char* fallback) {
    nb::object value = environ.attr("get")(name);
    if (value.is_none() || nb::len(value) == 0) value = nb::str(fallback);
    return value.attr("rstrip")("/");
}

}  // namespace

NB_MODULE(media, m) {
    this_module.set(m);
    vestrel::py::register_error_translator();
    m.doc() =
        "Media library: background videos, background music, URL-based assets (Pexels), "
        "uploaded local assets, db.json persistence and cache handling.";
    nb::object os = vestrel::py::import("os");
    nb::object platformdirs = vestrel::py::import("platformdirs");
    // Modules the library works through, bound by name and read at call time.
    for (const char* name : {"json", "os", "shutil", "subprocess", "tempfile", "uuid", "requests"})
        m.attr(name) = vestrel::py::import(name);

    // Everything configurable is read once, here: the per-user folders and the service
    // settings. An extension module cannot be reloaded, so later changes are not seen.
    m.attr("APP_NAME") = "Brevano";
    nb::object path = vestrel::py::import("pathlib").attr("Path");
    nb::object data_dir = path(platformdirs.attr("user_data_dir")(m.attr("APP_NAME")));
    nb::object cache_root = path(platformdirs.attr("user_cache_dir")(m.attr("APP_NAME")));
    m.attr("DATA_DIR") = data_dir;
    m.attr("CACHE_DIR") = cache_root.attr("__truediv__")("media");
    m.attr("TEMPLATES_DIR") = cache_root.attr("__truediv__")("templates");
    for (const char* dir : {"DATA_DIR", "CACHE_DIR", "TEMPLATES_DIR"})
        m.attr(dir).attr("mkdir")(nb::arg("parents") = true, nb::arg("exist_ok") = true);
    m.attr("DB_PATH") = data_dir.attr("__truediv__")("db.json");
    nb::object environ = os.attr("environ");
    m.attr("PEXELS_API_KEY") = environ.attr("get")("PEXELS_API_KEY");
    m.attr("_PEXELS_API_URL") =
        base_url(environ, "VESTREL_PEXELS_API_URL", "https://api.pexels.com");
    m.attr("_PEXELS_WEB_URL") =
        base_url(environ, "VESTREL_PEXELS_WEB_URL", "https://www.pexels.com");
    // What a link's host must contain to count as a Pexels link.
    m.attr("_PEXELS_DOMAIN") = "pexels.com";

    register_catalogue(m);
    register_videos(m);
    register_music_templates(m);
}
