// vestrel.studio: the second router of the package (render routes; the studio page's routes
// join it). Its routes are made with the same route callables as vestrel.endpoints.
#pragma once

#include <nanobind/nanobind.h>

namespace vestrel::studio {

namespace nb = nanobind;

// The module object, looked up at the first call and kept for the life of the process.
nb::handle self();

// POST /studio/render, GET /studio/render/{job_id}, their request model and job table.
void register_render_routes(nb::module_& m, nb::handle router);

// GET /studio/timeline, POST /studio/export and export_timeline (also used by the command).
void register_export_routes(nb::module_& m, nb::handle router);

// GET /studio/progress, POST /studio/cancel, GET /studio/voices, GET and DELETE
// /studio/outputs: what the studio page reads beside the render routes.
void register_page_routes(nb::module_& m, nb::handle router);

}  // namespace vestrel::studio
