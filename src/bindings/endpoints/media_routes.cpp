#include "bindings/endpoints/route.hpp"
#include "bindings/endpoints/routes.hpp"

namespace vestrel::endpoints {

// The media library and template routes come with the media library.
void register_media_routes(nb::module_&, nb::handle) {}

}  // namespace vestrel::endpoints
