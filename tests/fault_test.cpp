// Faults of the machine and of the archive, through the built binary: a full disk
// while packing and unpacking, a process killed or stopped by a signal mid-run, and
// damaged archives of every kind the fuzzer and the tests met. Whatever happens, an
// existing archive or file stays as it was, no temporary file is left (only a kill
// may leave a ".tovra-pack-" file), and nothing is written outside the current
// directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/archive_entry.h"
#include "platform/result.h"
#include "test_support.h"

namespace {

constexpr int BOUNDED_SECONDS = 60;
constexpr int64_t DISK_LIMIT = 100000;
// Smaller than the directory of LARGE_FILES + PAD_FILES records and the terminator.
constexpr int64_t DIRECTORY_LIMIT = 1000;
constexpr int PAD_FILES = 16;
constexpr size_t LARGE_INPUT = 2 * 1024 * 1024;
constexpr int LARGE_FILES = 4;
constexpr int FIGURES_BEFORE_SIGNAL = 3;
// The smallest pipe Linux makes: the run cannot outpace the test by more than
// 4096 bytes of figures, so it is still running when the signal is sent.
constexpr int SMALL_PIPE = 4096;
const char TEMP_PREFIX[] = ".tovra-";
const char PACK_PREFIX[] = ".tovra-pack-";
const char FIGURE_END[] = "%\b\b\b\b";

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

std::vector<std::string> TempFilesIn(const ScratchDir& dir) {
    std::vector<std::string> temps;
    for (const std::string& name : dir.List()) {
        if (StartsWith(name, TEMP_PREFIX)) {
            temps.push_back(name);
        }
    }
    return temps;
}

// Files of noise, so the archive grows as fast as the input is read.
void WriteLargeInputs(const ScratchDir& dir) {
    for (int i = 0; i < LARGE_FILES; ++i) {
        WriteFile(dir / ("big" + std::to_string(i) + ".bin"),
                  SampleBytes(LARGE_INPUT, static_cast<uint32_t>(i + 1), false));
    }
}

std::string PackOnce(const ScratchDir& dir, const std::string& archive,
                     const std::string& pattern) {
    RunOptions options{dir.path()};
    options.timeoutSeconds = BOUNDED_SECONDS;
    RunResult run = RunTovra({"0", archive, pattern}, options);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    return ReadFile(dir / archive);
}

// A run of the binary whose standard output the test reads as it goes.
class LiveRun {
  public:
    LiveRun(const std::vector<std::string>& args, const std::string& cwd) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        fcntl(fds[0], F_SETPIPE_SZ, SMALL_PIPE);
        m_pid = fork();
        if (m_pid == 0) {
            int in = open("/dev/null", O_RDWR);
            if (in < 0 || chdir(cwd.c_str()) != 0) {
                _exit(127);
            }
            dup2(in, 0);
            dup2(fds[1], 1);
            dup2(in, 2);
            setenv("TZ", "UTC", 1);
            std::vector<char*> argv = {const_cast<char*>("tovra")};
            for (const std::string& arg : args) {
                argv.push_back(const_cast<char*>(arg.c_str()));
            }
            argv.push_back(nullptr);
            execv(TOVRA_BINARY, argv.data());
            _exit(127);
        }
        close(fds[1]);
        m_out = fds[0];
        m_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(BOUNDED_SECONDS);
    }
    ~LiveRun() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        close(m_out);
    }
    LiveRun(const LiveRun&) = delete;
    LiveRun& operator=(const LiveRun&) = delete;

    // Reads until count progress figures have arrived; false if the output ended first.
    bool AwaitFigures(int count) {
        while (Figures() < count) {
            if (!ReadSome()) {
                return false;
            }
        }
        return true;
    }

    void Signal(int signal) { kill(m_pid, signal); }

    // Reads the rest of the output and returns the exit status, or 1000 + signal.
    int Finish() {
        while (ReadSome()) {
        }
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    }

    const std::string& out() const { return m_text; }

  private:
    int Figures() const {
        int figures = 0;
        for (size_t at = m_text.find(FIGURE_END); at != std::string::npos;
             at = m_text.find(FIGURE_END, at + 1)) {
            ++figures;
        }
        return figures;
    }

    bool ReadSome() {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            m_deadline - std::chrono::steady_clock::now());
        struct pollfd ready = {m_out, POLLIN, 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            ADD_FAILURE() << "the run did not end in time";
            kill(m_pid, SIGKILL);
            return false;
        }
        char buffer[4096];
        ssize_t got = read(m_out, buffer, sizeof buffer);
        if (got <= 0) {
            return false;
        }
        m_text.append(buffer, static_cast<size_t>(got));
        return true;
    }

    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_text;
    std::chrono::steady_clock::time_point m_deadline;
};

}  // namespace

