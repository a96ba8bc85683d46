// Route functions of a router: C++ callables that FastAPI accepts as endpoints.
//
// FastAPI reads an endpoint's parameters from inspect.signature, its name from __name__ and
// its description from __doc__. A Route instance carries those three as instance attributes,
// and its type has __get__ (so inspect.isroutine holds) but is no coroutine function, so
// FastAPI runs it on its thread pool.
#pragma once

#include <nanobind/nanobind.h>

#include "bindings/common/declare.hpp"
#include "bindings/common/errors.hpp"

#include <functional>
#include <string>
#include <vector>

namespace vestrel::py {

namespace nb = nanobind;

struct Route {
    std::function<nb::object(nb::args, nb::kwargs)> fn;
};

// Makes the route type available as `m._Route`. The type is created by the first module
// that asks (every module of the package shares one nanobind domain, where a C++ type can be
// registered only once); later modules get the same type.
void register_route_type(nb::module_& m);

// One route, declared once: method, path and name; its parameters as for any function (the
// annotation is what FastAPI reads, `shows` gives a File(...)/Form(None) marker); its body;
// which exceptions become which HTTP answers (none: every exception goes on to FastAPI);
// its description (none: FastAPI shows none).
struct RouteDecl {
    const char* method;
    const char* path;
    const char* name;
    std::vector<Param> params;
    Body body;
    HttpErrors errors = {};
    const char* doc = nullptr;
};

// Creates each route object, stores it as module attribute `name` and registers it on
// `router`, in the order given (FastAPI matches routes in that order).
void add_routes(nb::module_& m, nb::handle router, std::initializer_list<RouteDecl> routes);

// {"success": True}
nb::dict success();

// pydantic.create_model(name, __module__=<the module>, **fields), stored as module attribute
// `name`. Each field is (name, annotation, default); `required()` marks one without default.
struct ModelField {
    const char* name;
    nb::object annotation;
    nb::object default_value;
};
nb::object required();
nb::object make_model(nb::module_& m, const char* name, const std::vector<ModelField>& fields);

// Raises fastapi.HTTPException(status_code, detail).
[[noreturn]] void raise_http(int status_code, nb::handle detail);
[[noreturn]] void raise_http(int status_code, const std::string& detail);
// The same, raised as Python code raising it inside an `except` block would: `context` (the
// error being handled; may be an invalid handle for none) becomes its __context__, and
// __cause__ stays unset, also when the route itself runs inside a caller's `except` block.
[[noreturn]] void raise_http(int status_code, nb::handle detail, nb::handle context);

}  // namespace vestrel::py
