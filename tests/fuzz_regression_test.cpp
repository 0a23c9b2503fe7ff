// Replays every input the fuzzer kept (tests/fuzz/regressions) through the same
// entry function it runs, so a fixed crash, hang or leak stays fixed in the normal
// suite (and under the sanitizers when it is built with TOVRA_SANITIZE).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/archive_input.h"
#include "test_support.h"

namespace {

std::vector<std::string> RegressionInputs() {
    std::vector<std::string> paths;
    for (const auto& item : std::filesystem::directory_iterator(TOVRA_FUZZ_REGRESSIONS)) {
        if (item.is_regular_file() && item.path().filename().string()[0] != '.') {
            paths.push_back(item.path().string());
        }
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

}  // namespace

TEST(FuzzRegression, EveryKeptInputRunsCleanly) {
    std::vector<std::string> inputs = RegressionInputs();
    ASSERT_FALSE(inputs.empty()) << "no inputs in " << TOVRA_FUZZ_REGRESSIONS;
    for (const std::string& path : inputs) {
        std::string bytes = ReadFile(path);
        std::string problem =
            RunArchiveInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        EXPECT_EQ(problem, "") << path;
    }
}
