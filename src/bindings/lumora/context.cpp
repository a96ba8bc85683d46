// The Resolve context, the accessor chain every operation starts from, and projects.
//
// No Resolve handle is cached: each call fetches the scripting object, its project manager,
// the current project and so on afresh, so a project switched in between is the one used.
#include "bindings/common/args.hpp"
#include "bindings/common/pyutil.hpp"
#include "bindings/lumora/parts.hpp"

namespace vestrel::lumora {

namespace {

using namespace vestrel::py;

nb::object get_resolve() {
    nb::object r = self().attr("_resolve");
    if (r.is_none()) fail("Resolve context not set. Call set_resolve(resolve) first.");
    return r;
}

nb::object project_manager() { return fn("get_project_manager")(); }

}  // namespace

void register_context(nb::module_& m) {
    m.attr("_resolve") = nb::none();

    m.def(
        "set_resolve",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig = declare({"set_resolve", {arg("resolve")}});
            auto v = parse(sig, a, k);
            self().attr("_resolve") = v[0];
            return nb::none();
        },
        "Store the Resolve scripting object that every operation uses (None unsets it).");

    m.def(
        "get_resolve",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig = declare({"get_resolve", {}});
            parse(sig, a, k);
            return get_resolve();
        },
        "The stored Resolve scripting object; RuntimeError when none is set.");

    m.def(
        "get_project_manager",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig = declare({"get_project_manager", {}});
            parse(sig, a, k);
            return fn("get_resolve")().attr("GetProjectManager")();
        },
        "Resolve's project manager.");

    m.def(
        "get_current_project",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig = declare({"get_current_project", {}});
            parse(sig, a, k);
            nb::object project = project_manager().attr("GetCurrentProject")();
            if (!truthy(project)) fail("No current project loaded");
            return project;
        },
        "The project open in Resolve; RuntimeError when none is open.");

    m.def(
        "get_media_pool",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig = declare({"get_media_pool", {}});
            parse(sig, a, k);
            return fn("get_current_project")().attr("GetMediaPool")();
        },
        "The media pool of the current project.");

    m.def(
        "create_project",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig = declare({"create_project", {arg("name", Kind::Str)}});
            auto v = parse(sig, a, k);
            const std::string name = utf8(v[0]);
            nb::object project = project_manager().attr("CreateProject")(v[0]);
            if (!truthy(project)) fail("Could not create project '" + name + "'");
            log("Created project '" + name + "'");
            return project;
        },
        "Create a project (it becomes the current one) and return it.");

    m.def(
        "open_project",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig = declare({"open_project", {arg("name", Kind::Str)}});
            auto v = parse(sig, a, k);
            const std::string name = utf8(v[0]);
            if (!truthy(project_manager().attr("LoadProject")(v[0])))
                fail("Could not open project '" + name + "'");
            log("Opened project '" + name + "'");
            return nb::none();
        },
        "Open (load) a project by name.");

    m.def(
        "get_current_project_name",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig = declare({"get_current_project_name", {}});
            parse(sig, a, k);
            nb::object project = fn("get_current_project")();
            log("Currentproject '" + text_of(project.attr("GetName")()) + "'");
            return project.attr("GetName")();
        },
        "The current project's name.");

    m.def(
        "delete_current_project",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig = declare({"delete_current_project", {}});
            parse(sig, a, k);
            nb::object pm = project_manager();
            nb::object project = pm.attr("GetCurrentProject")();
            if (!truthy(project)) {
                log("No project to delete");
                return nb::none();
            }
            nb::object name = project.attr("GetName")();
            // A project open in Resolve cannot be deleted: close it first.
            pm.attr("CloseProject")(project);
            pm.attr("DeleteProject")(name);
            log("Deleted project '" + text_of(name) + "'");
            return nb::none();
        },
        "Close and delete the current project; nothing to do when none is open.");

    m.def(
        "import_project",
        [](nb::args a, nb::kwargs k) {
            static const Signature& sig = declare(
                {"import_project", {arg("filepath", Kind::Str), arg("project_name", Kind::Str)}});
            auto v = parse(sig, a, k);
            nb::object pm = project_manager();
            if (!truthy(pm.attr("ImportProject")(v[0], v[1]))) fail("Could not import project");
            if (!truthy(pm.attr("LoadProject")(v[1]))) fail("Could not load imported project");
            log("Imported project '" + utf8(v[1]) + "'");
            return nb::none();
        },
        "Import a project file under a name and open it.");
}

}  // namespace vestrel::lumora
