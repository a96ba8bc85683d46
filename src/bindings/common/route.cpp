#include "bindings/common/route.hpp"

#include <nanobind/stl/function.h>

namespace vestrel::py {

void register_route_type(nb::module_& m) {
    if (nb::handle existing = nb::type<Route>(); existing.is_valid()) {
        m.attr("_Route") = existing;
        return;
    }
    nb::class_<Route>(m, "_Route", nb::dynamic_attr())
        .def("__call__",
             [](Route& r, nb::args args, nb::kwargs kwargs) { return r.fn(args, kwargs); })
        .def(
            "__get__", [](nb::handle self, nb::handle, nb::handle) { return nb::borrow(self); },
            nb::arg("instance").none(), nb::arg("owner").none() = nb::none());
}

nb::object add_route(nb::module_& m, nb::handle router, const char* method, const char* path,
                     const char* name, const char* doc, const std::vector<RouteParam>& params,
                     std::function<nb::object(nb::args, nb::kwargs)> fn) {
    nb::object inspect = nb::module_::import_("inspect");
    nb::object Parameter = inspect.attr("Parameter");
    nb::list ps;
    for (const RouteParam& p : params) {
        nb::dict kw;
        kw["annotation"] = p.annotation;
        if (p.default_value.is_valid()) kw["default"] = p.default_value;
        ps.append(Parameter(p.name, Parameter.attr("POSITIONAL_OR_KEYWORD"), **kw));
    }
    nb::object route = nb::cast(Route{std::move(fn)});
    route.attr("__signature__") = inspect.attr("Signature")(ps);
    route.attr("__name__") = nb::str(name);
    route.attr("__qualname__") = nb::str(name);
    route.attr("__module__") = m.attr("__name__");
    route.attr("__doc__") = doc ? nb::object(nb::str(doc)) : nb::none();
    m.attr(name) = route;
    router.attr(method)(path)(route);
    return route;
}

void raise_http(int status_code, nb::handle detail) {
    nb::object exc_type = nb::module_::import_("fastapi").attr("HTTPException");
    nb::object exc = exc_type(status_code, detail);
    PyErr_SetObject(exc_type.ptr(), exc.ptr());
    throw nb::python_error();
}

void raise_http(int status_code, nb::handle detail, nb::handle context) {
    if (!context.is_valid() || context.is_none()) raise_http(status_code, detail);
    nb::object exc_type = nb::module_::import_("fastapi").attr("HTTPException");
    nb::object exc = exc_type(status_code, detail);
    PyException_SetContext(exc.ptr(), nb::borrow(context).release().ptr());
    // Restored as it is: a caller's handled exception does not replace the context above.
    PyErr_Restore(exc_type.release().ptr(), exc.release().ptr(), nullptr);
    throw nb::python_error();
}

void raise_http(int status_code, const std::string& detail) {
    raise_http(status_code, nb::str(detail.c_str()));
}

}  // namespace vestrel::py
