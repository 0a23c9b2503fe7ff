// The built program on a terminal: progress figures in place, a key press or a
// termination signal stopping a run with everything cleaned up, and the terminal's
// settings given back as they were. Each run has a pseudo-terminal as its controlling
// terminal and standard input; the test plays the user at the other end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

constexpr int STATUS_ABORT = 249;  // -7
constexpr int READ_SLICE_MS = 20;
// One page: a run whose figures nobody reads stops after a few hundred of them, so a
// key or a signal sent after the first figure always arrives while it still runs.
constexpr int SMALL_PIPE_SIZE = 4096;
const char FIGURE_END[] = "%\b\b\b\b";
const char OLD_CONTENT[] = "a file that was here before";
using Clock = std::chrono::steady_clock;

// Appends what fd offers within a slice of time; false at its end.
bool ReadSome(int fd, std::string* into) {
    struct pollfd ready = {fd, POLLIN, 0};
    char buffer[4096];
    ssize_t n = poll(&ready, 1, READ_SLICE_MS) > 0 ? read(fd, buffer, sizeof buffer) : -1;
    into->append(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    return n != 0;
}

struct TerminalRun {
    int status = -1;
    std::string output;        // standard output and error
    tcflag_t modesDuring = 0;  // the terminal's local modes when the user acted
    bool restored = false;     // its settings afterwards equal those before
};

// Runs the built program with a new pseudo-terminal as its controlling terminal and
// standard input, and its output to a one-page pipe. typedAhead is typed before it
// starts; once its first figure is out, keys are typed and signal is sent, if any.
// A background run is a job of its own beside the terminal's foreground group.
TerminalRun RunOnTerminal(std::vector<const char*> args, const std::string& cwd,
                          const std::string& typedAhead = "", const std::string& keys = "",
                          int signal = 0, bool background = false) {
    TerminalRun run;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    int master = -1, slave = -1, out[2] = {-1, -1};
    termios before{}, now{};
    EXPECT_TRUE(openpty(&master, &slave, nullptr, nullptr, nullptr) == 0 && pipe(out) == 0);
    fcntl(out[0], F_SETPIPE_SZ, SMALL_PIPE_SIZE);
    tcgetattr(slave, &before);
    EXPECT_EQ(write(master, typedAhead.data(), typedAhead.size()), ssize_t(typedAhead.size()));
    // Its echo shows that the terminal, still in line mode, has taken the keys in.
    for (std::string echo; echo.size() < typedAhead.size() && Clock::now() < deadline;) {
        ReadSome(master, &echo);
    }
    pid_t pid = fork();
    if (pid == 0) {
        args.insert(args.begin(), "tovra");
        args.push_back(nullptr);
        if (login_tty(slave) == 0 && chdir(cwd.c_str()) == 0 && dup2(out[1], 1) == 1 &&
            dup2(out[1], 2) == 2) {
            pid_t job = background ? fork() : 0;
            if (job > 0) {
                // A job stopped for touching the terminal ends the run with 126.
                int status = 0;
                waitpid(job, &status, WUNTRACED);
                _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 126);
            }
            if (background) {
                setpgid(0, 0);
            }
            execv(TOVRA_BINARY, const_cast<char* const*>(args.data()));
        }
        _exit(127);
    }
    close(out[1]);
    if (!keys.empty() || signal != 0) {
        while (run.output.find(FIGURE_END) == std::string::npos && Clock::now() < deadline &&
               ReadSome(out[0], &run.output)) {
        }
        tcgetattr(slave, &now);
        run.modesDuring = now.c_lflag;
        EXPECT_EQ(write(master, keys.data(), keys.size()), ssize_t(keys.size()));
        EXPECT_TRUE(signal == 0 || kill(pid, signal) == 0);
    }
    while (ReadSome(out[0], &run.output) && Clock::now() < deadline) {
    }
    if (Clock::now() >= deadline) {
        ADD_FAILURE() << "the run did not end in time";
        kill(pid, SIGKILL);
    }
    waitpid(pid, &run.status, 0);
    tcgetattr(slave, &now);
    for (int fd : {master, slave, out[0]}) {
        close(fd);
    }
    run.status = WIFEXITED(run.status) ? WEXITSTATUS(run.status) : 1000 + WTERMSIG(run.status);
    run.restored = before.c_iflag == now.c_iflag && before.c_oflag == now.c_oflag &&
                   before.c_cflag == now.c_cflag && before.c_lflag == now.c_lflag &&
                   std::equal(before.c_cc, before.c_cc + NCCS, now.c_cc);
    return run;
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
    for (const std::vector<const char*>& args :
         {std::vector<const char*>{"0", "a.arc", "a"}, std::vector<const char*>{"1", "a.arc"}}) {
        SCOPED_TRACE(args[0]);
        TerminalRun run = RunOnTerminal(args, dir.path());
        ASSERT_EQ(run.status, 0) << run.output;
        EXPECT_TRUE(run.restored);
        // Only figures follow the banner, each over the one before; the last is 100 and stays.
        ASSERT_EQ(run.output.rfind(BANNER, 0), 0u) << run.output;
        std::string figures = run.output.substr(strlen(BANNER));
        EXPECT_EQ(LeadingFigures(figures) * 8, figures.size()) << run.output;
        EXPECT_EQ(figures.substr(std::max<size_t>(figures.size(), 8) - 8), "100%\b\b\b\b");
    }
}

