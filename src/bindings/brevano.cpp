// vestrel.brevano: the generation input model and the pipeline.
#include <nanobind/nanobind.h>

#include "bindings/brevano/parts.hpp"
#include "bindings/common/errors.hpp"

namespace nb = nanobind;
using namespace vestrel::bind::brevano;

NB_MODULE(brevano, m) {
    this_module.set(m);
    vestrel::py::register_error_translator();
    m.doc() = "Main orchestration logic for generating short videos.\nNo FastAPI code in here.";
    m.attr("os") = nb::module_::import_("os");
    m.attr("re") = nb::module_::import_("re");
    // The stages, bound by name; every call goes through these attributes at call time.
    m.attr("tts") = nb::module_::import_("vestrel.tts");
    m.attr("lexor") = nb::module_::import_("vestrel.lexor");
    m.attr("montra") = nb::module_::import_("vestrel.montra");
    register_input(m);
    register_pipeline(m);
}
