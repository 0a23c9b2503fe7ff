// Faults of the machine and of the archive, through the built binary: a full disk,
// a process stopped or killed mid-run, damaged archives. The files that were there
// stay as they were, no temporary file is left (a SIGKILL may leave one
// ".tovra-pack-" file) and nothing is written outside the current directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "archive/archive_entry.h"
#include "platform/result.h"
#include "test_support.h"

namespace {

constexpr int64_t DISK_LIMIT = 100000;
// Past the directory of one small file, inside its stream: only the last flush fails.
constexpr int64_t LAST_FLUSH_LIMIT = 200;
constexpr size_t NOISE_SIZE = 8 << 20;
constexpr int FIGURES_BEFORE_SIGNAL = 3;
// The smallest pipe Linux makes: the run cannot get more than 4096 bytes of figures
// ahead of the test, so it is still running when the signal arrives.
constexpr int SMALL_PIPE = 4096;
// The longest a run may stay silent before it counts as hung.
constexpr int QUIET_MS = 60000;
const char PACK_PREFIX[] = ".tovra-pack-";
// In place of the results of a damaged archive that need only end clearly.
constexpr int ANY_RESULT = 1;

using Snapshot = std::map<std::string, std::string>;

Snapshot SnapshotOf(const ScratchDir& dir) {
    Snapshot files;
    for (const std::string& name : dir.List()) {
        files[name] = ReadFile(dir / name);
    }
    return files;
}

// An archive whose first entry is whole long before the rest, a file it would replace,
// and noise to pack or unpack for a while.
Snapshot LayOutRuns(const ScratchDir& dir) {
    const std::string noise = SampleBytes(NOISE_SIZE, 3, false);
    WriteFile(dir / "big.bin", noise);
    WriteFile(dir / "data.bin", "the file that was there before");
    WriteFile(dir / "data.tvr", BuildArchive({{"a.txt", "whole first"}, {"data.bin", noise}}));
    return SnapshotOf(dir);
}

// Runs tovra in dir, sends it signal once it has shown a few progress figures, and
// returns its exit status (1000 + signal when the signal ended it).
int StopMidRun(const ScratchDir& dir, const std::vector<std::string>& args, int signal) {
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    fcntl(fds[0], F_SETPIPE_SZ, SMALL_PIPE);
    const pid_t child = fork();
    if (child == 0) {
        if (int null = open("/dev/null", O_RDWR); null >= 0 && chdir(dir.path().c_str()) == 0 &&
                                                  dup2(null, 0) == 0 && dup2(fds[1], 1) == 1 &&
                                                  dup2(null, 2) == 2) {
            // Two or three arguments: a missing third ends the list.
            execl(TOVRA_BINARY, "tovra", args[0].c_str(), args[1].c_str(),
                  args.size() > 2 ? args[2].c_str() : nullptr, nullptr);
        }
        _exit(127);
    }
    close(fds[1]);
    char buffer[4096];
    struct pollfd ready = {fds[0], POLLIN, 0};
    ssize_t got = 0;
    for (int figures = 0;
         (got = poll(&ready, 1, QUIET_MS) > 0 ? read(fds[0], buffer, sizeof buffer) : -1) > 0;) {
        const int shown = figures;
        figures += static_cast<int>(std::count(buffer, buffer + got, '%'));
        if (shown < FIGURES_BEFORE_SIGNAL && figures >= FIGURES_BEFORE_SIGNAL) {
            kill(child, signal);
        }
    }
    if (got < 0) {
        kill(child, SIGKILL);  // it hung
    }
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

// Runs mode on archive from the empty work beside it, which alone may change. A failed
// run shows the code it ended with, and its exit status is that code.
int RunBeside(const ScratchDir& dir, const ScratchDir& work, const std::string& archive,
              const char* mode) {
    WriteFile(dir / "archive.tvr", archive);
    RunResult run = RunTovra({mode, "../archive.tvr"}, {work.path()});
    EXPECT_EQ(dir.List().size(), 2u);
    EXPECT_EQ(ReadFile(dir / "archive.tvr"), archive);
    EXPECT_TRUE(run.status == 0 ||
                run.out.find("\nError " + std::to_string(run.status - 256)) != std::string::npos)
        << run.status << run.out << run.err;
    return run.status;
}

}  // namespace

TEST(Fault, FullDiskAndSignalsMidRunLeaveEveryFileAsItWas) {
    ScratchDir dir;
    const Snapshot before = LayOutRuns(dir);
    const std::vector<std::string> pack = {"0", "data.tvr", "*.bin"}, unpack = {"1", "data.tvr"};
    const std::vector<std::string> fresh = {"0", "new.tvr", "*.bin"},
                                   one = {"0", "new.tvr", "data.bin"};
    // A signal sent mid-run, or 0 for a disk that is full at the given size.
    const std::vector<std::tuple<int, int64_t, std::vector<std::string>>> runs = {
        {0, DISK_LIMIT, pack},   {0, LAST_FLUSH_LIMIT, one}, {0, DISK_LIMIT, fresh},
        {0, DISK_LIMIT, unpack}, {SIGKILL, 0, pack},         {SIGINT, 0, pack},
        {SIGINT, 0, unpack},     {SIGTERM, 0, fresh},        {SIGTERM, 0, unpack}};
    for (const auto& [signal, limit, args] : runs) {
        SCOPED_TRACE(args[1] + " " + std::to_string(signal) + " " + std::to_string(limit));
        RunOptions options{dir.path()};
        options.fileSizeLimit = limit;
        const int status = signal ? StopMidRun(dir, args, signal) : RunTovra(args, options).status;
        EXPECT_EQ(status, signal == SIGKILL ? 1000 + SIGKILL
                                            : StatusOf(signal != 0 ? RESULT_ABORT : RESULT_FAIL));
        for (const std::string& name : TempFilesIn(dir.path())) {
            // Nothing can clean up after SIGKILL, but what it leaves says what it is.
            EXPECT_TRUE(signal == SIGKILL && name.rfind(PACK_PREFIX, 0) == 0) << name;
            std::filesystem::remove(dir / name);
        }
        EXPECT_TRUE(SnapshotOf(dir) == before) << testing::PrintToString(dir.List());
    }
}

// The damage the extraction and codec tests do not show through the binary, and the
// inputs the fuzzer kept.
TEST(Fault, DamagedArchivesFailClearlyAndWriteOnlyIntoTheCurrentDirectory) {
    const std::string fullName(ENTRY_NAME_SIZE, 'n');
    // What, the archive, the results of listing and of extracting it.
    std::vector<std::tuple<std::string, std::string, int, int>> cases = {
        {"a stream missing", Record("a", 3, 0) + BuildArchive({{"b", "abc"}}), 0, Z_BUF_ERROR},
        {"a negative size", Record("a", -2, 0) + Terminator() + ZlibStream(""), 0, RESULT_DAMAGED},
        {"a name filling its field", BuildArchive({{fullName, "ok"}}), 0, 0}};
    for (const auto& item : std::filesystem::directory_iterator(TOVRA_FUZZ_REGRESSIONS)) {
        cases.emplace_back(item.path(), ReadFile(item.path()), ANY_RESULT, ANY_RESULT);
    }
    for (const auto& [what, archive, listed, extracted] : cases) {
        SCOPED_TRACE(what);
        ScratchDir dir;
        ScratchDir work(dir.path());
        // Listed first, then extracted: braces fix the order.
        const std::vector<int> ends = {RunBeside(dir, work, archive, "2"),
                                       RunBeside(dir, work, archive, "1")};
        if (extracted != ANY_RESULT) {
            EXPECT_EQ(ends, (std::vector<int>{StatusOf(listed), StatusOf(extracted)}));
            EXPECT_EQ(work.List(), std::vector<std::string>(extracted == 0, fullName));
        }
    }
}
