// Helpers shared by the tests.
#include "test_support.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "app/version.h"
#include "archive/archive_entry.h"
#include "platform/diagnostics.h"

namespace {

// The user and group nobody, for runs that must not bypass permissions.
constexpr uid_t NOBODY_ID = 65534;

// A helper that cannot do its job stops the test that called it.
void Require(bool ok, const std::string& failure) {
    if (!ok) {
        throw std::runtime_error(failure);
    }
}

}  // namespace

const char BANNER[] = "\nTOVRA " TOVRA_VERSION "  zlib archiver for Linux, free software";
const char USAGE[] =
    "\nUsage: 'tovra 0 zipfile infile' to zip (infile = one filename, or *.dat etc),"
    "\n       'tovra 1 zipfile' to unzip to current dir,"
    "\n       'tovra 2 zipfile' to view contents only";

ScratchDir::ScratchDir(const std::string& base) {
    m_path = base + "/tovra-test-XXXXXX";
    Require(mkdtemp(&m_path[0]) != nullptr, "mkdtemp failed in " + base);
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    // Tests may leave read-only directories behind; open them up before removal.
    for (auto it = std::filesystem::recursive_directory_iterator(m_path, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
            chmod(it->path().c_str(), 0755);
        }
    }
    std::filesystem::remove_all(m_path, ignored);
}

std::vector<std::string> ScratchDir::List() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(m_path)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    Require(static_cast<bool>(out), "cannot write " + path);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    Require(static_cast<bool>(in), "cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

int64_t MtimeOf(const std::string& path) {
    struct stat st;
    Require(stat(path.c_str(), &st) == 0, "cannot stat " + path);
    return st.st_mtim.tv_sec;
}

void SetMtime(const std::string& path, int64_t seconds) {
    struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), 0}};
    Require(utimensat(AT_FDCWD, path.c_str(), times, 0) == 0, "cannot set time of " + path);
}

std::string SampleBytes(size_t size, uint32_t seed, bool compressible) {
    static const char* const WORDS[] = {"archive ", "stream ", "zlib ", "record ", "\n",
                                        "tovra ",   "bytes ",  "42 ",   "deflate "};
    std::string out;
    out.reserve(size);
    uint32_t state = seed * 2654435761u + 1;
    while (out.size() < size) {
        state = state * 1664525u + 1013904223u;
        out += compressible ? WORDS[(state >> 16) % 9]
                            : std::string(1, static_cast<char>(state >> 24));
    }
    out.resize(size);
    return out;
}

std::string ZlibStream(const std::string& data, int level, int strategy) {
    z_stream stream{};
    Require(deflateInit2(&stream, level, Z_DEFLATED, 15, 8, strategy) == Z_OK,
            "deflateInit2 failed");
    std::string out(deflateBound(&stream, data.size()) + 16, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    bool finished = deflate(&stream, Z_FINISH) == Z_STREAM_END;
    deflateEnd(&stream);
    Require(finished, "deflate failed");
    return out.substr(0, stream.total_out);
}

std::string Record(const std::string& name, int32_t size, int32_t mtime) {
    std::string record(ENTRY_RECORD_SIZE, '\0');
    std::copy_n(name.begin(), std::min<size_t>(name.size(), ENTRY_NAME_SIZE), record.begin());
    for (int i = 0; i < 4; ++i) {
        record[80 + i] = static_cast<char>(static_cast<uint32_t>(size) >> (8 * i));
        record[84 + i] = static_cast<char>(static_cast<uint32_t>(mtime) >> (8 * i));
    }
    return record;
}

std::string Terminator() {
    return Record("", -1, 0);
}

std::string BuildArchive(const std::vector<TestEntry>& entries) {
    std::string directory;
    std::string streams;
    for (const TestEntry& entry : entries) {
        directory += Record(entry.name, static_cast<int32_t>(entry.content.size()), entry.mtime);
        streams += ZlibStream(entry.content);
    }
    return directory + Terminator() + streams;
}

std::vector<std::string> InflateStreams(const std::string& archive) {
    size_t at = 0;
    while (at + ENTRY_RECORD_SIZE <= archive.size() &&
           archive.compare(at + ENTRY_NAME_SIZE, 4, "\xff\xff\xff\xff") != 0) {
        at += ENTRY_RECORD_SIZE;
    }
    at += ENTRY_RECORD_SIZE;
    std::vector<std::string> contents;
    z_stream stream{};
    Require(inflateInit(&stream) == Z_OK, "inflateInit failed");
    int status = Z_STREAM_END;
    while (at < archive.size() && status == Z_STREAM_END) {
        inflateReset(&stream);
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(archive.data() + at));
        stream.avail_in = static_cast<uInt>(archive.size() - at);
        std::string content;
        char out[1 << 16];
        do {
            stream.next_out = reinterpret_cast<Bytef*>(out);
            stream.avail_out = sizeof out;
            status = inflate(&stream, Z_NO_FLUSH);
            content.append(out, sizeof out - stream.avail_out);
        } while (status == Z_OK);
        at += stream.total_in;
        if (status == Z_STREAM_END) {
            contents.push_back(content);
        }
    }
    inflateEnd(&stream);
    return contents;
}

std::vector<std::string> TempFilesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        if (name.rfind(".tovra-", 0) == 0) {
            names.push_back(name);
        }
    }
    return names;
}

