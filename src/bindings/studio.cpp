// vestrel.studio: routes beyond the system's own router, mounted by the host beside it.
#include <nanobind/nanobind.h>

#include "bindings/common/errors.hpp"
#include "bindings/common/function.hpp"
#include "bindings/studio/parts.hpp"

using namespace vestrel::bind::studio;

NB_MODULE(studio, m) {
    this_module.set(m);
    register_error_translator();
    m.doc() = "studio\nRender routes of the studio, beside the system's router.";
    // Sibling modules bound by name; calls go through these attributes at call time.
    for (const char* name : {"endpoints", "lumora", "media", "progress", "tts"})
        m.attr(name) = nb::module_::import_((std::string("vestrel.") + name).c_str());
    register_route_type(m);

    nb::object router = nb::module_::import_("fastapi").attr("APIRouter")();
    m.attr("router") = router;
    register_render_routes(m, router);
    register_export_routes(m, router);
    register_page_routes(m, router);
    finalize_functions(m);
}
