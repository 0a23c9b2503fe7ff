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
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

constexpr int STATUS_ABORT = 249;  // -7
constexpr int RUN_TIMEOUT_SECONDS = 60;
constexpr int READ_SLICE_MS = 20;
constexpr size_t BIG_SIZE = size_t{64} << 20;
// One page: a run whose figures nobody reads stops after a few hundred of them, so a
// key or a signal sent after the first figure always arrives while it still runs.
constexpr int SMALL_PIPE_SIZE = 4096;
const char FIGURE_END[] = "%\b\b\b\b";
const char PREVIOUS_ARCHIVE[] = "an archive from an earlier run";
const char OLD_CONTENT[] = "a file that was here before";

using Clock = std::chrono::steady_clock;

// Where the run's standard output and error go: to the terminal as a user sees them,
// or to a small pipe whose fullness holds the run still until the test reads on.
enum class OutputTo { Terminal, Pipe };

// How a run starts.
struct Launch {
    OutputTo output = OutputTo::Terminal;
    std::string typedAhead;     // keys typed before the program starts
    bool inBackground = false;  // a job of its own, not in the terminal's foreground
};

Launch ThroughPipe() {
    Launch launch;
    launch.output = OutputTo::Pipe;
    return launch;
}

enum class ReadState { Data, Idle, Closed };

// Waits up to timeoutMs for bytes on fd and appends them to into.
ReadState ReadAvailable(int fd, std::string* into, int timeoutMs) {
    struct pollfd ready = {fd, POLLIN, 0};
    int polled = poll(&ready, 1, timeoutMs);
    if (polled <= 0) {
        return ReadState::Idle;
    }
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
        into->append(buffer, static_cast<size_t>(n));
        return ReadState::Data;
    }
    // A pseudo-terminal's master reads EIO once the last slave is closed.
    return (n == 0 || errno == EIO) ? ReadState::Closed : ReadState::Idle;
}

bool SameSettings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc);
}