namespace {

using Clock = std::chrono::steady_clock;
constexpr int FIGURE_BYTES = 8;  // "%3d%%" and four backspaces
constexpr int READ_SLICE_MS = 20;

// Appends what fd offers within a slice of time; false at its end.
bool ReadSome(int fd, std::string* into) {
    struct pollfd ready = {fd, POLLIN, 0};
    char buffer[4096];
    ssize_t n = poll(&ready, 1, READ_SLICE_MS) > 0 ? read(fd, buffer, sizeof buffer) : -1;
    into->append(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    return n != 0;
}

// The child's side: descriptors, directory, user, environment, limits, then tovra.
[[noreturn]] void StartChild(const std::vector<std::string>& args, const RunOptions& options,
                             int out, int err, int terminal) {
    int in = terminal >= 0 ? -1 : open(options.stdinPath.c_str(), O_RDONLY);
    bool ready = (terminal >= 0 ? login_tty(terminal) == 0 : in >= 0 && dup2(in, 0) == 0) &&
                 dup2(err, 2) == 2 && chdir(options.cwd.c_str()) == 0;
    if (options.stdoutPath == "-") {
        close(1);
    } else if (!options.stdoutPath.empty()) {
        int fd = open(options.stdoutPath.c_str(), O_WRONLY);
        ready = ready && fd >= 0 && dup2(fd, 1) == 1;
    } else {
        ready = ready && dup2(out, 1) == 1;
    }
    // The directory is entered before privileges are dropped: nobody may not reach it.
    if (options.unprivileged && geteuid() == 0) {
        ready =
            ready && setgroups(0, nullptr) == 0 && setgid(NOBODY_ID) == 0 && setuid(NOBODY_ID) == 0;
    }
    setenv("TZ", options.tz.c_str(), 1);
    for (const std::string& variable : options.env) {
        putenv(const_cast<char*>(variable.c_str()));
    }
    if (options.fileSizeLimit > 0) {
        struct rlimit limit = {static_cast<rlim_t>(options.fileSizeLimit),
                               static_cast<rlim_t>(options.fileSizeLimit)};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.background) {
        // A job stopped for touching the terminal ends the run with 126.
        pid_t job = fork();
        if (job > 0) {
            int status = 0;
            waitpid(job, &status, WUNTRACED);
            _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 126);
        }
        setpgid(0, 0);
    }
    std::vector<char*> argv = {const_cast<char*>("tovra")};
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    if (ready) {
        execv(TOVRA_BINARY, argv.data());
    }
    _exit(127);
}

// Fills the pipe so that the run can write its banner and the figures before figure,
// and is held writing that one: a pipe of one page takes a small write only while it
// fits into the page's free end. The first write (banner and figure 1) must fit, so
// that a full pipe tells the run has got this far.
size_t FillPipeBefore(int in, int out, int figure) {
    Require(figure >= 2, "a run can be held from its second figure on");
    fcntl(out, F_SETPIPE_SZ, getpagesize());
    const size_t capacity = static_cast<size_t>(fcntl(out, F_GETPIPE_SZ));
    const size_t allowed = strlen(BANNER) + FIGURE_BYTES * (figure - 1);
    const std::string filler(capacity - allowed, '#');
    Require(write(in, filler.data(), filler.size()) == static_cast<ssize_t>(filler.size()),
            "cannot fill the pipe");
    return filler.size();
}

// Waits until the run has filled the pipe (it is held) or has ended; true when held.
bool WaitUntilHeld(pid_t child, int out, Clock::time_point deadline) {
    const int capacity = fcntl(out, F_GETPIPE_SZ);
    int waiting = 0;
    while (Clock::now() < deadline && ioctl(out, FIONREAD, &waiting) == 0 && waiting < capacity) {
        siginfo_t ended{};
        if (waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOHANG | WNOWAIT) != 0 ||
            ended.si_pid != 0) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return waiting >= capacity;
}

bool SameSettings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc);
}

}  // namespace

RunResult RunTovra(const std::vector<std::string>& args, const RunOptions& options) {
    RunResult result;
    const auto deadline = Clock::now() + std::chrono::seconds(options.timeoutSeconds);
    int out[2];
    int master = -1, slave = -1;
    termios before{}, now{};
    Require(pipe2(out, O_CLOEXEC) == 0, "no pipe");
    int err = memfd_create("tovra-err", 0);
    if (options.terminal) {
        Require(openpty(&master, &slave, nullptr, nullptr, nullptr) == 0, "no pseudo-terminal");
        tcgetattr(slave, &before);
        Require(write(master, options.typedAhead.data(), options.typedAhead.size()) ==
                    static_cast<ssize_t>(options.typedAhead.size()),
                "cannot type ahead");
        // Its echo shows that the terminal, still in line mode, has taken the keys in.
        for (std::string echo;
             echo.size() < options.typedAhead.size() && Clock::now() < deadline;) {
            ReadSome(master, &echo);
        }
    }
    size_t filler =
        options.holdAtFigure > 0 ? FillPipeBefore(out[1], out[0], options.holdAtFigure) : 0;
    pid_t child = fork();
    if (child == 0) {
        StartChild(args, options, out[1], err, slave);
    }
    close(out[1]);
    if (options.holdAtFigure > 0) {
        bool held = WaitUntilHeld(child, out[0], deadline);
        EXPECT_TRUE(held) << "the run ended before figure " << options.holdAtFigure;
        if (options.terminal) {
            tcgetattr(slave, &now);
            result.modesDuring = now.c_lflag;
        }
        if (held) {
            options.whileHeld({child, master});
        }
    }
    while (ReadSome(out[0], &result.out) && Clock::now() < deadline) {
    }
    if (Clock::now() >= deadline) {
        ADD_FAILURE() << "the run did not end in time";
        kill(child, SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    result.out.erase(0, filler);
    result.err = ReadFile("/proc/self/fd/" + std::to_string(err));
    if (options.terminal) {
        tcgetattr(slave, &now);
        result.terminalRestored = SameSettings(before, now);
        close(master);
        close(slave);
    }
    close(out[0]);
    close(err);
    return result;
}
