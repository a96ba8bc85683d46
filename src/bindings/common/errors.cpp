#include "bindings/common/errors.hpp"

#include "bindings/common/pyutil.hpp"
#include "bindings/common/route.hpp"

namespace vestrel::py {

PyObject* exception_type(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::Value: return PyExc_ValueError;
        case ErrorKind::Runtime: return PyExc_RuntimeError;
        case ErrorKind::FileNotFound: return PyExc_FileNotFoundError;
        case ErrorKind::Os: return PyExc_OSError;
        case ErrorKind::Overflow: return PyExc_OverflowError;
        case ErrorKind::ZeroDivision: return PyExc_ZeroDivisionError;
    }
    return PyExc_RuntimeError;
}

void register_error_translator() {
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const Error& e) {
            PyErr_SetString(exception_type(e.kind()), e.what());
        }
    });
}

HttpErrors answer_500() { return {{PyExc_Exception, 500}}; }

HttpErrors refuse_value_errors() { return {{PyExc_ValueError, 400}, {PyExc_Exception, 500}}; }

void answer_error(const HttpErrors& table, nb::python_error& e) {
    // A route's own HTTP answer goes out as it is.
    if (error_is(e, nb::module_::import_("fastapi").attr("HTTPException").ptr())) throw;
    for (const HttpError& line : table) {
        if (!error_is(e, line.type)) continue;
        if (line.traceback) print_exception(e);
        nb::object detail = line.detail ? nb::object(nb::str(line.detail)) : nb::str(e.value());
        raise_http(line.status, detail, e.value());
    }
    throw;
}

}  // namespace vestrel::py