// One run of the built program with a pseudo-terminal as its controlling terminal.
// The test keeps the slave side open too, to read the terminal's settings at any time.
class TerminalRun {
  public:
    TerminalRun(const std::vector<std::string>& args, const std::string& cwd,
                const Launch& launch = {})
        : m_deadline(Clock::now() + std::chrono::seconds(RUN_TIMEOUT_SECONDS)) {
        if (openpty(&m_master, &m_slave, nullptr, nullptr, nullptr) != 0) {
            ADD_FAILURE() << "openpty failed";
            return;
        }
        tcgetattr(m_slave, &m_before);
        if (!launch.typedAhead.empty()) {
            TypeAhead(launch.typedAhead);
        }
        int pipeEnds[2] = {-1, -1};
        if (launch.output == OutputTo::Pipe) {
            if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
                ADD_FAILURE() << "pipe failed";
                return;
            }
            fcntl(pipeEnds[0], F_SETPIPE_SZ, SMALL_PIPE_SIZE);
        }
        m_pid = fork();
        if (m_pid == 0) {
            RunChild(args, cwd, pipeEnds[1], launch.inBackground);
        }
        if (launch.output == OutputTo::Pipe) {
            close(pipeEnds[1]);
            m_outFd = pipeEnds[0];
        }
    }

    ~TerminalRun() {
        if (m_pid > 0 && !m_exited) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        for (int fd : {m_master, m_slave}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        if (m_outFd >= 0) {
            close(m_outFd);
        }
    }

    TerminalRun(const TerminalRun&) = delete;
    TerminalRun& operator=(const TerminalRun&) = delete;

    // Reads the run's output until text appears; false when the run ended or the
    // time ran out first.
    bool WaitForOutput(const std::string& text) {
        while (Output().find(text) == std::string::npos) {
            if (Clock::now() > m_deadline || ReadOutput() == ReadState::Closed) {
                return Output().find(text) != std::string::npos;
            }
        }
        return true;
    }

    void Type(const std::string& keys) {
        ASSERT_EQ(write(m_master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }

    void Signal(int signal) { ASSERT_EQ(kill(m_pid, signal), 0); }

    termios CurrentSettings() const {
        termios now{};
        tcgetattr(m_slave, &now);
        return now;
    }

    // Reads everything to the end of the run and returns its exit status, or 1000 +
    // signal when it was killed (also when it outlived its time).
    int Finish() {
        while (!Reaped()) {
            if (Clock::now() > m_deadline) {
                ADD_FAILURE() << "the run did not end in time";
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &m_status, 0);
                m_exited = true;
                break;
            }
            ReadOutput();
            if (m_outFd >= 0) {
                ReadAvailable(m_master, &m_screen, 0);
            }
        }
        tcgetattr(m_slave, &m_after);
        close(m_slave);
        m_slave = -1;
        DrainToEnd(m_master, &m_screen);
        if (m_outFd >= 0) {
            DrainToEnd(m_outFd, &m_piped);
        }
        return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : 1000 + WTERMSIG(m_status);
    }

    // Standard output and error of the run.
    const std::string& Output() const { return m_outFd >= 0 ? m_piped : m_screen; }
    // What the terminal showed: the output when it went there, and any echo.
    const std::string& Screen() const { return m_screen; }
    const termios& Before() const { return m_before; }
    const termios& After() const { return m_after; }

  private:
    // Types keys while the terminal is still in its ordinary line mode, and waits
    // until their echo shows that the terminal has taken them in.
    void TypeAhead(const std::string& keys) {
        Type(keys);
        while (m_screen.find(keys) == std::string::npos && Clock::now() < m_deadline) {
            ReadAvailable(m_master, &m_screen, READ_SLICE_MS);
        }
    }

    [[noreturn]] void RunChild(const std::vector<std::string>& args, const std::string& cwd,
                               int pipeWriteEnd, bool inBackground) {
        close(m_master);
        if (login_tty(m_slave) != 0 || chdir(cwd.c_str()) != 0) {
            _exit(127);
        }
        if (inBackground) {
            BecomeBackgroundJob();
        }
        if (pipeWriteEnd >= 0) {
            dup2(pipeWriteEnd, STDOUT_FILENO);
            dup2(pipeWriteEnd, STDERR_FILENO);
        }
        setenv("TZ", "UTC", 1);
        std::vector<char*> argv = {const_cast<char*>("tovra")};
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(TOVRA_BINARY, argv.data());
        _exit(127);
    }

    // The session leader forks the program into a process group of its own, as a
    // shell starts a job with "&", and passes its exit status on.
    static void BecomeBackgroundJob() {
        pid_t job = fork();
        if (job != 0) {
            int status = 0;
            if (job < 0 || waitpid(job, &status, 0) != job) {
                _exit(127);
            }
            _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        }
        setpgid(0, 0);
    }

    ReadState ReadOutput() {
        return m_outFd >= 0 ? ReadAvailable(m_outFd, &m_piped, READ_SLICE_MS)
                            : ReadAvailable(m_master, &m_screen, READ_SLICE_MS);
    }

    bool Reaped() {
        if (!m_exited && m_pid > 0 && waitpid(m_pid, &m_status, WNOHANG) == m_pid) {
            m_exited = true;
        }
        return m_exited || m_pid <= 0;
    }

    void DrainToEnd(int fd, std::string* into) {
        while (Clock::now() < m_deadline &&
               ReadAvailable(fd, into, READ_SLICE_MS) != ReadState::Closed) {
        }
    }

    Clock::time_point m_deadline;
    int m_master = -1;
    int m_slave = -1;
    int m_outFd = -1;
    pid_t m_pid = -1;
    bool m_exited = false;
    int m_status = 0;
    termios m_before{};
    termios m_after{};
    std::string m_screen;
    std::string m_piped;
};

// The progress figures at the start of text, each "%3d%%\b\b\b\b"; *rest receives
// whatever follows them.
std::vector<int> LeadingFigures(const std::string& text, std::string* rest) {
    std::vector<int> figures;
    const size_t width = 8;
    size_t pos = 0;
    while (pos + width <= text.size() && text.compare(pos + 3, 5, FIGURE_END) == 0) {
        std::string number = text.substr(pos, 3);
        size_t first = number.find_first_not_of(' ');
        if (first == std::string::npos ||
            number.find_first_not_of("0123456789", first) != std::string::npos) {
            break;
        }
        figures.push_back(std::stoi(number.substr(first)));
        pos += width;
    }
    *rest = text.substr(pos);
    return figures;
}

// The banner as the terminal shows it, with its line feed turned into CR LF.
std::string ShownBanner() {
    std::string banner = BANNER;
    return "\r\n" + banner.substr(1);
}

// Splits figures into runs, each starting where a figure is below the one before.
std::vector<std::vector<int>> RunsOf(const std::vector<int>& figures) {
    std::vector<std::vector<int>> runs;
    for (size_t i = 0; i < figures.size(); ++i) {
        if (i == 0 || figures[i] < figures[i - 1]) {
            runs.emplace_back();
        }
        runs.back().push_back(figures[i]);
    }
    return runs;
}

const std::string& BigContent() {
    static const std::string content = SampleBytes(BIG_SIZE, 99, false);
    return content;
}

// An archive of the big file, its stream stored rather than squeezed: quick to build
// here, and just as long to read back.
void WriteBigArchive(const std::string& path) {
    WriteFile(path, Record("big.bin", static_cast<int32_t>(BIG_SIZE), 1000000000) + Terminator() +
                        ZlibStream(BigContent(), Z_NO_COMPRESSION));
}

void ExpectTerminalRestored(const TerminalRun& run) {
    EXPECT_TRUE(SameSettings(run.Before(), run.After()))
        << "lflag " << std::hex << run.Before().c_lflag << " became " << run.After().c_lflag;
}

TEST(Console, FiguresAreShownInPlaceAndEachFileEndsAt100) {
    ScratchDir dir;
    // 4096 of 81920 bytes read is 5 percent: the first figure is "  5%".
    WriteFile(dir / "a", SampleBytes(81920, 1, false));
    WriteFile(dir / "b", SampleBytes(10000, 2));
    WriteFile(dir / "c", SampleBytes(200000, 3, false));

    TerminalRun run({"0", "out.arc", "[abc]"}, dir.path());
    ASSERT_EQ(run.Finish(), 0) << run.Screen();
    ExpectTerminalRestored(run);
    const std::string& screen = run.Screen();
    ASSERT_EQ(screen.compare(0, ShownBanner().size(), ShownBanner()), 0) << screen;
    std::string rest;
    std::vector<int> figures = LeadingFigures(screen.substr(ShownBanner().size()), &rest);
    EXPECT_EQ(rest, "") << "only figures follow the banner";
    ASSERT_FALSE(figures.empty());
    EXPECT_NE(screen.find("  5%\b\b\b\b"), std::string::npos);
    std::vector<std::vector<int>> runs = RunsOf(figures);
    ASSERT_EQ(runs.size(), 3u) << ::testing::PrintToString(figures);
    for (const std::vector<int>& file : runs) {
        EXPECT_LT(file.front(), 100);
        EXPECT_EQ(file.back(), 100);
    }
}

TEST(Console, UnpackingShowsFiguresAndGivesTheTerminalBack) {
    ScratchDir dir;
    // One entry: its stream is the whole compressed region, so its figures reach 100.
    WriteFile(dir / "one.arc", BuildArchive({{"one", SampleBytes(50000, 4, false)}}));

    TerminalRun run({"1", "one.arc"}, dir.path());
    ASSERT_EQ(run.Finish(), 0) << run.Screen();
    ExpectTerminalRestored(run);
    std::string rest;
    std::vector<int> figures = LeadingFigures(run.Screen().substr(ShownBanner().size()), &rest);
    EXPECT_EQ(rest, "");
    ASSERT_FALSE(figures.empty());
    EXPECT_EQ(RunsOf(figures).size(), 1u) << ::testing::PrintToString(figures);
    EXPECT_EQ(figures.back(), 100);
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"one", "one.arc"}));
}

