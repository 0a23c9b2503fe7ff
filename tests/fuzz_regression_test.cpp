// Replays every input the fuzzer kept (tests/fuzz/regressions) through the same
// entry function it runs, so a fixed crash, hang or leak stays fixed in the normal
// suite (and under the sanitizers when it is built with TOVRA_SANITIZE).
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz/archive_input.h"
#include "test_support.h"

TEST(FuzzRegression, EveryKeptInputRunsCleanly) {
    int inputs = 0;
    for (const auto& item : std::filesystem::directory_iterator(TOVRA_FUZZ_REGRESSIONS)) {
        const std::string bytes = ReadFile(item.path());
        EXPECT_EQ(RunArchiveInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), "")
            << item.path();
        ++inputs;
    }
    EXPECT_GT(inputs, 0) << "no inputs in " << TOVRA_FUZZ_REGRESSIONS;
}
