#include "bindings/endpoints/route.hpp"
#include "bindings/endpoints/routes.hpp"

namespace vestrel::endpoints {

// The project, clip and speech routes come with the Resolve control layer.
void register_project_routes(nb::module_&, nb::handle) {}

}  // namespace vestrel::endpoints
