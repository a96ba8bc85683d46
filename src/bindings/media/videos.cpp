// Background videos: added from a Pexels page (thumbnail now, video on first use) or
// uploaded (stored at once, thumbnail cut by ffmpeg).
#include "bindings/common/pyutil.hpp"
#include "bindings/media/parts.hpp"
#include "core/media.hpp"

namespace vestrel::bind::media {

namespace {

// The key of a request: the caller's when truthy, else the one read at load.
nb::object pexels_key(nb::handle api_key) {
    if (api_key.is_valid() && PyObject_IsTrue(api_key.ptr()) == 1) return nb::borrow(api_key);
    nb::object env_key = attr("PEXELS_API_KEY");
    if (env_key.is_none() || PyObject_IsTrue(env_key.ptr()) != 1)
        raise(PyExc_RuntimeError, "PEXELS_API_KEY not set");
    return env_key;
}

nb::object video_id(nb::handle url) {
    const std::string u = utf8(url);
    const std::string_view id = vestrel::media::pexels_video_id(u);
    return nb::str(id.data(), id.size());
}

// The authorised request of a download: the base URL (a module attribute) + path + the
// identifier of the video at "video_url", with the key of "api_key" or the environment's.
nb::object pexels_get(const Args& a, const char* base_attr, const char* path, int timeout,
                      bool stream = false) {
    nb::dict auth, kw;
    auth["Authorization"] = pexels_key(a["api_key"]);
    const std::string url = str(attr(base_attr)) + path + utf8(video_id(a["video_url"]));
    kw["headers"] = auth;
    kw["timeout"] = timeout;
    if (stream) kw["stream"] = true;
    return attr("requests").attr("get")(nb::str(url.c_str(), url.size()), **kw);
}

bool status_ok(nb::handle response) {
    nb::object code = response.attr("status_code");
    return PyLong_Check(code.ptr()) && nb::cast<long long>(code) == 200;
}

void download_thumbnail(const Args& a) {
    nb::object meta = pexels_get(a, "_PEXELS_API_URL", "/videos/videos/", 10);
    if (!status_ok(meta)) raise(PyExc_RuntimeError, "Failed to fetch Pexels metadata");
    nb::object data = meta.attr("json")();
    nb::object image = PyDict_Check(data.ptr()) ? data.attr("get")("image") : nb::none();
    if (image.is_none() || PyObject_IsTrue(image.ptr()) != 1)
        raise(PyExc_RuntimeError, "No thumbnail available");
    nb::object picture = attr("requests").attr("get")(image, nb::arg("timeout") = 10);
    if (!status_ok(picture)) raise(PyExc_RuntimeError, "Thumbnail download failed");
    make_path(a["target"]).attr("write_bytes")(picture.attr("content"));
}

// Streams the video into a temporary file of the target's directory (a name that does not
// start with any asset identifier) and renames it to the target only once complete, so a
// failed or interrupted download never leaves a file that counts as downloaded.
void download_video(const Args& a) {
    nb::object target = make_path(a["target"]);
    nb::object os = attr("os");
    nb::object response = pexels_get(a, "_PEXELS_WEB_URL", "/download/video/", 30, true);
    nb::object tmp;
    auto close_response = [&] {
        if (nb::hasattr(response, "close")) response.attr("close")();
    };
    undoing([&] {
        if (!status_ok(response)) raise(PyExc_RuntimeError, "Video download failed");
        nb::object made = attr("tempfile").attr("mkstemp")(
            nb::arg("dir") = target.attr("parent"), nb::arg("prefix") = "download_",
            nb::arg("suffix") = ".part");
        tmp = made[1];
        nb::object f = os.attr("fdopen")(made[0], "wb");
        closing(f, [&] {
            if (!nb::hasattr(response, "iter_content"))
                return void(f.attr("write")(response.attr("content")));
            for (nb::handle chunk : response.attr("iter_content")(nb::arg("chunk_size") = 1 << 20))
                f.attr("write")(chunk);
        });
        os.attr("replace")(tmp, target);
    }, [&] {
        if (tmp.is_valid() && nb::cast<bool>(os.attr("path").attr("exists")(tmp)))
            os.attr("unlink")(tmp);
        close_response();
    });
    close_response();
}

void generate_thumbnail(const Args& a) {
    nb::handle target = a["target"];
    try {
        nb::object cmd = checked(PySequence_List(
            nb::make_tuple("ffmpeg", "-ss", nb::str(a["time_seconds"]), "-i", a["video_path"],
                           "-vframes", "1", "-q:v", "2", "-y", nb::str(target))
                .ptr()));
        nb::object result = attr("subprocess").attr("run")(
            cmd, nb::arg("capture_output") = true, nb::arg("text") = true,
            nb::arg("timeout") = 30);
        if (!nb::int_(0).equal(result.attr("returncode")))
            raise(PyExc_RuntimeError, "ffmpeg failed: " + str(result.attr("stderr")));
        if (!nb::cast<bool>(make_path(target).attr("exists")()))
            raise(PyExc_RuntimeError, "Thumbnail file was not created");
    } catch (nb::python_error& e) {
        if (!error_is(e, PyExc_Exception)) throw;
        print_exception(e);
        std::string why = "ffmpeg not found. Please install ffmpeg and add it to PATH";
        if (error_is(e, import("subprocess").attr("TimeoutExpired").ptr()))
            why = "Thumbnail generation timed out";
        else if (!error_is(e, PyExc_FileNotFoundError))
            why = "Failed to generate thumbnail: " + str(e.value());
        raise_with_context(PyExc_RuntimeError, why, e.value());
    }
}

nb::object add_video_url(const Args& a) {
    nb::handle title = a["title"], url = a["url"];
    if (blank(title)) raise(PyExc_ValueError, "Title is required");
    attr("_assert_pexels_url")(url);
    const std::string id = "bg_" + hex8();
    nb::object thumb = join(attr("CACHE_DIR"), id + "_thumb.jpg");
    attr("_download_pexels_thumbnail")(url, thumb, a["pexels_api_key"]);
    undoing([&] { append_entry(videos.key, id, title, "url", url); },
            [&] { thumb.attr("unlink")(nb::arg("missing_ok") = true); });
    return answer(nb::str(id.c_str()), title, videos.thumbnails, false);
}

nb::object add_video_upload(const Args& a) {
    return store_upload(a, videos, [](nb::handle cache, const std::string& id, nb::handle video) {
        attr("_generate_video_thumbnail")(nb::str(video), join(cache, id + "_thumb.jpg"));
    });
}

nb::object resolve_video(const Args& a) {
    nb::object entry = require_entry(videos, a["asset_id"]);
    // An upload stored under another extension is its own file; a missing Pexels video is
    // downloaded to `<id>.mp4`.
    const std::string name = stored_file(videos, entry);
    nb::object video = join(attr("CACHE_DIR"), name.empty() ? a.text("asset_id") + ".mp4" : name);
    if (name.empty() && nb::object(entry["source"]).equal(nb::str("url")))
        attr("_download_pexels_video")(entry["url"], video, a["pexels_api_key"]);
    return nb::str(video);
}

}  // namespace

void register_videos(nb::module_& m) {
    const std::vector<Param> download{arg("video_url", Kind::Str), arg("target"),
                                      opt_none("api_key", Kind::Str)};
    def(m, {
        {"_assert_pexels_url", {arg("url", Kind::Str)},
         answers_none([](const Args& a) {
             nb::object netloc = import("urllib.parse")
                                     .attr("urlparse")(a["url"])
                                     .attr("netloc")
                                     .attr("lower")();
             if (!nb::cast<bool>(netloc.attr("__contains__")(attr("_PEXELS_DOMAIN"))))
                 raise(PyExc_ValueError, "Only Pexels URLs are supported");
         }),
         "Refuse a URL whose host is not a Pexels host."},
        {"_extract_pexels_video_id", {arg("url", Kind::Str)},
         [](const Args& a) { return video_id(a["url"]); },
         "The Pexels video identifier at the end of a page URL."},
        {"_download_pexels_thumbnail", download,
         answers_none(download_thumbnail),
         "Download the preview image of a Pexels video to the target file."},
        {"_download_pexels_video", download,
         answers_none(download_video),
         "Download a Pexels video file to the target file."},
        {"_generate_video_thumbnail",
         {arg("video_path", Kind::Str), arg("target"),
          opt("time_seconds", Kind::Float, nb::float_(1.0))},
         answers_none(generate_thumbnail),
         "Extract a frame from a video file to use as thumbnail using ffmpeg."},
        {"list_background_videos", {},
         [](const Args&) { return list_assets(videos); },
         "List the background videos of the catalogue with thumbnail URL and download state."},
        {"add_background_video_url",
         {arg("title", Kind::Str), arg("url", Kind::Str), opt_none("pexels_api_key", Kind::Str)},
         add_video_url,
         "Add a background video by its Pexels page URL; the video is downloaded on first use."},
        {"add_background_video_upload",
         {arg("title", Kind::Str), arg("file"), arg("filename", Kind::Str)},
         add_video_upload,
         "Store an uploaded background video and cut its thumbnail with ffmpeg."},
        {"delete_background_video", {arg("asset_id", Kind::Str)},
         answers_none([](const Args& a) { delete_asset(videos, a["asset_id"]); }),
         "Remove a background video from the catalogue with all of its files."},
        {"resolve_background_video",
         {arg("asset_id", Kind::Str), opt_none("pexels_api_key", Kind::Str)}, resolve_video,
         "The local file of a background video, downloaded from Pexels on first use."},
    });
}

}  // namespace vestrel::bind::media
