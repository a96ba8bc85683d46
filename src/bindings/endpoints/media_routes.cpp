// Media library and template routes: list, add, upload and delete background videos and
// music, serve cached files, upload and list template projects.
#include <unistd.h>

#include <cstdint>
#include <string>

#include "bindings/common/pyutil.hpp"
#include "bindings/common/values.hpp"
#include "bindings/endpoints/parts.hpp"
#include "core/limits.hpp"
#include "core/media.hpp"

namespace vestrel::bind::endpoints {

namespace {

// endpoints.media, read at every call so a replaced module is seen.
nb::object media(const char* name) { return this_module.attr("media").attr(name); }

// Hands an upload on to the library: the stream unread (the library copies it) and its name.
nb::object hand_on_upload(const char* fn, nb::handle title, nb::handle upload) {
    return media(fn)(nb::arg("title") = title, nb::arg("file") = upload.attr("file"),
                     nb::arg("filename") = upload.attr("filename"));
}

// A listing route: {"items": <the library's list>}.
Body listing(const char* fn) {
    return [fn](const Args&) {
        nb::dict d;
        d["items"] = media(fn)();
        return nb::object(d);
    };
}

// A delete route: the library call, then {"success": True}.
Body deleting(const char* fn) {
    return [fn](const Args& a) {
        media(fn)(a["asset_id"]);
        return nb::object(success());
    };
}

// Runs `call` with `table` applied to its errors; the route's own checks before it raise as
// they are.
template <typename F>
nb::object answering(const HttpErrors& table, F&& call) {
    try {
        return call();
    } catch (nb::python_error& e) {
        answer_error(table, e);
    }
}

// A delete answers a missing asset with a fixed 404 text (no traceback), any other failure
// with 500.
HttpErrors not_found(const char* detail) {
    return {{PyExc_KeyError, 404, detail, false}, {PyExc_Exception, 500}};
}

nb::object get_media(const Args& a) {
    const std::string name = a.text("filename");
    // Only a regular file inside the cache directory is served: "..", sub-directories and
    // links leading out of it are "not found" like a missing name. The file is opened once
    // and checked as opened, so what is sent is what was checked even when the name is
    // swapped for a link meanwhile.
    const std::filesystem::path dir(utf8(nb::str(media("CACHE_DIR"))));
    int fd;
    {
        nb::gil_scoped_release release;
        fd = vestrel::media::open_served_file(dir, name);
    }
    if (fd < 0) raise_http(404, "File not found");
    nb::object os = import("os"), file;
    try {
        file = os.attr("fdopen")(fd, "rb");
    } catch (nb::python_error&) {
        ::close(fd);
        throw;
    }
    // The response reads the descriptor through its /proc name: the same open file, never a
    // new lookup of the cache name. It closes the file once sent; should sending fail, the
    // file object held by the response closes it when the response goes.
    const std::string fd_path = "/proc/self/fd/" + std::to_string(fd);
    const std::string_view type = vestrel::media::media_type_for(name);
    nb::object response = import("fastapi.responses").attr("FileResponse")(
        nb::str(fd_path.c_str()), nb::arg("media_type") = nb::str(type.data(), type.size()),
        nb::arg("stat_result") = os.attr("fstat")(fd),
        nb::arg("background") =
            import("starlette.background").attr("BackgroundTask")(file.attr("close")));
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

nb::object upload_template(const Args& a) {
    nb::handle upload = a["file"];
    nb::object filename = upload.attr("filename");
    if (!truthy(filename) || !truthy(filename.attr("lower")().attr("endswith")(".drp")))
        raise_http(400, "File must be a .drp template file");
    // A failed read is the server's fault; a name that is not a plain file name is refused
    // by the library as bad input. Neither is printed.
    nb::object content = answering({{PyExc_Exception, 500, nullptr, false}},
                                   [&] { return read_template(upload); });
    nb::object path = answering(
        {{PyExc_ValueError, 400, nullptr, false}, {PyExc_Exception, 500, nullptr, false}},
        [&] { return media("upload_template")(content, filename); });
    nb::dict d = success();
    d["filename"] = filename;
    d["path"] = nb::str(path);
    return d;
}

}  // namespace

void register_media_routes(nb::module_& m, nb::handle router) {
    nb::object s = str_type(), opt_s = optional(str_type());
    nb::object fastapi = import("fastapi");
    nb::object upload = fastapi.attr("UploadFile"), form = fastapi.attr("Form"),
               file = fastapi.attr("File");
    nb::object video_url = make_model(m, "AddBackgroundVideoURLRequest",
                                      {{"title", s, required()}, {"url", s, required()},
                                       {"pexels_api_key", opt_s, nb::none()}});
    // Declared beside the request models; the music upload answers the library's dict.
    make_model(m, "AddBackgroundMusicUploadResponse",
               {{"id", s, required()}, {"title", s, required()},
                {"downloaded", bool_type(), required()}});

    add_routes(m, router, {
        {"get", "/media/background-videos", "list_background_videos", {},
         listing("list_background_videos"), answer_500()},
        {"post", "/media/background-videos", "add_background_video_url",
         {arg("req") | video_url},
         [](const Args& a) {
             nb::handle req = a["req"];
             return media("add_background_video_url")(
                 nb::arg("title") = req.attr("title"), nb::arg("url") = req.attr("url"),
                 nb::arg("pexels_api_key") = req.attr("pexels_api_key"));
         }, refuse_value_errors()},
        {"post", "/media/background-videos/upload", "add_background_video_upload",
         {opt_none("title", Kind::Any).shows(form(nb::none())),
          opt_none("file", Kind::Any).shows(file(nb::none())) | upload},
         [](const Args& a) {
             if (!a.flag("title")) raise_http(400, "Title is required");
             nb::handle f = a["file"];
             if (f.is_none() || !truthy(f.attr("filename"))) raise_http(400, "File is required");
             return hand_on_upload("add_background_video_upload", a["title"], f);
         }},
        {"delete", "/media/background-videos/{asset_id}", "delete_background_video",
         {arg("asset_id", Kind::Str) | s},
         deleting("delete_background_video"), not_found("Background video not found")},
        {"get", "/media/background-music", "list_background_music", {},
         listing("list_background_music"), answer_500()},
        {"post", "/media/background-music/upload", "add_background_music_upload",
         {opt_none("title", Kind::Any).shows(form(nb::none())),
          arg("file").shows(file(required())) | upload},
         [](const Args& a) {
             nb::handle f = a["file"];
             if (!truthy(f.attr("filename"))) raise_http(400, "Got no filename");
             // A form without a title is the same refusal as a blank one, not a server
             // error from the library's argument check.
             if (a.is_none("title")) raise_http(400, "Title is required");
             return answering(refuse_value_errors(), [&] {
                 return hand_on_upload("add_background_music_upload", a["title"], f);
             });
         }},
        {"delete", "/media/background-music/{asset_id}", "delete_background_music",
         {arg("asset_id", Kind::Str) | s},
         deleting("delete_background_music"), not_found("Background music not found")},
        {"get", "/media/{filename}", "get_media", {arg("filename", Kind::Str) | s}, get_media, {},
         "Serve media files (videos, thumbnails, music) from cache directory."},
        // Runs on the thread pool like every other route: reading the upload and writing the
        // template never stall the event loop.
        {"post", "/templates/upload", "upload_template",
         {arg("file").shows(file(required())) | upload}, upload_template, {},
         "Upload a DaVinci Resolve template (.drp file) to cache.\n\nReturns:\n    "
         "Template name and path"},
        {"get", "/templates/list", "list_templates", {},
         [](const Args&) { return media("list_templates")(); }, {},
         "List all available DaVinci Resolve templates (cached + built-in).\n\nReturns:\n"
         "    Dictionary with 'cached' and 'builtin' template lists"},
    });
}

}  // namespace vestrel::bind::endpoints