TEST(Console, FailingRunGivesTheTerminalBack) {
    ScratchDir dir;
    std::string archive = BuildArchive({{"one", SampleBytes(50000, 4, false)}});
    // A block of the reserved type right after the stream's header.
    archive[2 * 88 + 2] = '\xff';
    WriteFile(dir / "bad.arc", archive);

    TerminalRun run({"1", "bad.arc"}, dir.path());
    EXPECT_EQ(run.Finish(), 253) << run.Screen();
    ExpectTerminalRestored(run);
    EXPECT_EQ(dir.List(), std::vector<std::string>{"bad.arc"});
}

TEST(Console, KeyPressStopsPackingAndLeavesNoTrace) {
    struct Case {
        bool archiveExisted;
        char key;
    };
    // Ctrl-Z too is only a key here: a run suspended in this mode would leave the
    // terminal unusable.
    for (const Case& c : {Case{true, 'q'}, Case{false, '\x1a'}}) {
        SCOPED_TRACE(c.archiveExisted ? "over an old archive" : "no archive before");
        ScratchDir dir;
        WriteFile(dir / "big.bin", BigContent());
        if (c.archiveExisted) {
            WriteFile(dir / "big.arc", PREVIOUS_ARCHIVE);
        }
        std::vector<std::string> before = dir.List();

        TerminalRun run({"0", "big.arc", "big.bin"}, dir.path(), ThroughPipe());
        ASSERT_TRUE(run.WaitForOutput(FIGURE_END)) << run.Output();
        termios during = run.CurrentSettings();
        EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u) << "single keys, not echoed";
        run.Type(std::string(1, c.key));
        EXPECT_EQ(run.Finish(), STATUS_ABORT) << run.Output();
        EXPECT_NE(run.Output().find("\nError -7 in tovraping big.arc"), std::string::npos)
            << run.Output();
        EXPECT_EQ(run.Screen(), "") << "the key was echoed";
        ExpectTerminalRestored(run);
        EXPECT_EQ(dir.List(), before);
        if (c.archiveExisted) {
            EXPECT_EQ(ReadFile(dir / "big.arc"), PREVIOUS_ARCHIVE);
        }
    }
}

