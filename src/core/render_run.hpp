// Running renders: ffmpeg as a child process (its -progress output read for the percentage),
// the render of one queued job (plan, checks, run, rename) and the simulator's render queue
// behind StartRendering / StopRendering. Nothing here touches Python: a started queue renders
// in a background thread. Files are written under a temporary name in the target folder and
// renamed when complete, so a failed or stopped render leaves no file under the final name.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/render.hpp"
#include "core/resolve_sim.hpp"

namespace vestrel::render {

// How a child process ended.
struct ChildResult {
    bool started = false;
    int status = 0;      // waitpid status
    std::string errors;  // the end of its standard error, or why it could not start
};

// Runs ffmpeg with `args` in `folder` ("": the current folder), with FONTCONFIG_FILE set when
// `fonts_conf` is given. `on_start` receives its process id once it runs; each line of its
// standard output goes to `on_line`. Returns when the child has ended.
ChildResult run_ffmpeg(const std::vector<std::string>& args, const std::string& folder,
                       const std::string& fonts_conf,
                       const std::function<void(long pid)>& on_start = {},
                       const std::function<void(const std::string& line)>& on_line = {});

// The last non-empty line of a text (a child's error output).
std::string last_line(const std::string& text);

// Why a finished ffmpeg failed: "Could not start ffmpeg: ...", "ffmpeg was killed by signal
// N", "ffmpeg failed (exit status N): <its last error line>"; "" when it succeeded.
std::string failure_of(const ChildResult& r);

// A private folder under $TMPDIR (or /tmp) for the scripts of one run, removed with all it
// holds when the holder goes. `path` is empty when it could not be made.
class WorkFolder {
  public:
    WorkFolder();
    ~WorkFolder();
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;
    const std::string& path() const { return path_; }
    // Writes `text` to the file `name` in the folder; false when it could not.
    bool write(const std::string& name, const std::string& text) const;

  private:
    std::string path_;
};

// "Title font not installed: <family> <style>, ..."
std::string missing_fonts_text(const std::vector<std::pair<std::string, std::string>>& absent);

// Gives every title the line height per em of its font, so that its size is the em.
void size_titles(Snapshot& s, const std::string& fonts_conf);

// One queued job, frozen when the queue started it.
struct Task {
    std::shared_ptr<resolve_sim::RenderRun> run;
    std::string job_id;
    std::string refused;  // why the job cannot render at all, found while starting
    Snapshot snapshot;
    Output output;
    std::string target_dir;  // absolute
    std::string name;        // the final file's name
};

// The task of job `j` of `p`: its timeline frozen and every file name made absolute (relative
// names mean what they mean now however long the job waits; ffmpeg runs in a folder of its
// own).
Task task_of(const resolve_sim::Project& p, const resolve_sim::RenderJob& j);

// Renders one task into "<target_dir>/<name>" through ".<name>.<job_id>.part" beside it. The
// run ends Complete (percent 100), Failed with a message, or Cancelled when it was asked to
// stop. While the encoder runs, its id is in `run.pid`, and the process's exit kills it and
// removes its temporary file.
void render_one(Task& t, const std::string& fonts_conf);

// Starts the ready jobs named in `ids` (every ready job when empty), one after the other in
// a background thread. False when a render is running already or no job starts.
bool start_renders(resolve_sim::Project& p, const std::vector<std::string>& ids,
                   const std::string& fonts_conf);

// Asks every running job of `p` to stop and kills its encoder; returns their runs.
std::vector<std::shared_ptr<resolve_sim::RenderRun>> cancel_renders(resolve_sim::Project& p);

// Waits (ten seconds at most) until none of `runs` is rendering any more.
void wait_ended(const std::vector<std::shared_ptr<resolve_sim::RenderRun>>& runs);

// One item of `timeline` as the render draws it, alone on a copy of the timeline from its
// first frame; nullopt when it draws nothing.
std::optional<VideoLayer> layer_of_item(const resolve_sim::Timeline& timeline,
                                        const resolve_sim::TimelineItem& item);

// The title item `item` of `timeline` as the render draws it. Throws Error: Value when the
// item is no title with text, Runtime when its font style is unknown.
VideoLayer title_layer(const resolve_sim::Timeline& timeline,
                       const resolve_sim::TimelineItem& item);

// Draws a title alone on a transparent `width` x `height` frame into a PNG file. Throws Error
// (Runtime) when it cannot: its font not installed, ffmpeg failing.
void draw_title_png(VideoLayer title, int width, int height, const std::string& png_path,
                    const std::string& fonts_conf);

}  // namespace vestrel::render
