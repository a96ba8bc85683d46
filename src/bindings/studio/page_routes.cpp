// Routes the studio page needs beside the render routes: the stages of the last or running
// generation and its render, a cancel request, the offline voices, and the renders and
// exports kept in the media cache.
//
// The stage state lives in vestrel.progress (the pipeline and the generation route write it
// without knowing this module); these routes only read it and ask it to stop.
#include <nanobind/stl/string.h>

#include <filesystem>

#include "bindings/common/pyutil.hpp"
#include "bindings/common/values.hpp"
#include "bindings/studio/parts.hpp"
#include "core/outputs.hpp"

namespace vestrel::bind::studio {

namespace {

// A render's end is recorded on the stage reporter when its job is read; read the last job
// now, so that the progress tells a finished render without the page polling the job.
void settle_render_stage() {
    nb::object last = attr("_last_job");
    if (last.is_none() || attr("_jobs").attr("get")(last).is_none()) return;
    if (!render_stage_running()) return;
    attr("studio_render_status")(last);
}

nb::object studio_progress(const Args&) {
    settle_render_stage();
    nb::object snap = attr("progress").attr("snapshot")();
    nb::object status = attr("endpoints").attr("get_status")()["status"];
    nb::dict answer;
    answer["status"] = status.attr("value");
    for (const char* key : {"stage", "stages", "error", "failed_stage"}) answer[key] = snap[key];
    return answer;
}

nb::object studio_cancel(const Args&) {
    settle_render_stage();
    nb::object progress = attr("progress");
    const bool rendering = render_stage_running();
    if (!truthy(progress.attr("request_cancel")())) raise_http(409, "Nothing to cancel");
    if (rendering) {
        // A render has no stage boundary to stop at: Resolve is asked to stop it, and the
        // job, read once more, marks the render stage failed ("Cancelled").
        attr("lumora").attr("get_current_project")().attr("StopRendering")();
        settle_render_stage();
    }
    nb::dict answer;
    answer["cancelled"] = true;
    return answer;
}

std::filesystem::path cache_dir() {
    return std::filesystem::path(str(attr("media").attr("CACHE_DIR")));
}

nb::object studio_outputs(const Args&) {
    const std::filesystem::path dir = cache_dir();
    std::vector<vestrel::outputs::OutputFile> found;
    {
        nb::gil_scoped_release released;
        found = vestrel::outputs::list_outputs(dir);
    }
    nb::list items;
    for (const auto& f : found) {
        nb::dict d;
        d["name"] = nb::str(f.name.c_str(), f.name.size());
        d["kind"] = std::string(vestrel::outputs::output_kind(f.name));
        d["url"] = nb::str(("/media/" + f.name).c_str());
        d["size"] = nb::int_(static_cast<long long>(f.size));
        d["modified"] = nb::float_(f.modified);
        items.append(d);
    }
    nb::dict answer;
    answer["outputs"] = items;
    return answer;
}

nb::object studio_delete_output(const Args& a) {
    const std::string name = a.text("filename");
    if (!vestrel::outputs::is_output_name(name))
        raise_http(400, "Not a render or export: " + name);
    const std::filesystem::path dir = cache_dir();
    std::string why;
    vestrel::outputs::Removal r;
    {
        nb::gil_scoped_release released;
        r = vestrel::outputs::remove_output(dir, name, why);
    }
    if (r == vestrel::outputs::Removal::Failed)
        raise_http(500, "Could not delete " + name + ": " + why);
    if (r == vestrel::outputs::Removal::NotFound) raise_http(404, "Output not found: " + name);
    nb::dict answer;
    answer["deleted"] = nb::str(name.c_str(), name.size());
    return answer;
}

}  // namespace

void register_page_routes(nb::module_& m, nb::handle router) {
    add_routes(m, router, {
        {"get", "/studio/progress", "studio_progress", {}, studio_progress, {},
         "Stages of the last or running generation and its render: state and seconds of each, "
         "the running or failed stage, the error."},
        {"post", "/studio/cancel", "studio_cancel", {}, studio_cancel, refuse_runtime_errors(),
         "Ask the running generation to stop at its next stage, or stop the running render."},
        {"get", "/studio/voices", "studio_voices", {},
         [](const Args&) {
             nb::dict answer;
             answer["engine"] = "espeak";
             answer["voices"] = attr("tts").attr("list_espeak_voices")();
             return answer;
         }, {}, "Voices of the offline voice engine (espeak-ng)."},
        {"get", "/studio/outputs", "studio_outputs", {}, studio_outputs, {},
         "Renders and exports kept in the media cache, newest first."},
        {"delete", "/studio/outputs/{filename}", "studio_delete_output",
         {arg("filename", Kind::Str) | str_type()}, studio_delete_output, {},
         "Delete a render or export from the media cache (library assets are never touched)."},
    });
}

}  // namespace vestrel::bind::studio
