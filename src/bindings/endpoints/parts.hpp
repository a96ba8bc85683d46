// vestrel.endpoints: the router of the whole system, its route groups (registered in the
// route table's order) and the generation status.
#pragma once

#include <nanobind/nanobind.h>

#include "bindings/common/declare.hpp"
#include "bindings/common/module.hpp"
#include "bindings/common/route.hpp"

namespace vestrel::bind::endpoints {

namespace nb = nanobind;
using namespace vestrel::py;

// vestrel.endpoints; its attributes (lumora, media, generate_tts, the status state) are
// read through it at each call, so a test that replaces one is seen at once.
inline ModuleRef this_module;

// /project/*, /media/import_clip, /timeline/add_clip, /tts/generate
void register_project_routes(nb::module_& m, nb::handle router);
// /media/*, /templates/*
void register_media_routes(nb::module_& m, nb::handle router);
// The generation status, its functions, the request models and the worker
void register_generation_state(nb::module_& m);
// /brevano/status, /brevano/generate
void register_generation_routes(nb::module_& m, nb::handle router);

}  // namespace vestrel::bind::endpoints
