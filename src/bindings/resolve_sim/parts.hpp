// vestrel.resolve_sim: the Resolve-like objects over the in-memory core, and the reader of
// template files.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/common/module.hpp"
#include "core/resolve_sim.hpp"
#include "core/sim_template.hpp"

namespace vestrel::bind::resolve_sim {

namespace nb = nanobind;
namespace core = vestrel::resolve_sim;
using namespace vestrel::py;

// vestrel.resolve_sim: the application of this process lives on it as `_app`.
inline ModuleRef this_module;

// The scripting object: one running application with its project manager.
struct App {
    std::shared_ptr<core::ProjectManager> pm = std::make_shared<core::ProjectManager>();
};

// {key: value} of settings or properties, in their order.
inline nb::dict dict_of(const std::vector<std::pair<std::string, std::string>>& pairs) {
    nb::dict d;
    for (const auto& [k, v] : pairs) d[k.c_str()] = v;
    return d;
}

void register_objects(nb::module_& m);
// Timeline.Export and the export constants of the scripting object.
void register_export(nb::module_& m);

// The render queue's calls on the project class.
void register_render(nb::class_<core::Project>& project);
// Draws one title item, as a render draws it, on a transparent frame of the timeline's size
// into a PNG file. Throws a core error: Value for an item that is no title with text, Runtime
// when it cannot be drawn (a font not installed, ffmpeg failing).
void render_title_png(const core::Timeline& timeline, const core::TimelineItem& item,
                      const std::string& png_path);

// A template file in the simulator's format; nullopt for any other file.
std::optional<core::ProjectTemplate> read_template(const std::string& path);

}  // namespace vestrel::bind::resolve_sim
