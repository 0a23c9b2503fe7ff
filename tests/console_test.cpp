// The built program on a terminal: progress figures in place, a key press or a
// termination signal stopping a run with everything cleaned up, and the terminal's
// settings given back as they were. Each run has a pseudo-terminal as its controlling
// terminal and standard input; the test plays the user at the other end.
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

constexpr int STATUS_ABORT = 249;  // -7
const char FIGURE_END[] = "%\b\b\b\b";
const char OLD_CONTENT[] = "a file that was here before";

RunOptions OnTerminal(const std::string& cwd) {
    RunOptions options{cwd};
    options.terminal = true;
    return options;
}

// How many progress figures ("%3d%\b\b\b\b") text starts with.
size_t LeadingFigures(const std::string& text) {
    size_t count = 0;
    while (8 * count + 8 <= text.size() && isdigit(text[8 * count + 2]) &&
           text.compare(8 * count + 3, 5, FIGURE_END) == 0) {
        ++count;
    }
    return count;
}

TEST(Console, FiguresShowInPlaceAndTheLastIs100) {
    ScratchDir dir;
    WriteFile(dir / "a", SampleBytes(81920, 1, false));
    WriteFile(dir / "b", SampleBytes(300000, 2, false));
    WriteFile(dir / "c", "");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"0", "a.tvr", "?"}, std::vector<std::string>{"1", "a.tvr"}}) {
        SCOPED_TRACE(args[0]);
        RunResult run = RunTovra(args, OnTerminal(dir.path()));
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_TRUE(run.terminalRestored);
        // Only figures follow the banner, each over the one before; the last is 100 and stays.
        ASSERT_EQ(run.out.rfind(BANNER, 0), 0u) << run.out;
        std::string figures = run.out.substr(strlen(BANNER));
        EXPECT_EQ(LeadingFigures(figures) * 8, figures.size()) << run.out;
        EXPECT_EQ(figures.substr(std::max<size_t>(figures.size(), 8) - 8), "100%\b\b\b\b");
    }
}

TEST(Console, KeyOrSignalStopsTheRunAndLeavesNoTrace) {
    struct Stop {
        const char* what;
        std::vector<std::string> args;
        std::string typedAhead;
        std::string keys;
        int signal;
        const char* reason;
    };
    const Stop stops[] = {
        {"Ctrl-Z while packing", {"0", "big.arc", "big.bin"}, "", "\x1a", 0, "a key press"},
        {"Ctrl-C while unpacking", {"1", "big.arc"}, "", "\x03", 0, "a key press"},
        {"SIGINT while packing", {"0", "big.arc", "big.bin"}, "", "", SIGINT, "signal SIGINT"},
        {"SIGTERM while packing", {"0", "big.arc", "big.bin"}, "", "", SIGTERM, "signal SIGTERM"},
        {"SIGINT while unpacking", {"1", "big.arc"}, "", "", SIGINT, "signal SIGINT"},
        {"SIGTERM while unpacking", {"1", "big.arc"}, "", "", SIGTERM, "signal SIGTERM"},
        {"key typed before packing", {"0", "big.arc", "big.bin"}, "x", "", 0, "a key press"},
    };
    static const std::string big = SampleBytes(size_t{8} << 20, 99, false);
    // Its stream is stored rather than squeezed: quick to build, as long to read.
    static const std::string bigArchive = Record("big.bin", static_cast<int32_t>(big.size()), 1) +
                                          Terminator() + ZlibStream(big, Z_NO_COMPRESSION);
    static const std::string oldArchive = BuildArchive({{"old", OLD_CONTENT}});
    for (const Stop& s : stops) {
        SCOPED_TRACE(s.what);
        ScratchDir dir;
        const bool unpacking = s.args.size() == 2;
        // What the run would write is there already and must stay as it was.
        WriteFile(dir / "big.bin", unpacking ? OLD_CONTENT : big);
        WriteFile(dir / "big.arc", unpacking ? bigArchive : oldArchive);
        RunOptions options = OnTerminal(dir.path());
        options.typedAhead = s.typedAhead;
        if (s.typedAhead.empty()) {
            options.holdAtFigure = 2;
            options.whileHeld = [&s](const HeldRun& held) {
                EXPECT_EQ(write(held.terminal, s.keys.data(), s.keys.size()),
                          ssize_t(s.keys.size()));
                EXPECT_TRUE(s.signal == 0 || kill(held.pid, s.signal) == 0);
            };
        }
        RunResult run = RunTovra(s.args, options);
        EXPECT_EQ(run.status, STATUS_ABORT) << run.out << run.err;
        std::string message = unpacking ? "\nError -7 in unzipping" : "\nError -7 in tovraping";
        EXPECT_NE(run.out.find(message + " big.arc"), std::string::npos) << run.out;
        EXPECT_NE(run.err.find("tovra: big.arc: stopped by " + std::string(s.reason)),
                  std::string::npos)
            << run.err;
        // Single keys, not echoed; Ctrl-C and Ctrl-Z are keys too.
        EXPECT_TRUE(!s.typedAhead.empty() || (run.modesDuring & (ICANON | ECHO | ISIG)) == 0);
        EXPECT_TRUE(run.terminalRestored);
        EXPECT_EQ(dir.List(), (std::vector<std::string>{"big.arc", "big.bin"}));
        EXPECT_EQ(ReadFile(dir / (unpacking ? "big.bin" : "big.arc")),
                  unpacking ? OLD_CONTENT : oldArchive);
        // A key typed ahead is seen at the first figure, then the closing one is shown.
        std::string after = run.out.substr(std::min(run.out.size(), strlen(BANNER)));
        EXPECT_TRUE(s.typedAhead.empty() || (LeadingFigures(after) == 2 && after[16] == '\n'));
    }
}

TEST(Console, BackgroundJobLeavesTheTerminalAlone) {
    ScratchDir dir;
    WriteFile(dir / "a", SampleBytes(81920, 1, false));
    // A line waits on the terminal; a background job must neither read nor reset it.
    RunOptions options = OnTerminal(dir.path());
    options.typedAhead = "q\n";
    options.background = true;
    RunResult run = RunTovra({"0", "a.arc", "a"}, options);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(run.terminalRestored);
}

TEST(Console, InputThatIsNotATerminalNeverStopsARun) {
    ScratchDir dir;
    WriteFile(dir / "keys", std::string("q\x03 \n", 4) + SampleBytes(5000, 7));
    WriteFile(dir / "a.txt", SampleBytes(30000, 8));
    for (const std::string& input : {std::string("/dev/null"), dir / "keys"}) {
        RunResult pack = RunTovra({"0", "a.arc", "a.txt"}, {dir.path(), input});
        EXPECT_EQ(pack.status, 0) << input << pack.out << pack.err;
        RunResult unpack = RunTovra({"1", "a.arc"}, {dir.path(), input});
        EXPECT_EQ(unpack.status, 0) << input << unpack.out << unpack.err;
    }
}

}  // namespace
