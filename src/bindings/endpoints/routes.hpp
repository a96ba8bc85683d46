// The route groups of the router, registered by the module in the route table's order.
#pragma once

#include <nanobind/nanobind.h>

namespace vestrel::endpoints {

namespace nb = nanobind;

// /project/*, /media/import_clip, /timeline/add_clip, /tts/generate
void register_project_routes(nb::module_& m, nb::handle router);
// /media/*, /templates/*
void register_media_routes(nb::module_& m, nb::handle router);
// /brevano/status, /brevano/generate, the status state, request models and the worker
void register_generation_state(nb::module_& m);
void register_generation_routes(nb::module_& m, nb::handle router);

}  // namespace vestrel::endpoints
