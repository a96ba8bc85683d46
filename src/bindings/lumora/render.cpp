// Render control: preset, output, job start and the wait for the render to end.
#include "bindings/common/args.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/lumora/parts.hpp"

namespace vestrel::lumora {

namespace {
using namespace vestrel::py;
}  // namespace

void register_render(nb::module_& m) {
    m.def(
        "load_render_preset",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig =
                declare({"load_render_preset", {arg("name", Kind::Str)}});
            auto v = parse(sig, a, k);
            fn("get_current_project")().attr("LoadRenderPreset")(v[0]);
            log("Loaded render preset '" + utf8(v[0]) + "'");
            return nb::none();
        },
        "Load a render preset into the current project.");

    m.def(
        "set_render_output",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig = declare(
                {"set_render_output", {arg("filename", Kind::Str), arg("folder", Kind::Str)}});
            auto v = parse(sig, a, k);
            nb::dict settings;
            settings["CustomName"] = v[0];
            settings["TargetDir"] = v[1];
            fn("get_current_project")().attr("SetRenderSettings")(settings);
            log("Render output set");
            return nb::none();
        },
        "Set the render output file name and folder.");

    m.def(
        "start_render",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig = declare({"start_render", {}});
            parse(sig, a, k);
            nb::object project = fn("get_current_project")();
            nb::object job = project.attr("AddRenderJob")();
            project.attr("StartRendering")(job);
            log("Rendering started");
            return nb::none();
        },
        "Queue a render job for the current timeline and start it.");

    m.def(
        "wait_until_render_finished",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig = declare({"wait_until_render_finished", {}});
            parse(sig, a, k);
            nb::object project = fn("get_current_project")();
            log("Waiting for render to finish...");
            // time.sleep is looked up at each wait and releases the interpreter meanwhile.
            while (truthy(project.attr("IsRenderingInProgress")()))
                import("time").attr("sleep")(1);
            log("Rendering finished");
            return nb::none();
        },
        "Block until Resolve reports that no render is in progress, polling once a second.");

    // Job-level render control: the caller keeps the job id and follows that job alone.
    m.def(
        "start_render_job",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig = declare({"start_render_job", {}});
            parse(sig, a, k);
            nb::object project = fn("get_current_project")();
            if (!truthy(project.attr("GetCurrentTimeline")())) fail("No current timeline");
            nb::object job = project.attr("AddRenderJob")();
            if (!truthy(job)) fail("Could not add render job");
            // Resolve's job ids are text; anything else is passed on in its text form.
            nb::object job_id = PyUnicode_CheckExact(job.ptr()) ? job : nb::object(nb::str(job));
            if (!truthy(project.attr("StartRendering")(job_id)))
                fail("Could not start render job '" + utf8(job_id) + "'");
            log("Render job '" + utf8(job_id) + "' started");
            return job_id;
        },
        "Queue a render job for the current timeline, start it and return its job id.");

    m.def(
        "get_render_job_status",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig =
                declare({"get_render_job_status", {arg("job_id", Kind::Str)}});
            auto v = parse(sig, a, k);
            nb::object status = fn("get_current_project")().attr("GetRenderJobStatus")(v[0]);
            // Resolve answers an empty dictionary for a job it does not hold.
            if (!truthy(status)) fail("Render job '" + utf8(v[0]) + "' not found");
            return import("builtins").attr("dict")(status);
        },
        "Resolve's status of one render job: \"JobStatus\", \"CompletionPercentage\" and, "
        "after a failure, \"Error\".");

    m.def(
        "is_rendering",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig = declare({"is_rendering", {}});
            parse(sig, a, k);
            return truthy(fn("get_current_project")().attr("IsRenderingInProgress")());
        },
        "Whether Resolve renders anything for the current project now (one question, no "
        "wait).");
}

}  // namespace vestrel::lumora
