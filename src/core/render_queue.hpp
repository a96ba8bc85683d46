// The simulator's render queue settings and answers that need no renderer: the presets it
// knows, render settings, how a job's status reads, and the simulated renders a test uses
// instead of real ones (render_run.hpp runs the real ones).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
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

// What a render setting's value was given as, for the checks of setting_text.
enum class ValueType { Int, Text, Bool, Other };

// A render setting's value as the queue keeps it (`text`: the value written out, "True" and
// "False" for a flag), or nullopt when Resolve would refuse it: "FormatWidth" and
// "FormatHeight" take an even integer from 2 to 16384, "VideoQuality" an integer or a text
// that names a quality, "ExportVideo" and "ExportAudio" a flag; other keys take anything.
std::optional<std::string> setting_text(std::string_view key, ValueType type,
                                        const std::string& text);

// The fields of a job as GetRenderJobList answers them, in this order.
using JobField = std::variant<std::string, int, bool>;
std::vector<std::pair<const char*, JobField>> job_fields(const resolve_sim::RenderJob& j);

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