// --- a full disk --------------------------------------------------------

TEST(DiskFull, PackingFailsAndKeepsTheOldArchive) {
    ScratchDir dir;
    WriteFile(dir / "small.txt", "the archive that was there before");
    std::string old = PackOnce(dir, "old.tvr", "small.txt");
    WriteLargeInputs(dir);
    for (int i = 0; i < PAD_FILES; ++i) {
        WriteFile(dir / ("pad" + std::to_string(i) + ".bin"), "x");
    }
    // A limit inside the streams, and one inside the directory.
    for (int64_t limit : {DISK_LIMIT, DIRECTORY_LIMIT}) {
        RunOptions options{dir.path()};
        options.timeoutSeconds = BOUNDED_SECONDS;
        options.fileSizeLimit = limit;
        RunResult run = RunTovra({"0", "old.tvr", "*.bin"}, options);
        EXPECT_EQ(run.status, StatusOf(RESULT_FAIL)) << "limit " << limit << run.out << run.err;
        EXPECT_EQ(ReadFile(dir / "old.tvr"), old) << "limit " << limit;
        EXPECT_EQ(TempFilesIn(dir), std::vector<std::string>()) << "limit " << limit;
    }
}

TEST(DiskFull, PackingANewArchiveLeavesNothing) {
    ScratchDir dir;
    WriteLargeInputs(dir);
    std::vector<std::string> before = dir.List();
    RunOptions options{dir.path()};
    options.timeoutSeconds = BOUNDED_SECONDS;
    options.fileSizeLimit = DISK_LIMIT;
    RunResult run = RunTovra({"0", "new.tvr", "*.bin"}, options);
    EXPECT_EQ(run.status, StatusOf(RESULT_FAIL)) << run.out << run.err;
    EXPECT_EQ(dir.List(), before);
}

TEST(DiskFull, UnpackingFailsAndKeepsTheOldFile) {
    ScratchDir dir;
    ScratchDir work;
    WriteFile(dir / "data.tvr", BuildArchive({{"data.bin", SampleBytes(4 * DISK_LIMIT, 7, false)},
                                              {"note.txt", "small"}}));
    WriteFile(work / "data.bin", "the file that was there before");
    RunOptions options{work.path()};
    options.timeoutSeconds = BOUNDED_SECONDS;
    options.fileSizeLimit = DISK_LIMIT;
    RunResult run = RunTovra({"1", dir / "data.tvr"}, options);
    EXPECT_EQ(run.status, StatusOf(RESULT_FAIL)) << run.out << run.err;
    EXPECT_EQ(work.List(), std::vector<std::string>{"data.bin"});
    EXPECT_EQ(ReadFile(work / "data.bin"), "the file that was there before");
}

// --- a process killed or stopped mid-run ------------------------------------

TEST(KilledRun, SigkillWhilePackingLeavesTheOldArchiveByteIdentical) {
    ScratchDir dir;
    WriteFile(dir / "small.txt", "the archive that was there before");
    std::string old = PackOnce(dir, "old.tvr", "small.txt");
    WriteLargeInputs(dir);
    std::vector<std::string> before = dir.List();
    {
        LiveRun run({"0", "old.tvr", "*.bin"}, dir.path());
        ASSERT_TRUE(run.AwaitFigures(FIGURES_BEFORE_SIGNAL)) << run.out();
        run.Signal(SIGKILL);
        EXPECT_EQ(run.Finish(), 1000 + SIGKILL);
    }
    EXPECT_EQ(ReadFile(dir / "old.tvr"), old);
    std::vector<std::string> after = dir.List();
    std::vector<std::string> added;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                        std::back_inserter(added));
    ASSERT_LE(added.size(), 1u);
    for (const std::string& name : added) {
        EXPECT_TRUE(StartsWith(name, PACK_PREFIX)) << name;
    }
}

TEST(KilledRun, StopSignalWhilePackingAbortsAndKeepsTheOldArchive) {
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signal));
        ScratchDir dir;
        WriteFile(dir / "small.txt", "the archive that was there before");
        std::string old = PackOnce(dir, "old.tvr", "small.txt");
        WriteLargeInputs(dir);
        std::vector<std::string> before = dir.List();
        for (const char* archive : {"old.tvr", "new.tvr"}) {
            LiveRun run({"0", archive, "*.bin"}, dir.path());
            ASSERT_TRUE(run.AwaitFigures(FIGURES_BEFORE_SIGNAL)) << run.out();
            run.Signal(signal);
            EXPECT_EQ(run.Finish(), StatusOf(RESULT_ABORT)) << archive;
            EXPECT_EQ(dir.List(), before) << archive;
            EXPECT_EQ(ReadFile(dir / "old.tvr"), old);
        }
    }
}

