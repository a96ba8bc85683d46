// Render control: preset, output, job start and the wait for the render to end.
#include "bindings/lumora/parts.hpp"

namespace vestrel::bind::lumora {

namespace {

nb::object set_render_output(const Args& a) {
    nb::dict settings;
    settings["CustomName"] = a["filename"];
    settings["TargetDir"] = a["folder"];
    current_project().attr("SetRenderSettings")(settings);
    log("Render output set");
    return nb::none();
}

nb::object start_render(const Args&) {
    nb::object project = current_project();
    nb::object job = project.attr("AddRenderJob")();
    project.attr("StartRendering")(job);
    log("Rendering started");
    return nb::none();
}

nb::object wait_until_render_finished(const Args&) {
    nb::object project = current_project();
    log("Waiting for render to finish...");
    // time.sleep is looked up at each wait and releases the interpreter meanwhile.
    while (truthy(project.attr("IsRenderingInProgress")())) import("time").attr("sleep")(1);
    log("Rendering finished");
    return nb::none();
}

nb::object start_render_job(const Args&) {
    nb::object project = current_project();
    if (!truthy(project.attr("GetCurrentTimeline")())) fail("No current timeline");
    nb::object job = project.attr("AddRenderJob")();
    if (!truthy(job)) fail("Could not add render job");
    // Resolve's job ids are text; anything else is passed on in its text form.
    nb::object job_id = PyUnicode_CheckExact(job.ptr()) ? job : nb::object(nb::str(job));
    if (!truthy(project.attr("StartRendering")(job_id)))
        fail("Could not start render job '" + utf8(job_id) + "'");
    log("Render job '" + utf8(job_id) + "' started");
    return job_id;
}

nb::object get_render_job_status(const Args& a) {
    nb::object status = current_project().attr("GetRenderJobStatus")(a["job_id"]);
    // Resolve answers an empty dictionary for a job it does not hold.
    if (!truthy(status)) fail("Render job '" + a.text("job_id") + "' not found");
    return import("builtins").attr("dict")(status);
}

}  // namespace

void register_render(nb::module_& m) {
    def(m, {{"load_render_preset", {arg("name", Kind::Str)},
             [](const Args& a) {
                 current_project().attr("LoadRenderPreset")(a["name"]);
                 log("Loaded render preset '" + a.text("name") + "'");
                 return nb::none();
             },
             "Load a render preset into the current project."},
            {"set_render_output", {arg("filename", Kind::Str), arg("folder", Kind::Str)},
             set_render_output, "Set the render output file name and folder."},
            {"start_render", {}, start_render,
             "Queue a render job for the current timeline and start it."},
            {"wait_until_render_finished", {}, wait_until_render_finished,
             "Block until Resolve reports that no render is in progress, polling once a second."},
            // Job-level render control: the caller keeps the job id and follows that job alone.
            {"start_render_job", {}, start_render_job,
             "Queue a render job for the current timeline, start it and return its job id."},
            {"get_render_job_status", {arg("job_id", Kind::Str)}, get_render_job_status,
             "Resolve's status of one render job: \"JobStatus\", \"CompletionPercentage\" and, "
             "after a failure, \"Error\"."},
            {"is_rendering", {},
             [](const Args&) -> nb::object {
                 return nb::bool_(truthy(current_project().attr("IsRenderingInProgress")()));
             },
             "Whether Resolve renders anything for the current project now (one question, no "
             "wait)."}});
}

}  // namespace vestrel::bind::lumora
