// Helpers shared by the tests.
#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <utmp.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "app/version.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char BANNER[] = "\nTOVRA " TOVRA_VERSION "  zlib archiver for Linux, free software";

// A helper that cannot do its job stops the test that called it.
static void Require(bool ok, const std::string& failure) {
    if (!ok) {
        throw std::runtime_error(failure);
    }
}

ScratchDir::ScratchDir(const std::string& base) : m_path(base + "/tovra-test-XXXXXX") {
    Require(mkdtemp(&m_path[0]) != nullptr, "mkdtemp failed in " + base);
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
}

std::map<std::string, std::string> ScratchDir::Snapshot() const {
    std::map<std::string, std::string> files;
    for (const fs::path& path : fs::directory_iterator(m_path)) {
        files[path.filename()] = fs::is_regular_file(path) ? ReadFile(path) : "";
    }
    return files;
}

void WriteFile(const std::string& path, const std::string& content, int64_t mtime) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(mtime), 0}};
    Require(utimensat(AT_FDCWD, path.c_str(), times, 0) == 0, "cannot write " + path);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::string content(in ? static_cast<size_t>(in.tellg()) : 0, '\0');
    Require(in && in.seekg(0) && in.read(&content[0], std::streamsize(content.size())),
            "cannot read " + path);
    return content;
}

std::string SampleBytes(size_t size, uint32_t seed, bool compressible) {
    static const char* const WORDS[] = {"archive ", "stream ", "zlib ", "\n", "42 ", "deflate "};
    std::string out;
    out.reserve(size + 8);
    for (uint32_t state = seed * 2654435761u + 1; out.size() < size;) {
        state = state * 1664525u + 1013904223u;
        if (compressible) {
            out += WORDS[(state >> 16) % 6];
        } else {
            out += char(state >> 24);
        }
    }
    out.resize(size);
    return out;
}

std::vector<std::string> TempFilesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const fs::path& path : fs::directory_iterator(dir)) {
        if (path.filename().string().rfind(".tovra-", 0) == 0) {
            names.push_back(path.filename());
        }
    }
    return names;
}

