// The simulator's render queue settings and answers that need no renderer: the presets it
// knows, render settings, how a job's status reads, and the simulated renders a test uses
// instead of real ones (render_run.hpp runs the real ones).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/resolve_sim.hpp"

namespace vestrel::render {

// The render presets, in the order GetRenderPresetList answers them.
std::vector<std::string> preset_names();

// Takes a known preset: its format (MP4), codec and frame size ("" for the timeline's). A
// name it does not know is remembered on the project until a preset is taken, so that a job
// queued next does not silently render with other settings (callers often ignore the
// answer). False for an unknown name.
bool load_preset(resolve_sim::Project& p, const std::string& name);

// Sets each render setting (key, value as text), replacing the value of a key set before
// and keeping the order keys were first set in.
void put_render_settings(resolve_sim::Project& p,
                         const std::vector<std::pair<std::string, std::string>>& values);

// From now on started jobs of every project of `pm` only count `polls` answers of "in
// progress" and write no file.
void set_simulated_render(resolve_sim::ProjectManager& pm, int polls);

// A job's status as GetRenderJobStatus answers it.
struct JobStatus {
    resolve_sim::RenderJob::Status state;
    const char* status;  // the state's name: "Ready", "Rendering", "Complete", ...
    int percent;         // 0-100
    std::string error;   // why a failed job failed
};
JobStatus job_status(const resolve_sim::RenderJob& j);

// Removes every job that is not rendering; a simulated render still counting ends.
void delete_idle_jobs(resolve_sim::Project& p);

}  // namespace vestrel::render
