// Render routes: render the current timeline into the media cache and follow the job.
//
// Everything Resolve does goes through lumora (render output, preset, job start, job status),
// so the routes work the same against the simulator and a real Resolve. The job table
// `_jobs` maps each job id this module started to its output; it lives in process memory.
#include <nanobind/stl/string.h>

#include "bindings/common/pyutil.hpp"
#include "bindings/common/values.hpp"
#include "bindings/studio/parts.hpp"
#include "core/studio.hpp"

namespace vestrel::bind::studio {

namespace {

using vestrel::studio::default_output_name;
using vestrel::studio::JobView;
using vestrel::studio::read_job;
using vestrel::studio::refuse_output_name;

// (inode, modification time, size) of a file, or None: tells a freshly written output from
// an older file of the same name.
nb::object file_stamp(nb::handle path) {
    nb::object os = import("os");
    if (!truthy(os.attr("path").attr("exists")(path))) return nb::none();
    nb::object st = os.attr("stat")(path);
    return nb::make_tuple(st.attr("st_ino"), st.attr("st_mtime_ns"), st.attr("st_size"));
}

nb::object optional_field(nb::handle req, const char* name) {
    return req.is_none() ? nb::object(nb::none()) : nb::object(req.attr(name));
}

nb::object studio_render(const Args& a) {
    nb::handle req = a["req"];
    // Of two render requests that arrive together, the second sees the first one's job (the
    // lock waits with the GIL released).
    HeldLock held(attr("_render_lock"));
    refuse_while_generating();

    nb::object lumora = attr("lumora");
    nb::object project = lumora.attr("get_current_project")();
    if (truthy(lumora.attr("is_rendering")())) raise_http(409, "A render is running");

    nb::object filename = optional_field(req, "filename");
    const std::string name = filename.is_none()
                                 ? default_output_name(str(project.attr("GetName")()))
                                 : utf8(filename);
    if (auto refused = refuse_output_name(name)) raise_http(400, *refused);

    nb::object preset = optional_field(req, "preset");
    if (truthy(preset)) {
        nb::object presets = project.attr("GetRenderPresetList")();
        bool known = false;
        for (nb::handle p : presets) known = known || p.equal(preset);
        if (!known) raise_http(400, "Unknown render preset: " + utf8(preset));
        lumora.attr("load_render_preset")(preset);
    } else {
        // Without a preset the project's own format may be anything (a real Resolve keeps the
        // last one used); the output is named .mp4, so ask for H.264 in MP4.
        project.attr("SetCurrentRenderFormatAndCodec")("mp4", "H264");
    }

    const std::string cache = str(attr("media").attr("CACHE_DIR"));
    nb::str folder(cache.c_str(), cache.size());
    const std::string stem = name.substr(0, name.size() - 4);
    nb::object path = import("os").attr("path").attr("join")(folder, nb::str(name.c_str()));
    lumora.attr("set_render_output")(nb::str(stem.c_str()), folder);
    nb::object before = file_stamp(path);
    nb::object job_id = lumora.attr("start_render_job")();

    const std::string output = "/media/" + name;
    nb::dict job;
    job["output"] = output;
    job["path"] = path;
    job["before"] = before;
    attr("_jobs")[job_id] = job;
    this_module.set_attr("_last_job", job_id);
    // The render is the last stage of the last generation's progress. No generation runs
    // now, so its run is over: a cancel request left from an earlier render lapses.
    nb::object progress = attr("progress");
    progress.attr("end_run")();
    progress.attr("start_stage")("render");

    nb::dict answer;
    answer["job_id"] = job_id;
    answer["output"] = output;
    return answer;
}

JobView read_status(nb::handle lumora, nb::handle job_id, nb::handle job) {
    nb::object st;
    try {
        st = lumora.attr("get_render_job_status")(job_id);
        const std::string js = str(st.attr("get")("JobStatus", ""));
        if ((js == "Ready" || js == "Rendering") && !truthy(lumora.attr("is_rendering")()))
            st = lumora.attr("get_render_job_status")(job_id);  // it may just have ended
    } catch (nb::python_error& e) {
        if (!error_is(e, PyExc_RuntimeError)) throw;
        return JobView{"error", 0, str(e.value())};
    }
    nb::object stamp = file_stamp(job["path"]);
    const bool written = !stamp.is_none() && !stamp.equal(job["before"]);
    nb::object err = st.attr("get")("Error", "");
    return read_job(str(st.attr("get")("JobStatus", "")),
                    as_float(st.attr("get")("CompletionPercentage", 0)),
                    err.is_none() ? std::string() : str(err), written);
}

nb::object studio_render_status(const Args& a) {
    nb::handle job_id = a["job_id"];
    nb::object job = attr("_jobs").attr("get")(job_id);
    if (job.is_none()) raise_http(404, "Unknown render job: " + utf8(job_id));
    const JobView view = read_status(attr("lumora"), job_id, job);

    // The last job's end is the end of the progress's render stage.
    if (view.status != "rendering" && attr("_last_job").equal(job_id) && render_stage_running()) {
        if (view.status == "done")
            attr("progress").attr("finish_stage")("render");
        else
            attr("progress").attr("fail_stage")("render", view.error.value_or("Cancelled"));
    }

    nb::dict answer;
    answer["status"] = view.status;
    answer["percent"] = view.percent;
    answer["output"] = job["output"];
    answer["error"] = view.error ? nb::object(nb::str(view.error->c_str())) : nb::none();
    return answer;
}

}  // namespace

void register_render_routes(nb::module_& m, nb::handle router) {
    m.attr("_jobs") = nb::dict();
    m.attr("_last_job") = nb::none();
    m.attr("_render_lock") = import("threading").attr("Lock")();
    nb::object opt_s = optional(str_type());
    nb::object model = make_model(m, "StudioRenderRequest",
                                  {{"filename", opt_s, nb::none()}, {"preset", opt_s, nb::none()}});
    add_routes(m, router, {
        {"post", "/studio/render", "studio_render",
         {opt_none("req", Kind::Any) | optional(model)}, studio_render, refuse_runtime_errors(),
         "Render the current project's current timeline into the media cache "
         "(served under /media/)."},
        {"get", "/studio/render/{job_id}", "studio_render_status",
         {arg("job_id", Kind::Str) | str_type()}, studio_render_status, {},
         "Status of a render job started by POST /studio/render."},
    });
}

}  // namespace vestrel::bind::studio