std::string ZlibStream(const std::string& data, int level, int strategy) {
    z_stream stream{};
    Require(deflateInit2(&stream, level, Z_DEFLATED, 15, 8, strategy) == Z_OK, "no deflate");
    std::string out(deflateBound(&stream, data.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    Require(deflate(&stream, Z_FINISH) == Z_STREAM_END, "deflate failed");
    deflateEnd(&stream);
    return out.substr(0, stream.total_out);
}

std::string Record(const std::string& name, int32_t size, int32_t mtime) {
    std::string record =
        name.substr(0, 80) + std::string(88 - std::min<size_t>(name.size(), 80), 0);
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
    std::string directory, streams;
    for (const TestEntry& entry : entries) {
        directory += Record(entry.name, static_cast<int32_t>(entry.content.size()), entry.mtime);
        streams += ZlibStream(entry.content);
    }
    return directory + Terminator() + streams;
}

std::vector<std::string> InflateStreams(const std::string& archive) {
    std::vector<std::string> contents;
    size_t at = archive.find("\xff\xff\xff\xff", 80) + 8;  // past the terminator's size and time
    while (at < archive.size()) {
        std::string out(1 << 23, '\0');
        uLong size = out.size(), used = archive.size() - at;
        if (uncompress2(reinterpret_cast<Bytef*>(&out[0]), &size,
                        reinterpret_cast<const Bytef*>(archive.data() + at), &used) != Z_OK) {
            break;
        }
        contents.push_back(out.substr(0, size));
        at += used;
    }
    return contents;
}

// The child's side: descriptors, directory, environment and limits, then tovra.
[[noreturn]] static void StartChild(const std::vector<std::string>& args, const RunOptions& options,
                                    int out, int err, int terminal) {
    bool ready = (terminal >= 0 ? login_tty(terminal) == 0
                                : dup2(open(options.stdinPath.c_str(), O_RDONLY), 0) == 0) &&
                 (options.stdoutPath == "tty" || dup2(err, 2) == 2) &&
                 chdir(options.cwd.c_str()) == 0;
    int unread[2];
    if (options.stdoutPath == "-") {
        close(1);
    } else if (options.stdoutPath == "|") {
        ready = ready && pipe(unread) == 0 && close(unread[0]) == 0 && dup2(unread[1], 1) == 1;
    } else if (options.stdoutPath != "tty") {
        out = options.stdoutPath.empty()   ? out
              : options.stdoutPath == "&2" ? err
                                           : open(options.stdoutPath.c_str(), O_WRONLY);
        ready = ready && dup2(out, 1) == 1;
    }
    setenv("TZ", options.tz.c_str(), 1);
    for (const std::string& variable : options.env) {
        putenv(const_cast<char*>(variable.c_str()));
    }
    const rlim_t size = options.fileSizeLimit ? rlim_t(options.fileSizeLimit) : RLIM_INFINITY;
    const struct rlimit limit = {size, size};
    int status = setrlimit(RLIMIT_FSIZE, &limit);
    const struct rlimit memory = {rlim_t(options.memoryLimit), rlim_t(options.memoryLimit)};
    const struct rlimit processes = {rlim_t(options.processLimit), rlim_t(options.processLimit)};
    ready = ready && (!options.memoryLimit || setrlimit(RLIMIT_AS, &memory) == 0) &&
            (!options.processLimit || setrlimit(RLIMIT_NPROC, &processes) == 0) &&
            (!options.user || (setgid(options.user) == 0 && setuid(options.user) == 0));
    if (options.background && fork() > 0) {  // a job stopped for touching the terminal: 126
        wait3(&status, WUNTRACED, nullptr);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 126);
    }
    std::vector<char*> argv = {const_cast<char*>("tovra")};
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    if (ready && (!options.background || setpgid(0, 0) == 0)) {
        execv(TOVRA_BINARY, argv.data());
    }
    _exit(127);
}

RunResult RunTovra(const std::vector<std::string>& args, const RunOptions& options) {
    RunResult result;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    int out[2], master = -1, slave = -1, waiting = 0, status = 0;
    termios before{}, now{};
    Require(pipe2(out, O_CLOEXEC) == 0, "no pipe");
    const int err = memfd_create("tovra-err", 0);
    if (options.terminal) {
        const std::string& keys = options.typedAhead;
        char echo[64];
        Require(openpty(&master, &slave, nullptr, nullptr, nullptr) == 0 &&
                    tcgetattr(slave, &before) == 0 &&
                    write(master, keys.data(), keys.size()) == ssize_t(keys.size()),
                "no terminal");
        // Its echo shows that the terminal, still in line mode, has taken the keys in.
        Require(keys.empty() || read(master, echo, sizeof echo) > 0, "no echo");
    }
    // A pipe of one page takes a small write only while it fits into the page's free
    // end: filled to leave room for the banner and the figures before holdAtFigure,
    // it holds the run writing that one. A full pipe then tells the run got so far.
    fcntl(out[0], F_SETPIPE_SZ, getpagesize());
    const int capacity = fcntl(out[0], F_GETPIPE_SZ), hold = options.holdAtFigure;
    const std::string filler(hold < 2 ? 0 : capacity - strlen(BANNER) - 8 * (hold - 1), '#');
    Require(write(out[1], filler.data(), filler.size()) == ssize_t(filler.size()), "no filling");
    const pid_t child = fork();
    if (child == 0) {
        StartChild(args, options, out[1], err, slave);
    }
    close(out[1]);
    siginfo_t ended{};
    while (hold > 1 && ioctl(out[0], FIONREAD, &waiting) == 0 && waiting < capacity &&
           Clock::now() < deadline &&
           waitid(P_PID, id_t(child), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && !ended.si_pid) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (hold > 1) {
        EXPECT_EQ(waiting, capacity) << "the run ended before figure " << hold;
        options.whileHeld({child, master});
    }
    char buffer[4096];
    for (ssize_t n = 1; n != 0 && Clock::now() < deadline;) {
        struct pollfd ready = {out[0], POLLIN, 0};
        n = poll(&ready, 1, 20) > 0 ? read(out[0], buffer, sizeof buffer) : -1;
        result.out.append(buffer, size_t(std::max<ssize_t>(n, 0)));
    }
    if (Clock::now() >= deadline) {
        ADD_FAILURE() << "the run did not end in time";
        kill(child, SIGKILL);
    }
    waitpid(child, &status, 0);
    for (ssize_t n = 1; options.stdoutPath == "tty" && n > 0;) {
        struct pollfd ready = {master, POLLIN, 0};
        n = poll(&ready, 1, 0) > 0 ? read(master, buffer, sizeof buffer) : 0;
        result.out.append(buffer, size_t(std::max<ssize_t>(n, 0)));
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    result.out.erase(0, filler.size());
    result.err = ReadFile("/proc/self/fd/" + std::to_string(err));
    result.terminalRestored = tcgetattr(slave, &now) == 0 && memcmp(&before, &now, sizeof now) == 0;
    for (int fd : {master, slave, out[0], err}) {
        close(fd);
    }
    return result;
}