TEST(Console, CtrlCTypedStopsUnpackingAndLeavesNoTrace) {
    ScratchDir dir;
    WriteBigArchive(dir / "big.arc");
    WriteFile(dir / "big.bin", OLD_CONTENT);

    TerminalRun run({"1", "big.arc"}, dir.path(), ThroughPipe());
    ASSERT_TRUE(run.WaitForOutput(FIGURE_END)) << run.Output();
    // With the terminal's signals off, Ctrl-C reaches the run as an ordinary key.
    run.Type("\x03");
    EXPECT_EQ(run.Finish(), STATUS_ABORT) << run.Output();
    EXPECT_NE(run.Output().find("\nError -7 in unzipping big.arc"), std::string::npos)
        << run.Output();
    ExpectTerminalRestored(run);
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"big.arc", "big.bin"}));
    EXPECT_EQ(ReadFile(dir / "big.bin"), OLD_CONTENT);
}

TEST(Console, KeyTypedBeforeTheRunStopsItAtTheFirstFigure) {
    ScratchDir dir;
    WriteFile(dir / "some.bin", SampleBytes(100000, 6, false));

    Launch launch;
    launch.typedAhead = "x";
    TerminalRun run({"0", "some.arc", "some.bin"}, dir.path(), launch);
    EXPECT_EQ(run.Finish(), STATUS_ABORT) << run.Screen();
    ExpectTerminalRestored(run);
    const std::string& screen = run.Screen();
    size_t banner = screen.find(ShownBanner());
    ASSERT_NE(banner, std::string::npos) << screen;
    std::string rest;
    std::vector<int> figures = LeadingFigures(screen.substr(banner + ShownBanner().size()), &rest);
    // The figure at which the key is seen, then the closing one.
    EXPECT_EQ(figures.size(), 2u) << ::testing::PrintToString(figures);
    const std::string message = "\r\nError -7 in tovraping some.arc";
    EXPECT_EQ(rest.substr(0, message.size()), message);
    EXPECT_EQ(dir.List(), std::vector<std::string>{"some.bin"});
}

