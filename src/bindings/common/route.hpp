// Route functions of a router: C++ callables that FastAPI accepts as endpoints.
//
// FastAPI reads an endpoint's parameters from inspect.signature, its name from __name__ and
// its description from __doc__. A Route instance carries those three as instance attributes,
// and its type has __get__ (so inspect.isroutine holds) but is no coroutine function, so
// FastAPI runs it on its thread pool.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <string>
#include <vector>

namespace vestrel::py {

namespace nb = nanobind;

struct Route {
    std::function<nb::object(nb::args, nb::kwargs)> fn;
};

// One parameter of a route's signature: name, annotation and, optionally, a default
// (`File(...)`, `Form(None)`, ...).
struct RouteParam {
    const char* name;
    nb::object annotation;
    nb::object default_value{};  // invalid handle: no default
};

// Makes the route type available as `m._Route`. The type is created by the first module
// that asks (every module of the package shares one nanobind domain, where a C++ type can be
// registered only once); later modules get the same type.
void register_route_type(nb::module_& m);

// Creates the route object, stores it as module attribute `name` and registers it on
// `router` with `method` ("get", "post", "delete") and `path`.
nb::object add_route(nb::module_& m, nb::handle router, const char* method, const char* path,
                     const char* name, const char* doc, const std::vector<RouteParam>& params,
                     std::function<nb::object(nb::args, nb::kwargs)> fn);

// Raises fastapi.HTTPException(status_code, detail).
[[noreturn]] void raise_http(int status_code, nb::handle detail);
[[noreturn]] void raise_http(int status_code, const std::string& detail);
// The same, raised as Python code raising it inside an `except` block would: `context` (the
// error being handled; may be an invalid handle for none) becomes its __context__, and
// __cause__ stays unset, also when the route itself runs inside a caller's `except` block.
[[noreturn]] void raise_http(int status_code, nb::handle detail, nb::handle context);

}  // namespace vestrel::py
