#include "bindings/common/placeholder.hpp"

#include <string>

namespace vestrel::py {

void add_placeholder(nb::module_& m, const char* name, const char* stage) {
    std::string message = std::string(stage) + " is not built yet";
    m.def(
        name,
        [message](nb::args, nb::kwargs) -> nb::object {
            PyErr_SetString(PyExc_NotImplementedError, message.c_str());
            throw nb::python_error();
        },
        (std::string("Placeholder: ") + message + ".").c_str());
}

}  // namespace vestrel::py
