// One error vocabulary from the core to Python and on to HTTP.
//
// The core reports failures as vestrel::Error with a kind (core/error.hpp); one translator,
// registered by every module at load, raises the Python exception type of that kind with the
// core's message. The routes then declare, each for itself, which Python exception types
// become which HTTP status and detail (HttpErrors); route.hpp applies that declaration.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

#include "core/error.hpp"

namespace vestrel::py {

namespace nb = nanobind;

// The Python exception type of a core error kind.
PyObject* exception_type(ErrorKind kind);

// Registers the translator of vestrel::Error (once per module; nanobind keeps a list).
void register_error_translator();

// One line of a route's error table: an exception of `type` (or a subclass) is answered
// with `status`; the detail is `detail` when given, else str(exception); `traceback` prints
// the exception's traceback to standard error first (the server's log).
struct HttpError {
    PyObject* type;
    int status;
    const char* detail = nullptr;
    bool traceback = true;
};
// Tried in order; an exception no line matches goes on unchanged.
using HttpErrors = std::vector<HttpError>;

// Common tables.
// Every ordinary exception: 500 with its text.
HttpErrors answer_500();
// A ValueError is the caller's fault (400), every other ordinary exception 500.
HttpErrors refuse_value_errors();

// Applies `table` to a caught Python error: raises the HTTPException of the first matching
// line (chained to the caught error as an `except` block would), or rethrows. An
// HTTPException the route raised itself always goes on unchanged.
[[noreturn]] void answer_error(const HttpErrors& table, nb::python_error& e);

}  // namespace vestrel::py