TEST(Console, BackgroundJobLeavesTheTerminalAlone) {
    ScratchDir dir;
    // Long enough that the run is still going, held by the pipe, when the test looks.
    WriteFile(dir / "zeros", std::string(BIG_SIZE, '\0'));

    Launch launch = ThroughPipe();
    launch.inBackground = true;
    TerminalRun run({"0", "out.arc", "zeros"}, dir.path(), launch);
    ASSERT_TRUE(run.WaitForOutput(FIGURE_END)) << run.Output();
    EXPECT_TRUE(SameSettings(run.CurrentSettings(), run.Before()));
    // A whole line waits on the terminal: a job that read it would be stopped.
    run.Type("q\n");
    EXPECT_EQ(run.Finish(), 0) << run.Output();
    ExpectTerminalRestored(run);
    EXPECT_TRUE(Exists(dir / "out.arc"));
}

struct SignalCase {
    int signal;
    bool unpacking;
};

void PrintTo(const SignalCase& c, std::ostream* os) {
    *os << sigabbrev_np(c.signal) << (c.unpacking ? " while unpacking" : " while packing");
}

class ConsoleSignalTest : public ::testing::TestWithParam<SignalCase> {};

TEST_P(ConsoleSignalTest, StopsTheRunLikeAKey) {
    const SignalCase& c = GetParam();
    ScratchDir dir;
    std::vector<std::string> args;
    if (c.unpacking) {
        WriteBigArchive(dir / "big.arc");
        args = {"1", "big.arc"};
    } else {
        WriteFile(dir / "big.bin", BigContent());
        args = {"0", "big.arc", "big.bin"};
    }
    std::vector<std::string> before = dir.List();

    TerminalRun run(args, dir.path(), ThroughPipe());
    ASSERT_TRUE(run.WaitForOutput(FIGURE_END)) << run.Output();
    run.Signal(c.signal);
    EXPECT_EQ(run.Finish(), STATUS_ABORT) << run.Output();
    std::string message =
        c.unpacking ? "\nError -7 in unzipping big.arc" : "\nError -7 in tovraping big.arc";
    EXPECT_NE(run.Output().find(message), std::string::npos) << run.Output();
    ExpectTerminalRestored(run);
    EXPECT_EQ(dir.List(), before);
}

INSTANTIATE_TEST_SUITE_P(Console, ConsoleSignalTest,
                         ::testing::Values(SignalCase{SIGINT, false}, SignalCase{SIGTERM, false},
                                           SignalCase{SIGHUP, false}, SignalCase{SIGINT, true},
                                           SignalCase{SIGTERM, true}),
                         [](const ::testing::TestParamInfo<SignalCase>& info) {
                             return std::string(sigabbrev_np(info.param.signal)) +
                                    (info.param.unpacking ? "WhileUnpacking" : "WhilePacking");
                         });

TEST(Console, InputThatIsNotATerminalNeverStopsARun) {
    ScratchDir dir;
    WriteFile(dir / "keys", std::string("q\x03 \n", 4) + SampleBytes(5000, 7));
    WriteFile(dir / "a.txt", SampleBytes(30000, 8));
    WriteFile(dir / "b.txt", SampleBytes(20000, 9, false));
    const int32_t time = 1000000000;
    SetMtime(dir / "a.txt", time);
    SetMtime(dir / "b.txt", time);
    std::string expected = BuildArchive(
        {{"a.txt", ReadFile(dir / "a.txt"), time}, {"b.txt", ReadFile(dir / "b.txt"), time}});

    for (const std::string& input : {std::string("/dev/null"), dir / "keys"}) {
        SCOPED_TRACE(input);
        RunOptions options;
        options.cwd = dir.path();
        options.stdinPath = input;
        RunResult pack = RunTovra({"0", "out.arc", "*.txt"}, options);
        ASSERT_EQ(pack.status, 0) << pack.out << pack.err;
        EXPECT_TRUE(ReadFile(dir / "out.arc") == expected);

        ScratchDir target;
        options.cwd = target.path();
        RunResult unpack = RunTovra({"1", dir / "out.arc"}, options);
        ASSERT_EQ(unpack.status, 0) << unpack.out << unpack.err;
        EXPECT_EQ(ReadFile(target / "a.txt"), ReadFile(dir / "a.txt"));
        EXPECT_EQ(ReadFile(target / "b.txt"), ReadFile(dir / "b.txt"));
        ASSERT_EQ(unlink((dir / "out.arc").c_str()), 0);
    }
}

}  // namespace
