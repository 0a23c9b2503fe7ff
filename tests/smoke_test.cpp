#include <gtest/gtest.h>

#include "test_support.h"

TEST(Smoke, NoArgumentsShowsUsage) {
    ScratchDir dir;
    RunResult run = RunTovra({}, {dir.path()});
    EXPECT_EQ(run.out, std::string(BANNER) + USAGE);
    EXPECT_EQ(run.status, 0);
}
