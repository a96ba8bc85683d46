// vestrel.studio: routes beyond the system's own router, mounted by the host beside it.
#include <nanobind/nanobind.h>

#include "bindings/common/function.hpp"
#include "bindings/common/route.hpp"
#include "bindings/studio/parts.hpp"

namespace nb = nanobind;

namespace vestrel::studio {

nb::handle self() {
    static nb::handle m = nb::module_::import_("vestrel.studio").release();
    return m;
}

}  // namespace vestrel::studio

NB_MODULE(studio, m) {
    m.doc() = "studio\nRender routes of the studio, beside the system's router.";
    // Sibling modules bound by name; calls go through these attributes at call time.
    m.attr("endpoints") = nb::module_::import_("vestrel.endpoints");
    m.attr("lumora") = nb::module_::import_("vestrel.lumora");
    m.attr("media") = nb::module_::import_("vestrel.media");
    m.attr("progress") = nb::module_::import_("vestrel.progress");
    vestrel::py::register_route_type(m);

    nb::object router = nb::module_::import_("fastapi").attr("APIRouter")();
    m.attr("router") = router;
    vestrel::studio::register_render_routes(m, router);
    vestrel::studio::register_export_routes(m, router);
    vestrel::studio::register_page_routes(m, router);
    vestrel::py::finalize_functions(m);
}