TEST(Console, KeyOrSignalStopsTheRunAndLeavesNoTrace) {
    struct Stop {
        const char* what;
        std::vector<const char*> args;
        std::string typedAhead;
        std::string keys;
        int signal;
    };
    const Stop stops[] = {
        {"Ctrl-Z while packing", {"0", "big.arc", "big.bin"}, "", "\x1a", 0},
        {"Ctrl-C while unpacking", {"1", "big.arc"}, "", "\x03", 0},
        {"SIGINT while packing", {"0", "big.arc", "big.bin"}, "", "", SIGINT},
        {"SIGTERM while packing", {"0", "big.arc", "big.bin"}, "", "", SIGTERM},
        {"SIGINT while unpacking", {"1", "big.arc"}, "", "", SIGINT},
        {"SIGTERM while unpacking", {"1", "big.arc"}, "", "", SIGTERM},
        {"key typed before packing", {"0", "big.arc", "big.bin"}, "x", "", 0},
    };
    static const std::string big = SampleBytes(size_t{64} << 20, 99, false);
    // Its stream is stored rather than squeezed: quick to build, as long to read.
    static const std::string bigArchive = Record("big.bin", static_cast<int32_t>(big.size()), 1) +
                                          Terminator() + ZlibStream(big, Z_NO_COMPRESSION);
    for (const Stop& s : stops) {
        SCOPED_TRACE(s.what);
        ScratchDir dir;
        const bool unpacking = s.args.size() == 2;
        // What the run would write is there already and must stay as it was.
        WriteFile(dir / "big.bin", unpacking ? OLD_CONTENT : big);
        WriteFile(dir / "big.arc", unpacking ? bigArchive : OLD_CONTENT);
        TerminalRun run = RunOnTerminal(s.args, dir.path(), s.typedAhead, s.keys, s.signal);
        EXPECT_EQ(run.status, STATUS_ABORT) << run.output;
        std::string message = unpacking ? "\nError -7 in unzipping" : "\nError -7 in tovraping";
        EXPECT_NE(run.output.find(message + " big.arc"), std::string::npos) << run.output;
        // Single keys, not echoed; Ctrl-C and Ctrl-Z are keys too.
        EXPECT_EQ(run.modesDuring & (ICANON | ECHO | ISIG), 0u);
        EXPECT_TRUE(run.restored);
        EXPECT_EQ(dir.List(), (std::vector<std::string>{"big.arc", "big.bin"}));
        EXPECT_EQ(ReadFile(dir / (unpacking ? "big.bin" : "big.arc")), OLD_CONTENT);
        // A key typed ahead is seen at the first figure, then the closing one is shown.
        std::string after = run.output.substr(std::min(run.output.size(), strlen(BANNER)));
        EXPECT_TRUE(s.typedAhead.empty() || (LeadingFigures(after) == 2 && after[16] == '\n'));
    }
}

TEST(Console, BackgroundJobLeavesTheTerminalAlone) {
    ScratchDir dir;
    WriteFile(dir / "a", SampleBytes(81920, 1, false));
    // A line waits on the terminal; a background job must neither read nor reset it.
    TerminalRun run = RunOnTerminal({"0", "a.arc", "a"}, dir.path(), "q\n", "", 0, true);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(run.restored);
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
