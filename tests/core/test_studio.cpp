#include <gtest/gtest.h>

#include "core/studio.hpp"

using namespace vestrel::studio;

TEST(Studio, DefaultOutputNameIsAPlainFileName) {
    EXPECT_EQ(default_output_name("tolvane_2026"), "tolvane_2026.mp4");
    EXPECT_EQ(default_output_name("a/b\\c:d"), "a_b_c_d.mp4");
    EXPECT_EQ(default_output_name(""), "render.mp4");
    EXPECT_EQ(default_output_name(".versteckt"), "render.versteckt.mp4");
    EXPECT_EQ(default_output_name("Grüße"), "Grüße.mp4");
    EXPECT_FALSE(refuse_output_name(default_output_name("x/../../etc")).has_value());
}

TEST(Studio, OutputNameRules) {
    EXPECT_FALSE(refuse_output_name("short.mp4"));
    EXPECT_FALSE(refuse_output_name("bg_1234567.mp4"));  // seven digits: no asset stem
    EXPECT_FALSE(refuse_output_name("bg_1234567g.mp4"));
    EXPECT_TRUE(refuse_output_name("bg_1234abcd.mp4"));
    EXPECT_TRUE(refuse_output_name("Music_ABCDEF01 final.mp4"));
    EXPECT_TRUE(refuse_output_name("voice_00000000.mp4"));
    EXPECT_TRUE(refuse_output_name(std::string(252, 'a') + ".mp4"));  // 256 bytes
    EXPECT_FALSE(refuse_output_name(std::string(251, 'a') + ".mp4"));
    EXPECT_TRUE(refuse_output_name(std::string("a\0b.mp4", 7)));
}

TEST(Studio, JobStatusAsAClientSeesIt) {
    JobView v = read_job("Rendering", 42.7, "", false);
    EXPECT_EQ(v.status, "rendering");
    EXPECT_EQ(v.percent, 42);
    EXPECT_FALSE(v.error);
    EXPECT_EQ(read_job("Ready", -3, "", false).percent, 0);
    v = read_job("Complete", 99, "", true);
    EXPECT_EQ(v.status, "done");
    EXPECT_EQ(v.percent, 100);
    v = read_job("Complete", 100, "", false);
    EXPECT_EQ(v.status, "error");
    EXPECT_EQ(*v.error, "The render ended without writing its output file");
    v = read_job("Failed", 30, "Font 'X' is not installed", false);
    EXPECT_EQ(v.status, "error");
    EXPECT_EQ(*v.error, "Font 'X' is not installed");
    EXPECT_EQ(*read_job("Failed", 30, "", false).error, "Render failed");
    EXPECT_EQ(read_job("Cancelled", 55, "", false).status, "cancelled");
    EXPECT_EQ(read_job("Cancelled", 1e300, "", false).percent, 100);
}
