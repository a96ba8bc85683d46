// The inspect.Signature of a declared argument signature, so that inspect.signature() and
// help() show montra's callables with their parameters and defaults.
#pragma once

#include <nanobind/nanobind.h>

#include "bindings/common/args.hpp"
#include "bindings/common/pyutil.hpp"

namespace vestrel::montra {

// `with_self` adds a leading "self" for functions placed in a class (methods); constructors'
// signatures on the class leave it out, as the host's own classes do.
inline nb::object inspect_signature(const py::Signature& sig, bool with_self = false) {
    nb::object parameter = py::import("inspect").attr("Parameter");
    nb::list params;
    if (with_self) params.append(parameter("self", parameter.attr("POSITIONAL_OR_KEYWORD")));
    for (const py::Param& p : sig.params) {
        nb::dict kw;
        if (!p.required) kw["default"] = p.default_value;
        nb::object kind = parameter.attr(p.keyword_only ? "KEYWORD_ONLY" : "POSITIONAL_OR_KEYWORD");
        params.append(parameter(p.name, kind, **kw));
    }
    return py::import("inspect").attr("Signature")(params);
}

}  // namespace vestrel::montra
