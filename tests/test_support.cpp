// Helpers shared by the tests.
#include "test_support.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

void ResetArchiveState() {
    memset(g_entries, 0, sizeof g_entries);
    g_nEntries = 0;
    g_lDataOffset = 0;
    ClearNotes();
}

namespace {

// Waits for child, killing it once the timeout has passed; returns its wait status.
int WaitBounded(pid_t child, int timeoutSeconds) {
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status;
}

}  // namespace

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

RunResult RunTovra(const std::vector<std::string>& args, const RunOptions& options) {
    int outFd = memfd_create("tovra-out", 0);
    int errFd = memfd_create("tovra-err", 0);
    pid_t child = fork();
    if (child == 0) {
        // The directory is entered before privileges are dropped: nobody may not reach it.
        int inFd = open(options.stdinPath.c_str(), O_RDONLY);
        if (inFd < 0 || chdir(options.cwd.c_str()) != 0 || dup2(inFd, 0) < 0 ||
            dup2(outFd, 1) < 0 || dup2(errFd, 2) < 0 ||
            (options.unprivileged && geteuid() == 0 &&
             (setgroups(0, nullptr) != 0 || setgid(NOBODY_ID) != 0 || setuid(NOBODY_ID) != 0))) {
            _exit(127);
        }
        setenv("TZ", options.tz.c_str(), 1);
        if (options.fileSizeLimit > 0) {
            // Ignored, so a write past the limit fails with EFBIG as on a full disk.
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit limit = {static_cast<rlim_t>(options.fileSizeLimit),
                                   static_cast<rlim_t>(options.fileSizeLimit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        std::vector<char*> argv = {const_cast<char*>("tovra")};
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(TOVRA_BINARY, argv.data());
        _exit(127);
    }
    RunResult result;
    int status = WaitBounded(child, options.timeoutSeconds);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    result.out = ReadFile("/proc/self/fd/" + std::to_string(outFd));
    result.err = ReadFile("/proc/self/fd/" + std::to_string(errFd));
    close(outFd);
    close(errFd);
    return result;
}
