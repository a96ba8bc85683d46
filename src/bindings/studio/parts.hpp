// vestrel.studio: the second router of the package (render routes; the studio page's routes
// join it). Its routes are declared with the same tables as vestrel.endpoints.
#pragma once

#include <nanobind/nanobind.h>

#include "bindings/common/declare.hpp"
#include "bindings/common/module.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/common/route.hpp"
#include "core/progress.hpp"

namespace vestrel::bind::studio {

namespace nb = nanobind;
using namespace vestrel::py;

// vestrel.studio; its neighbours (endpoints, lumora, media, progress, tts) and its job table
// are read through it at each call, so a test that replaces one is seen at once.
inline ModuleRef this_module;
inline nb::object attr(const char* name) { return this_module.attr(name); }

// Whether the progress reporter's last stage (the render) is running.
inline bool render_stage_running() {
    constexpr int kRender = static_cast<int>(vestrel::progress::kStages.size()) - 1;
    nb::object stage = attr("progress").attr("snapshot")()["stages"][nb::int_(kRender)];
    return str(stage["state"]) == "running";
}

// Renders and exports wait for a running generation: it is about to replace the timeline.
inline void refuse_while_generating() {
    nb::object endpoints = attr("endpoints");
    nb::object status = endpoints.attr("get_status")()["status"];
    if (status.equal(endpoints.attr("BrevanoStatus").attr("GENERATING")))
        raise_http(409, "A generation is running");
}

// A RuntimeError of the Resolve layer (no Resolve, no project, no timeline, a refused job)
// answers 400 with its own text.
inline HttpErrors refuse_runtime_errors() { return {{PyExc_RuntimeError, 400, nullptr, false}}; }

// POST /studio/render, GET /studio/render/{job_id}, their request model and job table.
void register_render_routes(nb::module_& m, nb::handle router);

// GET /studio/timeline, POST /studio/export and export_timeline (also used by the command).
void register_export_routes(nb::module_& m, nb::handle router);

// GET /studio/progress, POST /studio/cancel, GET /studio/voices, GET and DELETE
// /studio/outputs: what the studio page reads beside the render routes.
void register_page_routes(nb::module_& m, nb::handle router);

}  // namespace vestrel::bind::studio
