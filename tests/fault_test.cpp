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

// Archives whose first entry is whole long before the rest, files they would replace,
// noise to pack or unpack for a while, and a file a swapped link would point at.
Snapshot LayOutRuns(const ScratchDir& dir) {
    const std::string noise = SampleBytes(NOISE_SIZE, 3, false);
    WriteFile(dir / "big.bin", noise);
    WriteFile(dir / "data.bin", "the file that was there before");
    WriteFile(
        dir / "data.tvr",
        BuildArchive({{"a.txt", "whole first"}, {"data.bin", noise}, {"z.txt", "whole last"}}));
    WriteFile(dir / "one.tvr", BuildArchive({{"data.bin", noise}}));
    WriteFile(dir / "victim", "a file of someone else's");
    return SnapshotOf(dir);
}

// While the run is held at a figure: the temporary files it made are swapped for
// links to the victim, as another user who may write to the directory could.
void SwapTempFilesForLinks(const ScratchDir& dir, pid_t run) {
    kill(run, SIGSTOP);
    for (const std::string& name : TempFilesIn(dir.path())) {
        ASSERT_EQ(symlink((dir / "victim").c_str(), (dir / "link").c_str()), 0);
        ASSERT_EQ(rename((dir / "link").c_str(), (dir / name).c_str()), 0);
    }
    kill(run, SIGCONT);
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

TEST(Fault, FullDiskSignalsAndSwapsMidRunLeaveEveryFileAsItWas) {
    ScratchDir dir;
    const Snapshot before = LayOutRuns(dir);
    const std::vector<std::string> pack = {"0", "data.tvr", "*.bin"}, unpack = {"1", "data.tvr"};
    const std::vector<std::string> fresh = {"0", "new.tvr", "*.bin"},
                                   one = {"0", "new.tvr", "data.bin"};
    // A signal sent while the run is held in its second stream (or file), SWAP for the
    // temporary files swapped for links, or 0 for a disk that is full at the given size.
    const int SWAP = -1;
    const std::vector<std::tuple<int, int64_t, std::vector<std::string>, int>> runs = {
        {0, DISK_LIMIT, pack, RESULT_FAIL},
        {0, LAST_FLUSH_LIMIT, one, RESULT_FAIL},
        {0, DISK_LIMIT, fresh, RESULT_FAIL},
        {0, DISK_LIMIT, unpack, RESULT_FAIL},
        {SIGKILL, 0, pack, 0},
        {SIGINT, 0, pack, RESULT_ABORT},
        {SIGINT, 0, unpack, RESULT_ABORT},
        {SIGTERM, 0, fresh, RESULT_ABORT},
        {SIGTERM, 0, unpack, RESULT_ABORT},
        {SWAP, 0, pack, RESULT_OPEN},
        {SWAP, 0, {"1", "one.tvr"}, RESULT_OPEN}};
    for (const auto& [signal, limit, args, result] : runs) {
        SCOPED_TRACE(args[1] + " " + std::to_string(signal) + " " + std::to_string(limit));
        RunOptions options{dir.path()};
        options.fileSizeLimit = limit;
        options.env = {"TOVRA_THREADS=3"};
        if (signal != 0) {
            options.holdAtFigure = 2;
            options.whileHeld = [&dir, signal = signal](const HeldRun& held) {
                signal == SWAP ? SwapTempFilesForLinks(dir, held.pid)
                               : (void)kill(held.pid, signal);
            };
        }
        RunResult run = RunTovra(args, options);
        EXPECT_EQ(run.status, signal == SIGKILL ? 1000 + SIGKILL : StatusOf(result)) << run.err;
        EXPECT_TRUE(signal != SWAP || run.err.find("was replaced") != std::string::npos) << run.err;
        for (const std::string& name : TempFilesIn(dir.path())) {
            // Nothing cleans up after SIGKILL, but what it leaves says what it is; the
            // swapped links are another user's.
            EXPECT_TRUE((signal == SIGKILL && name.rfind(PACK_PREFIX, 0) == 0) || signal == SWAP)
                << name;
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
