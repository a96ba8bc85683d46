// vestrel.resolve_sim: an in-memory DaVinci Resolve for running the Resolve layer without
// Resolve. scriptapp("Resolve") answers the scripting object of this process's simulated
// application; Resolve() makes a fresh, separate one.
#include <nanobind/nanobind.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>

#include "bindings/common/errors.hpp"
#include "bindings/resolve_sim/parts.hpp"

using namespace vestrel::bind::resolve_sim;

NB_MODULE(resolve_sim, m) {
    this_module.set(m);
    register_error_translator();
    m.doc() =
        "resolve_sim\nAn in-memory DaVinci Resolve answering the scripting calls of the Resolve "
        "layer.";
    m.attr("TEMPLATE_FORMAT") = core::kTemplateFormat;
    register_objects(m);
    register_export(m);
    m.attr("_app") = nb::none();
    m.def(
        "scriptapp",
        [](const std::string& name) -> nb::object {
            if (name != "Resolve") return nb::none();
            // The application lives as a module attribute, like a running Resolve that every
            // caller of this process reaches.
            if (this_module.attr("_app").is_none())
                this_module.set_attr("_app", nb::cast(std::make_shared<App>()));
            return this_module.attr("_app");
        },
        nb::arg("name"),
        "The scripting object of the simulated application (None for other names).");
    m.def("render_title_png", &render_title_png, nb::arg("timeline"), nb::arg("item"),
          nb::arg("path"),
          "Draws one title item of the timeline, as a render draws it, on a transparent frame "
          "of the timeline's size into a PNG file.");
}
