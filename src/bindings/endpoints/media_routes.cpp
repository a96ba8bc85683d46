// Media library and template routes: list, add, upload and delete background videos and
// music, serve cached files, upload and list template projects.
#include "bindings/common/args.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/common/values.hpp"
#include "bindings/endpoints/module.hpp"
#include "bindings/common/route.hpp"
#include "bindings/endpoints/routes.hpp"
#include "core/limits.hpp"
#include "core/media.hpp"

#include <unistd.h>

#include <cstdint>
#include <string>

namespace vestrel::endpoints {

namespace {

using namespace vestrel::py;

// endpoints.media, read at every call so a replaced module is seen.
nb::object media() { return self_module().attr("media"); }

// Any ordinary exception of the media library becomes a 500 answer with its text, after
// its traceback has been printed.
template <typename F>
nb::object answer_500_on_error(F&& call) {
    try {
        return call();
    } catch (nb::python_error& e) {
        if (!error_is(e, PyExc_Exception)) throw;
        print_exception(e);
        raise_http(500, nb::str(e.value()), e.value());
    }
}

nb::dict items(nb::handle list) {
    nb::dict d;
    d["items"] = list;
    return d;
}

nb::dict success() {
    nb::dict d;
    d["success"] = true;
    return d;
}

// A delete: a key error is the fixed 404 text (no traceback), anything else a 500.
nb::object delete_asset(const char* fn, nb::handle asset_id, const char* not_found) {
    try {
        media().attr(fn)(asset_id);
    } catch (nb::python_error& e) {
        if (!error_is(e, PyExc_Exception)) throw;
        if (error_is(e, PyExc_KeyError)) raise_http(404, nb::str(not_found), e.value());
        print_exception(e);
        raise_http(500, nb::str(e.value()), e.value());
    }
    return success();
}

// An add: a value error (bad input) is a 400, anything else a 500; both with traceback.
template <typename F>
nb::object refuse_value_errors(F&& call) {
    try {
        return call();
    } catch (nb::python_error& e) {
        if (!error_is(e, PyExc_Exception)) throw;
        print_exception(e);
        raise_http(error_is(e, PyExc_ValueError) ? 400 : 500, nb::str(e.value()), e.value());
    }
}

nb::object model(const char* name, nb::kwargs fields) {
    fields["__module__"] = "vestrel.endpoints";
    return import("pydantic").attr("create_model")(name, **fields);
}

nb::object get_media(nb::handle filename) {
    nb::object cache = media().attr("CACHE_DIR");
    const std::string name = utf8(filename);
    nb::object file_path = import("pathlib").attr("Path")(cache).attr("__truediv__")(filename);
    // Only a regular file inside the cache directory is served: "..", sub-directories and
    // links leading out of it are "not found" like a missing name. The file is opened once
    // and checked as opened, so what is sent is what was checked even when the name is
    // swapped for a link meanwhile.
    int fd = -1;
    if (!name.empty() && name.find('/') == std::string::npos &&
        name.find('\0') == std::string::npos) {
        const std::filesystem::path dir(utf8(nb::str(cache)));
        const std::filesystem::path candidate(utf8(nb::str(file_path)));
        nb::gil_scoped_release release;
        fd = vestrel::media::open_regular_file_inside(dir, candidate);
    }
    if (fd < 0) raise_http(404, "File not found");
    nb::object os = import("os");
    nb::object file;
    try {
        file = os.attr("fdopen")(fd, "rb");
    } catch (nb::python_error&) {
        ::close(fd);
        throw;
    }
    nb::object st = os.attr("fstat")(fd);
    // The response reads the descriptor through its /proc name: the same open file, never a
    // new lookup of the cache name. It closes the file once sent; should sending fail, the
    // file object held by the response closes it when the response goes.
    const std::string fd_path = "/proc/self/fd/" + std::to_string(fd);
    const std::string_view type = vestrel::media::media_type_for(name);
    nb::object background = import("starlette.background").attr("BackgroundTask")(file.attr("close"));
    nb::object response = import("fastapi.responses")
        .attr("FileResponse")(nb::str(fd_path.c_str()),
                              nb::arg("media_type") = nb::str(type.data(), type.size()),
                              nb::arg("stat_result") = st, nb::arg("background") = background);
    response.attr("_served_file") = file;
    return response;
}

// Reads an uploaded template, refusing it with 413 once more than the limit has arrived:
// at most limit + 1 bytes are ever held.
nb::object read_template(nb::handle upload) {
    constexpr std::uint64_t limit = vestrel::limits::max_template_bytes;
    // The framework has spooled the upload to disk and knows its size: an upload known to be
    // too large is refused without reading any of it.
    nb::object size = nb::getattr(upload, "size", nb::none());
    if (PyLong_Check(size.ptr()) && nb::cast<long long>(size) > static_cast<long long>(limit))
        raise_http(413, "Template too large (at most 200 MB)");
    nb::object content = upload.attr("file").attr("read")(nb::int_(limit + 1));
    if (static_cast<std::uint64_t>(nb::len(content)) > limit) {
        content = nb::object();
        raise_http(413, "Template too large (at most 200 MB)");
    }
    return content;
}

}  // namespace

void register_media_routes(nb::module_& m, nb::handle router) {
    nb::object fastapi = import("fastapi");
    nb::object str_type = nb::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    nb::object bool_type = nb::borrow(reinterpret_cast<PyObject*>(&PyBool_Type));
    nb::object optional_str = import("typing").attr("Optional")[str_type];
    nb::object no_annotation = import("inspect").attr("Parameter").attr("empty");
    nb::object upload_file = fastapi.attr("UploadFile");
    nb::object ellipsis = nb::borrow(Py_Ellipsis);

    {
        nb::kwargs f;
        f["title"] = nb::make_tuple(str_type, ellipsis);
        f["url"] = nb::make_tuple(str_type, ellipsis);
        f["pexels_api_key"] = nb::make_tuple(optional_str, nb::none());
        m.attr("AddBackgroundVideoURLRequest") = model("AddBackgroundVideoURLRequest", f);
    }
    {
        // Declared beside the request models; the music upload answers the library's dict.
        nb::kwargs f;
        f["id"] = nb::make_tuple(str_type, ellipsis);
        f["title"] = nb::make_tuple(str_type, ellipsis);
        f["downloaded"] = nb::make_tuple(bool_type, ellipsis);
        m.attr("AddBackgroundMusicUploadResponse") = model("AddBackgroundMusicUploadResponse", f);
    }

    add_route(m, router, "get", "/media/background-videos", "list_background_videos", nullptr,
              {}, [](nb::args args, nb::kwargs kwargs) -> nb::object {
                  static const Signature& sig = declare({"list_background_videos", {}});
                  parse(sig, args, kwargs);
                  return answer_500_on_error(
                      [] { return items(media().attr("list_background_videos")()); });
              });

    add_route(m, router, "post", "/media/background-videos", "add_background_video_url", nullptr,
              {{"req", m.attr("AddBackgroundVideoURLRequest")}},
              [](nb::args args, nb::kwargs kwargs) -> nb::object {
                  static const Signature& sig =
                      declare({"add_background_video_url", {arg("req")}});
                  auto v = parse(sig, args, kwargs);
                  nb::object req = v[0];
                  return refuse_value_errors([&] {
                      return media().attr("add_background_video_url")(
                          nb::arg("title") = req.attr("title"), nb::arg("url") = req.attr("url"),
                          nb::arg("pexels_api_key") = req.attr("pexels_api_key"));
                  });
              });

    add_route(m, router, "post", "/media/background-videos/upload", "add_background_video_upload",
              nullptr,
              {{"title", no_annotation, fastapi.attr("Form")(nb::none())},
               {"file", upload_file, fastapi.attr("File")(nb::none())}},
              [](nb::args args, nb::kwargs kwargs) -> nb::object {
                  static const Signature& sig =
                      declare({"add_background_video_upload",
                               {opt_none("title", Kind::Any), opt_none("file", Kind::Any)}});
                  auto v = parse(sig, args, kwargs);
                  if (!truthy(v[0])) raise_http(400, "Title is required");
                  if (v[1].is_none() || !truthy(v[1].attr("filename")))
                      raise_http(400, "File is required");
                  // The upload stream is handed on unread; the library copies it.
                  return media().attr("add_background_video_upload")(
                      nb::arg("title") = v[0], nb::arg("file") = v[1].attr("file"),
                      nb::arg("filename") = v[1].attr("filename"));
              });

    add_route(m, router, "delete", "/media/background-videos/{asset_id}",
              "delete_background_video", nullptr, {{"asset_id", str_type}},
              [](nb::args args, nb::kwargs kwargs) -> nb::object {
                  static const Signature& sig =
                      declare({"delete_background_video", {arg("asset_id", Kind::Str)}});
                  auto v = parse(sig, args, kwargs);
                  return delete_asset("delete_background_video", v[0],
                                      "Background video not found");
              });

    add_route(m, router, "get", "/media/background-music", "list_background_music", nullptr, {},
              [](nb::args args, nb::kwargs kwargs) -> nb::object {
                  static const Signature& sig = declare({"list_background_music", {}});
                  parse(sig, args, kwargs);
                  return answer_500_on_error(
                      [] { return items(media().attr("list_background_music")()); });
              });

    add_route(m, router, "post", "/media/background-music/upload", "add_background_music_upload",
              nullptr,
              {{"title", no_annotation, fastapi.attr("Form")(nb::none())},
               {"file", upload_file, fastapi.attr("File")(ellipsis)}},
              [](nb::args args, nb::kwargs kwargs) -> nb::object {
                  static const Signature& sig =
                      declare({"add_background_music_upload",
                               {opt_none("title", Kind::Any), arg("file")}});
                  auto v = parse(sig, args, kwargs);
                  if (!truthy(v[1].attr("filename"))) raise_http(400, "Got no filename");
                  // A form without a title is the same refusal as a blank one, not a server
                  // error from the library's argument check.
                  if (v[0].is_none()) raise_http(400, "Title is required");
                  return refuse_value_errors([&] {
                      return media().attr("add_background_music_upload")(
                          nb::arg("title") = v[0], nb::arg("file") = v[1].attr("file"),
                          nb::arg("filename") = v[1].attr("filename"));
                  });
              });

    add_route(m, router, "delete", "/media/background-music/{asset_id}",
              "delete_background_music", nullptr, {{"asset_id", str_type}},
              [](nb::args args, nb::kwargs kwargs) -> nb::object {
                  static const Signature& sig =
                      declare({"delete_background_music", {arg("asset_id", Kind::Str)}});
                  auto v = parse(sig, args, kwargs);
                  return delete_asset("delete_background_music", v[0],
                                      "Background music not found");
              });

    add_route(m, router, "get", "/media/{filename}", "get_media",
              "Serve media files (videos, thumbnails, music) from cache directory.",
              {{"filename", str_type}}, [](nb::args args, nb::kwargs kwargs) -> nb::object {
                  static const Signature& sig =
                      declare({"get_media", {arg("filename", Kind::Str)}});
                  auto v = parse(sig, args, kwargs);
                  return get_media(v[0]);
              });

    // Runs on the thread pool like every other route: reading the upload and writing the
    // template never stall the event loop.
    add_route(m, router, "post", "/templates/upload", "upload_template",
              "Upload a DaVinci Resolve template (.drp file) to cache.\n\nReturns:\n    "
              "Template name and path",
              {{"file", upload_file, fastapi.attr("File")(ellipsis)}},
              [](nb::args args, nb::kwargs kwargs) -> nb::object {
                  static const Signature& sig = declare({"upload_template", {arg("file")}});
                  auto v = parse(sig, args, kwargs);
                  nb::object filename = v[0].attr("filename");
                  if (!truthy(filename) ||
                      !truthy(filename.attr("lower")().attr("endswith")(".drp")))
                      raise_http(400, "File must be a .drp template file");
                  nb::object path;
                  nb::object content;
                  try {
                      content = read_template(v[0]);
                  } catch (nb::python_error& e) {
                      if (!error_is(e, PyExc_Exception)) throw;
                      if (error_is(e, import("fastapi").attr("HTTPException").ptr())) throw;
                      raise_http(500, nb::str(e.value()), e.value());
                  }
                  try {
                      path = media().attr("upload_template")(content, filename);
                  } catch (nb::python_error& e) {
                      if (!error_is(e, PyExc_Exception)) throw;
                      // A name that is not a plain file name is refused as bad input.
                      raise_http(error_is(e, PyExc_ValueError) ? 400 : 500, nb::str(e.value()), e.value());
                  }
                  nb::dict d;
                  d["success"] = true;
                  d["filename"] = filename;
                  d["path"] = nb::str(path);
                  return d;
              });

    add_route(m, router, "get", "/templates/list", "list_templates",
              "List all available DaVinci Resolve templates (cached + built-in).\n\nReturns:\n"
              "    Dictionary with 'cached' and 'builtin' template lists",
              {}, [](nb::args args, nb::kwargs kwargs) -> nb::object {
                  static const Signature& sig = declare({"list_templates", {}});
                  parse(sig, args, kwargs);
                  return media().attr("list_templates")();
              });
}

}  // namespace vestrel::endpoints
