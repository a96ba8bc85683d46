// Stage reporter of one generation and its render: which stage runs, which are done, failed
// or skipped, how long each took, and a cancel request that the pipeline honours at the next
// stage boundary.
//
// One reporter serves the whole process (the generation route, the pipeline, the render and
// the command line read and write the same one); every member function is thread-safe.
#pragma once

#include <array>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace vestrel::progress {

// The stages in the order a generation passes them.
inline constexpr std::array<std::string_view, 9> kStages = {
    "media",     "voice",    "project",  "silence", "transcription",
    "alignment", "captions", "assembly", "render"};

enum class State { Pending, Running, Done, Failed, Skipped };

std::string_view state_name(State s);

// Index of a stage name in kStages, or -1.
int stage_index(std::string_view name);

// The text a cancelled stage fails with.
inline constexpr std::string_view kCancelled = "Cancelled";

struct Stage {
    State state = State::Pending;
    std::optional<double> seconds;  // none while pending or skipped; elapsed while running
    double started_at = 0.0;        // clock reading when it began to run
};

struct Snapshot {
    std::array<Stage, kStages.size()> stages{};
    std::optional<std::string> error;  // text of the failure, if a stage failed
    int failed_stage = -1;             // index, or -1
    int running_stage = -1;            // index of the stage that runs now, or -1
    bool active = false;               // a run has begun and not ended
    bool cancel_requested = false;
};

class Reporter {
  public:
    // `clock` answers seconds on a monotonic scale (a steady clock by default).
    explicit Reporter(std::function<double()> clock = {});

    // A new run: every stage pending, no error, no cancel request. The state before it is
    // kept, so that a run refused right after it began can be taken back.
    void begin_run();
    // Puts back the state from before the last begin_run.
    void rollback_run();
    // The run has ended (successfully); the cancel request, if any, lapses.
    void end_run();

    // The stage begins. If a cancel was requested, the stage is marked failed with the text
    // "Cancelled" instead, the run ends, and false is returned. Throws std::invalid_argument
    // for a name that is no stage.
    bool start(std::string_view name);
    void finish(std::string_view name);
    void skip(std::string_view name);
    // The stage failed with `error`; the run ends.
    void fail(std::string_view name, std::string error);

    // Asks the run to stop at its next stage boundary. False (and nothing recorded) when no
    // run is active and no stage runs.
    bool request_cancel();
    bool cancel_requested() const;

    Snapshot snapshot() const;

  private:
    int index_of(std::string_view name) const;
    double now() const;

    std::function<double()> clock_;
    mutable std::mutex mu_;
    Snapshot state_;
    Snapshot previous_;
};

}  // namespace vestrel::progress
