// The route groups of the router, registered by the module in the route table's order.
#pragma once

#include <nanobind/nanobind.h>

#include "bindings/common/route.hpp"

namespace vestrel::endpoints {

namespace nb = nanobind;

// The route callables are shared with the other routers of the package.
using py::add_route;
using py::raise_http;
using py::register_route_type;
using py::RouteParam;

// /media/*, /templates/*
void register_media_routes(nb::module_& m, nb::handle router);
// /brevano/status, /brevano/generate, the status state, request models and the worker
void register_generation_state(nb::module_& m);
void register_generation_routes(nb::module_& m, nb::handle router);

}  // namespace vestrel::endpoints
