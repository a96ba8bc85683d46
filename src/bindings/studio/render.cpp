// Render routes: render the current timeline into the media cache and follow the job.
//
// Everything Resolve does goes through lumora (render output, preset, job start, job status),
// so the routes work the same against the simulator and a real Resolve. The job table
// `_jobs` maps each job id this module started to its output; it lives in process memory.
#include <nanobind/stl/string.h>

#include "bindings/common/args.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/common/route.hpp"
#include "bindings/common/values.hpp"
#include "bindings/studio/parts.hpp"
#include "core/studio.hpp"

namespace vestrel::studio {

namespace {

using namespace vestrel::py;

nb::object attr(const char* name) { return self().attr(name); }

// str(obj)
nb::object text(nb::handle obj) {
    nb::object s = nb::steal(PyObject_Str(obj.ptr()));
    if (!s.is_valid()) throw nb::python_error();
    return s;
}

// Holds the module's render lock: of two render requests that arrive together, the second
// sees the first one's job (the lock waits with the GIL released).
struct RenderLock : py::HeldLock {
    RenderLock() : py::HeldLock(attr("_render_lock")) {}
};

// Calls `f`; a RuntimeError of lumora (no Resolve, no project, no timeline, a refused job)
// answers 400 with its own text.
template <typename F>
nb::object lumora_call(F&& f) {
    try {
        return f();
    } catch (nb::python_error& e) {
        if (!error_is(e, PyExc_RuntimeError)) throw;
        raise_http(400, text(e.value()), e.value());
    }
}

// (inode, modification time, size) of a file, or None: tells a freshly written output from
// an older file of the same name.
nb::object file_stamp(nb::handle path) {
    nb::object os = import("os");
    if (!truthy(os.attr("path").attr("exists")(path))) return nb::none();
    nb::object st = os.attr("stat")(path);
    return nb::make_tuple(st.attr("st_ino"), st.attr("st_mtime_ns"), st.attr("st_size"));
}

nb::object optional_field(nb::handle req, const char* name) {
    if (req.is_none()) return nb::none();
    return req.attr(name);
}

nb::object studio_render(nb::handle req) {
    RenderLock held;
    nb::object endpoints = attr("endpoints");
    nb::object status = endpoints.attr("get_status")()["status"];
    if (status.equal(endpoints.attr("BrevanoStatus").attr("GENERATING")))
        raise_http(409, "A generation is running");

    nb::object lumora = attr("lumora");
    nb::object project = lumora_call([&] { return lumora.attr("get_current_project")(); });
    if (truthy(lumora_call([&] { return lumora.attr("is_rendering")(); })))
        raise_http(409, "A render is running");

    nb::object filename = optional_field(req, "filename");
    const std::string name = filename.is_none()
                                 ? default_output_name(utf8(text(project.attr("GetName")())))
                                 : utf8(filename);
    if (auto refused = refuse_output_name(name)) raise_http(400, *refused);

    nb::object preset = optional_field(req, "preset");
    if (truthy(preset)) {
        nb::object presets = project.attr("GetRenderPresetList")();
        bool known = false;
        for (nb::handle p : presets) known = known || p.equal(preset);
        if (!known) raise_http(400, "Unknown render preset: " + utf8(preset));
        lumora_call([&] { return lumora.attr("load_render_preset")(preset); });
    } else {
        // Without a preset the project's own format may be anything (a real Resolve keeps the
        // last one used); the output is named .mp4, so ask for H.264 in MP4.
        project.attr("SetCurrentRenderFormatAndCodec")("mp4", "H264");
    }

    nb::object folder = text(attr("media").attr("CACHE_DIR"));
    const std::string stem = name.substr(0, name.size() - 4);
    nb::object path = import("os").attr("path").attr("join")(folder, nb::str(name.c_str()));
    lumora_call([&] {
        return lumora.attr("set_render_output")(nb::str(stem.c_str()), folder);
    });
    nb::object before = file_stamp(path);
    nb::object job_id = lumora_call([&] { return lumora.attr("start_render_job")(); });

    const std::string output = "/media/" + name;
    nb::dict job;
    job["output"] = output;
    job["path"] = path;
    job["before"] = before;
    attr("_jobs")[job_id] = job;
    self().attr("_last_job") = job_id;
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
        const std::string js = utf8(text(st.attr("get")("JobStatus", "")));
        if ((js == "Ready" || js == "Rendering") && !truthy(lumora.attr("is_rendering")()))
            st = lumora.attr("get_render_job_status")(job_id);  // it may just have ended
    } catch (nb::python_error& e) {
        if (!error_is(e, PyExc_RuntimeError)) throw;
        return JobView{"error", 0, str(e.value())};
    }
    nb::object stamp = file_stamp(job["path"]);
    const bool written = !stamp.is_none() && !stamp.equal(job["before"]);
    nb::object err = st.attr("get")("Error", "");
    return read_job(utf8(text(st.attr("get")("JobStatus", ""))),
                    as_float(st.attr("get")("CompletionPercentage", 0)),
                    err.is_none() ? std::string() : utf8(text(err)), written);
}

nb::object studio_render_status(nb::handle job_id) {
    nb::object job = attr("_jobs").attr("get")(job_id);
    if (job.is_none()) raise_http(404, "Unknown render job: " + utf8(job_id));
    const JobView view = read_status(attr("lumora"), job_id, job);

    // The last job's end is the end of the progress's render stage.
    if (view.status != "rendering" && attr("_last_job").equal(job_id)) {
        nb::object progress = attr("progress");
        nb::object stages = progress.attr("snapshot")()["stages"];
        if (text(stages[nb::int_(8)]["state"]).equal(nb::str("running"))) {
            if (view.status == "done")
                progress.attr("finish_stage")("render");
            else
                progress.attr("fail_stage")("render", view.error ? *view.error : std::string("Cancelled"));
        }
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

    nb::object optional_str = import("typing").attr("Optional")[nb::handle(
        reinterpret_cast<PyObject*>(&PyUnicode_Type))];
    nb::dict fields;
    fields["__module__"] = m.attr("__name__");
    fields["filename"] = nb::make_tuple(optional_str, nb::none());
    fields["preset"] = nb::make_tuple(optional_str, nb::none());
    nb::object create = import("pydantic").attr("create_model");
    nb::object model = nb::steal(
        PyObject_Call(create.ptr(), nb::make_tuple("StudioRenderRequest").ptr(), fields.ptr()));
    if (!model.is_valid()) throw nb::python_error();
    m.attr("StudioRenderRequest") = model;

    add_route(m, router, "post", "/studio/render", "studio_render",
              "Render the current project's current timeline into the media cache "
              "(served under /media/).",
              {{"req", import("typing").attr("Optional")[model], nb::none()}},
              [](nb::args args, nb::kwargs kwargs) -> nb::object {
                  static const Signature& sig =
                      declare({"studio_render", {opt_none("req", Kind::Any)}});
                  auto v = parse(sig, args, kwargs);
                  return studio_render(v[0]);
              });
    add_route(m, router, "get", "/studio/render/{job_id}", "studio_render_status",
              "Status of a render job started by POST /studio/render.",
              {{"job_id", nb::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type))}},
              [](nb::args args, nb::kwargs kwargs) -> nb::object {
                  static const Signature& sig =
                      declare({"studio_render_status", {arg("job_id", Kind::Str)}});
                  auto v = parse(sig, args, kwargs);
                  return studio_render_status(v[0]);
              });
}

}  // namespace vestrel::studio
