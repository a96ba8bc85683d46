// Render control: preset, output, job start and the wait for the render to end.
#include "bindings/common/args.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/lumora/parts.hpp"

namespace vestrel::lumora {

namespace {
using namespace vestrel::py;
}  // namespace

void register_render(nb::module_& m) {
    m.def(
        "load_render_preset",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig =
                declare({"load_render_preset", {arg("name", Kind::Str)}});
            auto v = parse(sig, a, k);
            fn("get_current_project")().attr("LoadRenderPreset")(v[0]);
            log("Loaded render preset '" + utf8(v[0]) + "'");
            return nb::none();
        },
        "Load a render preset into the current project.");

    m.def(
        "set_render_output",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig = declare(
                {"set_render_output", {arg("filename", Kind::Str), arg("folder", Kind::Str)}});
            auto v = parse(sig, a, k);
            nb::dict settings;
            settings["CustomName"] = v[0];
            settings["TargetDir"] = v[1];
            fn("get_current_project")().attr("SetRenderSettings")(settings);
            log("Render output set");
            return nb::none();
        },
        "Set the render output file name and folder.");

    m.def(
        "start_render",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig = declare({"start_render", {}});
            parse(sig, a, k);
            nb::object project = fn("get_current_project")();
            nb::object job = project.attr("AddRenderJob")();
            project.attr("StartRendering")(job);
            log("Rendering started");
            return nb::none();
        },
        "Queue a render job for the current timeline and start it.");

    m.def(
        "wait_until_render_finished",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig = declare({"wait_until_render_finished", {}});
            parse(sig, a, k);
            nb::object project = fn("get_current_project")();
            log("Waiting for render to finish...");
            // time.sleep is looked up at each wait and releases the interpreter meanwhile.
            while (truthy(project.attr("IsRenderingInProgress")()))
                import("time").attr("sleep")(1);
            log("Rendering finished");
            return nb::none();
        },
        "Block until Resolve reports that no render is in progress, polling once a second.");
}

}  // namespace vestrel::lumora
