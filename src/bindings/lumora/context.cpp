// The Resolve context, the accessor chain every operation starts from, and projects.
//
// No Resolve handle is cached: each call fetches the scripting object, its project manager,
// the current project and so on afresh, so a project switched in between is the one used.
#include "bindings/lumora/parts.hpp"

namespace vestrel::bind::lumora {

namespace {

nb::object project_manager() { return this_module.attr("get_project_manager")(); }

nb::object create_project(const Args& a) {
    const std::string name = a.text("name");
    nb::object project = project_manager().attr("CreateProject")(a["name"]);
    if (!truthy(project)) fail("Could not create project '" + name + "'");
    log("Created project '" + name + "'");
    return project;
}

nb::object open_project(const Args& a) {
    const std::string name = a.text("name");
    if (!truthy(project_manager().attr("LoadProject")(a["name"])))
        fail("Could not open project '" + name + "'");
    log("Opened project '" + name + "'");
    return nb::none();
}

nb::object delete_current_project(const Args&) {
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
    log("Deleted project '" + str(name) + "'");
    return nb::none();
}

nb::object import_project(const Args& a) {
    nb::object pm = project_manager();
    if (!truthy(pm.attr("ImportProject")(a["filepath"], a["project_name"])))
        fail("Could not import project");
    if (!truthy(pm.attr("LoadProject")(a["project_name"]))) fail("Could not load imported project");
    log("Imported project '" + a.text("project_name") + "'");
    return nb::none();
}

}  // namespace

void register_context(nb::module_& m) {
    m.attr("_resolve") = nb::none();
    const Param name = arg("name", Kind::Str);

    def(m, {{"set_resolve", {arg("resolve")},
             [](const Args& a) {
                 this_module.set_attr("_resolve", a["resolve"]);
                 return nb::none();
             },
             "Store the Resolve scripting object that every operation uses (None unsets it)."},
            {"get_resolve", {},
             [](const Args&) {
                 nb::object r = this_module.attr("_resolve");
                 if (r.is_none()) fail("Resolve context not set. Call set_resolve(resolve) first.");
                 return r;
             },
             "The stored Resolve scripting object; RuntimeError when none is set."},
            {"get_project_manager", {},
             [](const Args&) {
                 return this_module.attr("get_resolve")().attr("GetProjectManager")();
             },
             "Resolve's project manager."},
            {"get_current_project", {},
             [](const Args&) {
                 nb::object project = project_manager().attr("GetCurrentProject")();
                 if (!truthy(project)) fail("No current project loaded");
                 return project;
             },
             "The project open in Resolve; RuntimeError when none is open."},
            {"get_media_pool", {},
             [](const Args&) { return current_project().attr("GetMediaPool")(); },
             "The media pool of the current project."},
            {"create_project", {name}, create_project,
             "Create a project (it becomes the current one) and return it."},
            {"open_project", {name}, open_project, "Open (load) a project by name."},
            {"get_current_project_name", {},
             [](const Args&) {
                 nb::object project = current_project();
                 log("Currentproject '" + str(project.attr("GetName")()) + "'");
                 return project.attr("GetName")();
             },
             "The current project's name."},
            {"delete_current_project", {}, delete_current_project,
             "Close and delete the current project; nothing to do when none is open."},
            {"import_project", {arg("filepath", Kind::Str), arg("project_name", Kind::Str)},
             import_project, "Import a project file under a name and open it."}});
}

}  // namespace vestrel::bind::lumora
