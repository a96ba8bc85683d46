#include <gtest/gtest.h>

#include <stdexcept>

#include "core/progress.hpp"

using namespace vestrel::progress;

namespace {

// A clock the test moves by hand.
struct FakeClock {
    double t = 100.0;
    std::function<double()> fn() {
        return [this] { return t; };
    }
};

State state_of(const Snapshot& s, std::string_view name) {
    return s.stages[stage_index(name)].state;
}

}  // namespace

TEST(Progress, StagesAreInPipelineOrder) {
    EXPECT_EQ(stage_index("media"), 0);
    EXPECT_EQ(stage_index("assembly"), 7);
    EXPECT_EQ(stage_index("render"), 8);
    EXPECT_EQ(stage_index("Media"), -1);
    EXPECT_EQ(state_name(State::Skipped), "skipped");
}

TEST(Progress, SecondsRunWhileRunningAndFreezeWhenDone) {
    FakeClock clock;
    Reporter r(clock.fn());
    r.begin_run();
    EXPECT_TRUE(r.start("voice"));
    clock.t += 1.5;
    Snapshot mid = r.snapshot();
    EXPECT_EQ(mid.running_stage, stage_index("voice"));
    EXPECT_DOUBLE_EQ(*mid.stages[1].seconds, 1.5);
    clock.t += 0.5;
    r.finish("voice");
    clock.t += 10.0;
    Snapshot done = r.snapshot();
    EXPECT_EQ(state_of(done, "voice"), State::Done);
    EXPECT_DOUBLE_EQ(*done.stages[1].seconds, 2.0);
    EXPECT_EQ(done.running_stage, -1);
    EXPECT_FALSE(done.stages[0].seconds.has_value());  // still pending
    r.skip("silence");
    EXPECT_EQ(state_of(r.snapshot(), "silence"), State::Skipped);
    EXPECT_FALSE(r.snapshot().stages[3].seconds.has_value());
}

TEST(Progress, FailureNamesStageAndEndsRun) {
    FakeClock clock;
    Reporter r(clock.fn());
    r.begin_run();
    r.start("transcription");
    clock.t += 3.0;
    r.fail("transcription", "no model");
    Snapshot s = r.snapshot();
    EXPECT_EQ(state_of(s, "transcription"), State::Failed);
    EXPECT_EQ(s.failed_stage, stage_index("transcription"));
    EXPECT_EQ(*s.error, "no model");
    EXPECT_DOUBLE_EQ(*s.stages[4].seconds, 3.0);
    EXPECT_FALSE(s.active);
    EXPECT_FALSE(r.request_cancel());  // nothing runs any more
}

TEST(Progress, CancelStopsAtNextBoundaryOnly) {
    Reporter r;
    EXPECT_FALSE(r.request_cancel());  // no run
    EXPECT_FALSE(r.cancel_requested());
    r.begin_run();
    EXPECT_TRUE(r.start("voice"));
    EXPECT_TRUE(r.request_cancel());
    // The running stage goes on to its end; the next one does not begin.
    r.finish("voice");
    EXPECT_EQ(state_of(r.snapshot(), "voice"), State::Done);
    EXPECT_FALSE(r.start("project"));
    Snapshot s = r.snapshot();
    EXPECT_EQ(state_of(s, "project"), State::Failed);
    EXPECT_EQ(*s.error, "Cancelled");
    EXPECT_EQ(s.failed_stage, stage_index("project"));
    EXPECT_FALSE(s.cancel_requested);
    // A new run starts clean.
    r.begin_run();
    EXPECT_TRUE(r.start("media"));
}

TEST(Progress, CancelLapsesWithTheRunButReachesARunningRender) {
    Reporter r;
    r.begin_run();
    r.start("assembly");
    EXPECT_TRUE(r.request_cancel());
    r.finish("assembly");
    r.end_run();
    EXPECT_FALSE(r.cancel_requested());
    EXPECT_TRUE(r.start("render"));  // a render after the run is its own piece of work
    EXPECT_TRUE(r.request_cancel());
    EXPECT_TRUE(r.cancel_requested());
}

TEST(Progress, RollbackRestoresTheStateBeforeTheRun) {
    Reporter r;
    r.begin_run();
    r.start("media");
    r.fail("media", "first");
    r.begin_run();
    r.start("media");
    r.rollback_run();
    Snapshot s = r.snapshot();
    EXPECT_EQ(*s.error, "first");
    EXPECT_EQ(state_of(s, "media"), State::Failed);
    EXPECT_FALSE(s.active);
}

TEST(Progress, UnknownStageIsRefused) {
    Reporter r;
    EXPECT_THROW(r.start("upload"), std::invalid_argument);
    EXPECT_THROW(r.fail("", "x"), std::invalid_argument);
}

TEST(Progress, AStageStartedAgainClearsItsOwnEarlierFailure) {
    Reporter r;
    r.start("render");
    r.fail("render", "Cancelled");
    r.start("render");  // a new render after the cancelled one
    Snapshot s = r.snapshot();
    EXPECT_EQ(s.failed_stage, -1);
    EXPECT_FALSE(s.error.has_value());
    r.finish("render");
    EXPECT_EQ(state_of(r.snapshot(), "render"), State::Done);
    // Another stage's failure stays when a different stage starts.
    r.begin_run();
    r.start("voice");
    r.fail("voice", "no engine");
    r.start("render");
    EXPECT_EQ(r.snapshot().failed_stage, stage_index("voice"));
    EXPECT_EQ(r.snapshot().error.value_or(""), "no engine");
}
