#include <gtest/gtest.h>

#include "core/commands.hpp"

using vestrel::commands::remove_commands;

TEST(Commands, RemovesEveryBracketedCommand) {
    EXPECT_EQ(remove_commands("eins <split> zwei"), "eins  zwei");
    EXPECT_EQ(remove_commands("<counter>a<b>c<>d"), "acd");
    EXPECT_EQ(remove_commands(" <counter> Erstens <pause>"), "  Erstens ");
}

TEST(Commands, KeepsWhatIsNoCommand) {
    EXPECT_EQ(remove_commands(""), "");
    EXPECT_EQ(remove_commands("no commands here"), "no commands here");
    EXPECT_EQ(remove_commands("a < b"), "a < b");
    EXPECT_EQ(remove_commands("a <x> b < c"), "a  b < c");
    EXPECT_EQ(remove_commands("<x>>y"), ">y");
    EXPECT_EQ(remove_commands("a > b"), "a > b");
    // A command may hold a '<': the match runs from the first '<' to the next '>'.
    EXPECT_EQ(remove_commands("x<<y>z"), "xz");
}

TEST(Commands, LeavesMultiByteTextIntact) {
    EXPECT_EQ(remove_commands("Grüße <split>→ 😀<ä>"), "Grüße → 😀");
}
