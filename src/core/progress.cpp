#include "core/progress.hpp"

#include <chrono>
#include <stdexcept>

namespace vestrel::progress {

std::string_view state_name(State s) {
    switch (s) {
        case State::Pending: return "pending";
        case State::Running: return "running";
        case State::Done: return "done";
        case State::Failed: return "failed";
        case State::Skipped: return "skipped";
    }
    return "pending";
}

int stage_index(std::string_view name) {
    for (size_t i = 0; i < kStages.size(); ++i)
        if (kStages[i] == name) return static_cast<int>(i);
    return -1;
}

Reporter::Reporter(std::function<double()> clock) : clock_(std::move(clock)) {
    if (!clock_) {
        clock_ = [] {
            using namespace std::chrono;
            return duration<double>(steady_clock::now().time_since_epoch()).count();
        };
    }
}

double Reporter::now() const { return clock_(); }

int Reporter::index_of(std::string_view name) const {
    const int i = stage_index(name);
    if (i < 0) throw std::invalid_argument("Unknown stage: " + std::string(name));
    return i;
}

void Reporter::begin_run() {
    std::lock_guard lock(mu_);
    previous_ = state_;
    state_ = Snapshot{};
    state_.active = true;
}

void Reporter::rollback_run() {
    std::lock_guard lock(mu_);
    state_ = previous_;
}

void Reporter::end_run() {
    std::lock_guard lock(mu_);
    state_.active = false;
    state_.cancel_requested = false;
}

bool Reporter::start(std::string_view name) {
    const int i = index_of(name);
    const double t = now();
    std::lock_guard lock(mu_);
    Stage& s = state_.stages[i];
    if (state_.cancel_requested) {
        s.state = State::Failed;
        s.seconds = 0.0;
        state_.error = std::string(kCancelled);
        state_.failed_stage = i;
        state_.running_stage = -1;
        state_.active = false;
        state_.cancel_requested = false;
        return false;
    }
    s.state = State::Running;
    s.started_at = t;
    s.seconds = 0.0;
    state_.running_stage = i;
    // The stage runs again (a new render after a failed one): its old failure is over.
    if (state_.failed_stage == i) {
        state_.failed_stage = -1;
        state_.error.reset();
    }
    return true;
}

void Reporter::finish(std::string_view name) {
    const int i = index_of(name);
    const double t = now();
    std::lock_guard lock(mu_);
    Stage& s = state_.stages[i];
    s.seconds = s.state == State::Running ? t - s.started_at : 0.0;
    s.state = State::Done;
    if (state_.running_stage == i) state_.running_stage = -1;
}

void Reporter::skip(std::string_view name) {
    const int i = index_of(name);
    std::lock_guard lock(mu_);
    Stage& s = state_.stages[i];
    s.state = State::Skipped;
    s.seconds.reset();
    if (state_.running_stage == i) state_.running_stage = -1;
}

void Reporter::fail(std::string_view name, std::string error) {
    const int i = index_of(name);
    const double t = now();
    std::lock_guard lock(mu_);
    Stage& s = state_.stages[i];
    s.seconds = s.state == State::Running ? t - s.started_at : 0.0;
    s.state = State::Failed;
    state_.error = std::move(error);
    state_.failed_stage = i;
    if (state_.running_stage == i) state_.running_stage = -1;
    state_.active = false;
    state_.cancel_requested = false;
}

bool Reporter::request_cancel() {
    std::lock_guard lock(mu_);
    if (!state_.active && state_.running_stage < 0) return false;
    state_.cancel_requested = true;
    return true;
}

bool Reporter::cancel_requested() const {
    std::lock_guard lock(mu_);
    return state_.cancel_requested;
}

Snapshot Reporter::snapshot() const {
    const double t = now();
    std::lock_guard lock(mu_);
    Snapshot s = state_;
    for (Stage& st : s.stages)
        if (st.state == State::Running) st.seconds = t - st.started_at;
    return s;
}

}  // namespace vestrel::progress
