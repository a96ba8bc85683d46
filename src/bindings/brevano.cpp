// vestrel.brevano: the generation input model and the pipeline.
#include <nanobind/nanobind.h>

#include "bindings/common/function.hpp"

#include "bindings/brevano/parts.hpp"

namespace nb = nanobind;

NB_MODULE(brevano, m) {
    m.doc() = "Main orchestration logic for generating short videos.\nNo FastAPI code in here.";
    m.attr("os") = nb::module_::import_("os");
    m.attr("re") = nb::module_::import_("re");
    // The stages, bound by name; every call goes through these attributes at call time.
    m.attr("tts") = nb::module_::import_("vestrel.tts");
    m.attr("lexor") = nb::module_::import_("vestrel.lexor");
    m.attr("montra") = nb::module_::import_("vestrel.montra");
    vestrel::brevano::register_input(m);
    vestrel::brevano::register_pipeline(m);
    vestrel::py::finalize_functions(m);
}
