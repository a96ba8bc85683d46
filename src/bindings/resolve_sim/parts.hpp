// vestrel.resolve_sim: the Resolve-like objects over the in-memory core, and the readers of
// media files and template files.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <optional>
#include <string>

#include "core/resolve_sim.hpp"

namespace vestrel::sim {

namespace nb = nanobind;
namespace core = vestrel::resolve_sim;

// The scripting object: one running application with its project manager.
struct App {
    std::shared_ptr<core::ProjectManager> pm = std::make_shared<core::ProjectManager>();
};

void register_objects(nb::module_& m);

// What ffprobe reports of a file (streams, rate, length, size). A file ffprobe cannot read
// is taken by its extension (video or audio, rate unknown), so placeholder media imports;
// nullopt for anything else.
std::optional<core::MediaInfo> probe_media(const std::string& path);

// A template file in the simulator's format; nullopt for any other file.
std::optional<core::ProjectTemplate> read_template(const std::string& path);

// The format tag a template file carries.
inline constexpr const char* kTemplateFormat = "vestrel-resolve-sim-project";

}  // namespace vestrel::sim
