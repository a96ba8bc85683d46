// vestrel.endpoints: the router of the whole system, the generation status and its worker.
#include <nanobind/nanobind.h>

#include "bindings/common/errors.hpp"
#include "bindings/endpoints/parts.hpp"

namespace nb = nanobind;
using namespace vestrel::bind::endpoints;

NB_MODULE(endpoints, m) {
    this_module.set(m);
    vestrel::py::register_error_translator();
    // Sibling modules bound by name; calls go through these attributes at call time.
    m.attr("lumora") = nb::module_::import_("vestrel.lumora");
    m.attr("media") = nb::module_::import_("vestrel.media");
    m.attr("generate_tts") = nb::module_::import_("vestrel.tts").attr("generate_tts");
    nb::object brevano = nb::module_::import_("vestrel.brevano");
    for (const char* name :
         {"BrevanoInput", "BrevanoScene", "BrevanoBackgroundVideo", "generate_short"})
        m.attr(name) = brevano.attr(name);

    register_route_type(m);
    register_generation_state(m);

    nb::object router = nb::module_::import_("fastapi").attr("APIRouter")();
    m.attr("router") = router;
    register_project_routes(m, router);
    register_media_routes(m, router);
    register_generation_routes(m, router);
}
