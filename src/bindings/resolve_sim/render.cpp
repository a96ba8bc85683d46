// The simulator's render queue as the scripting calls see it: presets, settings, jobs and
// their status. A started job is rendered by the core (render_run) in a background thread
// that touches no Python object; a failed or stopped render leaves no file under its name.
#include <algorithm>
#include <optional>

#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/variant.h>
#include <nanobind/stl/vector.h>

#include "bindings/common/pyutil.hpp"
#include "bindings/resolve_sim/parts.hpp"
#include "core/fonts.hpp"
#include "core/render_queue.hpp"
#include "core/render_run.hpp"

namespace vestrel::bind::resolve_sim {

namespace {

using core::Project;
using core::RenderJob;

std::string fonts_conf_path() { return fonts::package_config(str(this_module.attr("__file__"))); }

// ---- the queue's answers ------------------------------------------------------------------

nb::dict job_dict(const RenderJob& j) {
    nb::dict d;
    for (const auto& [key, value] : render::job_fields(j)) d[key] = nb::cast(value);
    return d;
}

// A render setting's value as text, or nullopt when Resolve would refuse it.
std::optional<std::string> setting_value(const std::string& key, nb::handle v) {
    using T = render::ValueType;
    const T type = PyBool_Check(v.ptr())         ? T::Bool
                   : PyLong_CheckExact(v.ptr())  ? T::Int
                   : PyUnicode_Check(v.ptr())    ? T::Text
                                                 : T::Other;
    return render::setting_text(key, type, type == T::Text ? utf8(v) : str(v));
}

bool start(Project& p, const std::vector<std::string>& ids) {
    if (p.simulated_render) return p.start_rendering(ids);
    return render::start_renders(p, ids, fonts_conf_path());
}

// Stops every running job and waits (a few seconds at most) until their runs have ended and
// cleaned up, so that the queue answers "Cancelled" as soon as the call returns.
void stop(Project& p) {
    if (p.simulated_render) return p.stop_rendering();
    const auto stopped = render::cancel_renders(p);
    nb::gil_scoped_release release;
    render::wait_ended(stopped);
}

}  // namespace

void register_render(nb::class_<Project>& project) {
    project
        .def("LoadRenderPreset", &render::load_preset)
        .def("GetRenderPresetList", [](Project&) { return render::preset_names(); })
        .def("SetRenderSettings",
             [](Project& p, nb::dict settings) {
                 std::vector<std::pair<std::string, std::string>> values;
                 for (auto [k, v] : settings) {
                     auto value = setting_value(str(k), v);
                     if (!value) return false;
                     values.emplace_back(str(k), *value);
                 }
                 render::put_render_settings(p, values);
                 return true;
             })
        .def("GetRenderFormats", [](Project&) { return dict_of({{"MP4", "mp4"}}); })
        .def("GetRenderCodecs",
             [](Project&, const std::string& format) {
                 if (format != "mp4") return nb::dict();
                 return dict_of({{"H.264", "H264"}, {"H.265", "H265"}});
             })
        .def("GetCurrentRenderFormatAndCodec", [](Project& p) {
            return dict_of({{"format", p.render_format}, {"codec", p.render_codec}});
        })
        .def("SetCurrentRenderFormatAndCodec",
             [](Project& p, const std::string& format, const std::string& codec) {
                 if (format != "mp4" || (codec != "H264" && codec != "H265")) return false;
                 p.render_format = format;
                 p.render_codec = codec;
                 return true;
             })
        .def("AddRenderJob", [](Project& p) { return p.add_render_job(); })
        .def("StartRendering",
             [](Project& p, nb::args args, nb::kwargs) {
                 std::vector<std::string> ids;
                 for (nb::handle a : args) {
                     if (PyList_Check(a.ptr()) || PyTuple_Check(a.ptr())) {
                         for (nb::handle id : a) ids.push_back(str(id));
                     } else if (PyUnicode_Check(a.ptr())) {
                         ids.push_back(utf8(a));
                     }
                 }
                 // An empty job identifier names no job: nothing starts.
                 if (!args.empty() && ids.empty()) return false;
                 for (const std::string& id : ids)
                     if (id.empty()) return false;
                 return start(p, ids);
             })
        .def("IsRenderingInProgress", [](Project& p) { return p.rendering_in_progress(); })
        .def("StopRendering", [](Project& p) { stop(p); })
        .def("GetRenderJobList",
             [](Project& p) {
                 nb::list jobs;
                 for (const auto& j : p.jobs) jobs.append(job_dict(j));
                 return jobs;
             })
        .def("GetRenderJobStatus",
             [](Project& p, const std::string& id) {
                 nb::dict d;
                 const RenderJob* j = p.job(id);
                 if (!j) return d;
                 const render::JobStatus st = render::job_status(*j);
                 d["JobStatus"] = st.status;
                 d["CompletionPercentage"] = st.percent;
                 if (st.state == RenderJob::Status::Failed) d["Error"] = st.error;
                 return d;
             })
        .def("DeleteRenderJob",
             [](Project& p, const std::string& id) { return p.delete_render_job(id); })
        .def("DeleteAllRenderJobs", [](Project& p) {
            render::delete_idle_jobs(p);
            return true;
        });
}

void render_title_png(const core::Timeline& timeline, const core::TimelineItem& item,
                      const std::string& png_path) {
    render::VideoLayer title = render::title_layer(timeline, item);
    const std::string conf = fonts_conf_path();
    const int width = timeline.width, height = timeline.height;
    nb::gil_scoped_release release;
    render::draw_title_png(std::move(title), width, height, png_path, conf);
}

}  // namespace vestrel::bind::resolve_sim
