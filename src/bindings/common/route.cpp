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

void add_routes(nb::module_& m, nb::handle router, std::initializer_list<RouteDecl> routes) {
    for (const RouteDecl& r : routes) {
        const Signature& sig = declare({r.name, r.params});
        Body body = r.body;
        HttpErrors errors = r.errors;
        nb::object route = nb::cast(Route{[&sig, body, errors](nb::args a, nb::kwargs k) {
            // Argument errors of a direct call are no HTTP answers: checked first.
            Args args(sig, parse(sig, a, k));
            try {
                return body(args);
            } catch (nb::python_error& e) {
                answer_error(errors, e);
            }
        }});
        route.attr("__signature__") = inspect_signature(r.params);
        route.attr("__name__") = nb::str(r.name);
        route.attr("__qualname__") = nb::str(r.name);
        route.attr("__module__") = m.attr("__name__");
        route.attr("__doc__") = r.doc ? nb::object(nb::str(r.doc)) : nb::none();
        m.attr(r.name) = route;
        router.attr(r.method)(r.path)(route);
    }
}

nb::dict success() {
    nb::dict d;
    d["success"] = true;
    return d;
}

nb::object required() { return nb::borrow(Py_Ellipsis); }

nb::object make_model(nb::module_& m, const char* name, const std::vector<ModelField>& fields) {
    nb::dict kwargs;
    kwargs["__module__"] = m.attr("__name__");
    for (const ModelField& f : fields)
        kwargs[f.name] = nb::make_tuple(f.annotation, f.default_value);
    nb::object create = nb::module_::import_("pydantic").attr("create_model");
    nb::object model =
        nb::steal(PyObject_Call(create.ptr(), nb::make_tuple(name).ptr(), kwargs.ptr()));
    if (!model.is_valid()) throw nb::python_error();
    m.attr(name) = model;
    return model;
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
