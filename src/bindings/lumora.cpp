// vestrel.lumora: the only caller of DaVinci Resolve.
#include <nanobind/nanobind.h>

#include "bindings/common/function.hpp"

#include "bindings/common/pyutil.hpp"
#include "bindings/common/values.hpp"
#include "bindings/lumora/parts.hpp"

namespace nb = nanobind;

namespace vestrel::lumora {

nb::handle self() {
    static nb::handle m = nb::module_::import_("vestrel.lumora").release();
    return m;
}

void fail(const std::string& message) { py::raise(PyExc_RuntimeError, message); }

void log(const std::string& text) { py::print("[lumora] " + text); }

std::string text_of(nb::handle obj) { return py::str(obj); }

}  // namespace vestrel::lumora

NB_MODULE(lumora, m) {
    m.doc() = "lumora\nDirect DaVinci Resolve scripting helpers.";
    vestrel::lumora::register_context(m);
    vestrel::lumora::register_media(m);
    vestrel::lumora::register_render(m);
    vestrel::py::finalize_functions(m);
}