TEST(KilledRun, StopSignalWhileUnpackingAbortsWithNoPartialOutput) {
    ScratchDir dir;
    WriteFile(dir / "data.tvr",
              BuildArchive({{"first.txt", "written first, in the same run"},
                            {"data.bin", SampleBytes(LARGE_FILES * LARGE_INPUT, 3, false)}}));
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signal));
        ScratchDir work;
        WriteFile(work / "data.bin", "the file that was there before");
        LiveRun run({"1", dir / "data.tvr"}, work.path());
        ASSERT_TRUE(run.AwaitFigures(FIGURES_BEFORE_SIGNAL)) << run.out();
        run.Signal(signal);
        EXPECT_EQ(run.Finish(), StatusOf(RESULT_ABORT));
        EXPECT_EQ(work.List(), std::vector<std::string>{"data.bin"});
        EXPECT_EQ(ReadFile(work / "data.bin"), "the file that was there before");
    }
}

// --- damaged archives -----------------------------------------------------

namespace {

constexpr int32_t MTIME = 1000000000;
const char ARCHIVE[] = "archive.tvr";
const char WORK[] = "work";

struct Damage {
    const char* what;
    std::string archive;
    int extractResult;
    int listResult;
    std::vector<std::string> extracted;
};

// A stream that asks for a preset dictionary, which no archive ever holds.
std::string StreamWithDictionary(const std::string& data) {
    const std::string dictionary = "a dictionary";
    z_stream stream{};
    deflateInit(&stream, 6);
    deflateSetDictionary(&stream, reinterpret_cast<const Bytef*>(dictionary.data()),
                         static_cast<uInt>(dictionary.size()));
    std::string out(deflateBound(&stream, data.size()) + 16, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

std::string OneEntry(const std::string& name, int32_t size, const std::string& stream) {
    return Record(name, size, MTIME) + Terminator() + stream;
}

std::vector<Damage> DamagedArchives(const std::string& outside) {
    const int damaged = RESULT_DAMAGED;
    const std::string content = SampleBytes(3000, 11, false);
    const std::string stream = ZlibStream(content);
    const int32_t size = static_cast<int32_t>(content.size());
    std::string badHeader = stream;
    badHeader[1] = static_cast<char>(badHeader[1] ^ 0x01);
    std::string badCheck = stream;
    badCheck.back() = static_cast<char>(badCheck.back() ^ 0x01);
    std::string unterminated;
    for (int i = 0; i < 1000; ++i) {
        unterminated += Record("a", 0, MTIME);
    }
    std::string unsafe;
    std::string unsafeStreams;
    for (const std::string& name :
         {std::string("../escape"), outside + "/absolute", std::string("sub/x"), std::string("."),
          std::string(".."), std::string(""), std::string("ok.txt")}) {
        unsafe += Record(name, 2, MTIME);
        unsafeStreams += ZlibStream("ok");
    }
    const std::string fullName(80, 'n');
    return {
        {"an empty file", "", damaged, damaged, {}},
        {"a directory cut inside a record",
         Record("a.txt", 3, MTIME).substr(0, 50),
         damaged,
         damaged,
         {}},
        {"no terminator in 1000 records", unterminated, damaged, damaged, {}},
        {"a stream cut short",
         OneEntry("a.bin", size, stream.substr(0, stream.size() / 2)),
         Z_BUF_ERROR,
         0,
         {}},
        {"a stream missing",
         Record("a.bin", size, MTIME) + Record("b.bin", 1, MTIME) + Terminator() + stream,
         Z_BUF_ERROR,
         0,
         {}},
        {"a damaged stream header", OneEntry("a.bin", size, badHeader), Z_DATA_ERROR, 0, {}},
        {"a damaged check value", OneEntry("a.bin", size, badCheck), Z_DATA_ERROR, 0, {}},
        {"a damaged check value, then a stream longer than its record",
         Record("a.bin", size, MTIME) + Record("b.bin", 1, MTIME) + Terminator() + badCheck +
             ZlibStream("more than one byte"),
         Z_DATA_ERROR,
         0,
         {}},
        {"a preset dictionary",
         OneEntry("a.bin", size, StreamWithDictionary(content)),
         Z_DATA_ERROR,
         0,
         {}},
        {"a stream longer than its record", OneEntry("a.bin", size - 1, stream), damaged, 0, {}},
        {"a stream shorter than its record", OneEntry("a.bin", size + 1, stream), damaged, 0, {}},
        {"a negative size", OneEntry("a.bin", -2, ZlibStream("")), damaged, 0, {}},
        {"names that leave the directory",
         unsafe + Terminator() + unsafeStreams,
         damaged,
         0,
         {"ok.txt"}},
        {"a name filling its field", OneEntry(fullName, 2, ZlibStream("ok")), 0, 0, {fullName}},
    };
}

// Lays out <dir>/archive.tvr beside the empty <dir>/work, the current directory of the run.
void LayOut(const ScratchDir& dir, const std::string& archive) {
    WriteFile(dir / ARCHIVE, archive);
    std::filesystem::create_directory(dir / WORK);
}

RunResult RunIn(const ScratchDir& dir, const std::string& mode) {
    RunOptions options{dir / WORK};
    options.timeoutSeconds = BOUNDED_SECONDS;
    return RunTovra({mode, std::string("../") + ARCHIVE}, options);
}

std::vector<std::string> NamesIn(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(path)) {
        names.push_back(item.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The names an archive's directory holds (none when it cannot be read): an entry may
// itself be called ".tovra-something".
std::set<std::string> EntryNames(const std::string& archive) {
    std::set<std::string> names;
    ResetArchiveState();
    if (ReadDirectory(archive.c_str()) == RESULT_OK) {
        for (int slot = 0; g_entries[slot].m_size != TERMINATOR_SIZE; ++slot) {
            names.insert(EntryName(g_entries[slot]));
        }
    }
    ResetArchiveState();
    return names;
}

bool IsResultStatus(int status) {
    const int known[] = {RESULT_OK,   RESULT_FAIL,    RESULT_ABORT, RESULT_DAMAGED, RESULT_LIMIT,
                         RESULT_OPEN, Z_STREAM_ERROR, Z_DATA_ERROR, Z_MEM_ERROR,    Z_BUF_ERROR};
    return std::any_of(std::begin(known), std::end(known),
                       [status](int result) { return StatusOf(result) == status; });
}

}  // namespace

TEST(DamagedArchive, FailsClearlyAndWritesOnlyIntoTheCurrentDirectory) {
    ScratchDir names;
    for (const Damage& damage : DamagedArchives(names.path())) {
        SCOPED_TRACE(damage.what);
        ScratchDir dir;
        LayOut(dir, damage.archive);
        RunResult list = RunIn(dir, "2");
        EXPECT_EQ(list.status, StatusOf(damage.listResult)) << list.out << list.err;
        RunResult extract = RunIn(dir, "1");
        EXPECT_EQ(extract.status, StatusOf(damage.extractResult)) << extract.out << extract.err;
        if (damage.extractResult != RESULT_OK) {
            std::string message = "\nError " + std::to_string(damage.extractResult);
            EXPECT_NE(extract.out.find(message), std::string::npos) << extract.out;
        }
        EXPECT_EQ(NamesIn(dir.path()), (std::vector<std::string>{ARCHIVE, WORK}));
        EXPECT_EQ(NamesIn(dir / WORK), damage.extracted);
        EXPECT_EQ(ReadFile(dir / ARCHIVE), damage.archive);
    }
    EXPECT_EQ(names.List(), std::vector<std::string>());
}

TEST(DamagedArchive, EveryFuzzerInputEndsWithAResultCode) {
    for (const auto& item : std::filesystem::directory_iterator(TOVRA_FUZZ_REGRESSIONS)) {
        SCOPED_TRACE(item.path().string());
        ScratchDir dir;
        std::string archive = ReadFile(item.path().string());
        LayOut(dir, archive);
        for (const char* mode : {"2", "1"}) {
            RunResult run = RunIn(dir, mode);
            EXPECT_TRUE(IsResultStatus(run.status)) << "mode " << mode << ": " << run.status;
        }
        EXPECT_EQ(NamesIn(dir.path()), (std::vector<std::string>{ARCHIVE, WORK}));
        std::set<std::string> entries = EntryNames(dir / ARCHIVE);
        for (const std::string& name : NamesIn(dir / WORK)) {
            EXPECT_TRUE(entries.count(name) == 1 || !StartsWith(name, TEMP_PREFIX)) << name;
        }
        EXPECT_EQ(ReadFile(dir / ARCHIVE), archive);
    }
}
