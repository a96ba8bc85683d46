// vestrel.brevano: the generation input model and the pipeline.
#include <nanobind/nanobind.h>

#include "bindings/common/placeholder.hpp"

namespace nb = nanobind;

NB_MODULE(brevano, m) {
    m.attr("tts") = nb::module_::import_("vestrel.tts");
    m.attr("lexor") = nb::module_::import_("vestrel.lexor");
    m.attr("montra") = nb::module_::import_("vestrel.montra");
    for (const char* name :
         {"BrevanoInput", "BrevanoScene", "BrevanoBackgroundVideo", "generate_short"})
        vestrel::py::add_placeholder(m, name, "the generation pipeline (brevano)");
}
