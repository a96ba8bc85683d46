#include "bindings/common/caught.hpp"

#include "bindings/common/pyutil.hpp"

namespace vestrel::py {

void print_caught(const nb::python_error& e) {
    nb::handle exc = e.value();
    if (nb::getattr(exc, "__traceback__").is_none()) {
        nb::object sys = nb::module_::import_("sys");
        if (nb::hasattr(sys, "_getframe")) {
            try {
                nb::object frame = sys.attr("_getframe")(0);
                nb::object tb = nb::module_::import_("types").attr("TracebackType")(
                    nb::none(), frame, frame.attr("f_lasti"), frame.attr("f_lineno"));
                exc.attr("with_traceback")(tb);
            } catch (nb::python_error&) {
                // No Python frame is running: print the error without one.
            }
        }
    }
    print_exception(exc);
}

}  // namespace vestrel::py
