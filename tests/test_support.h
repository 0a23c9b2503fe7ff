// What the tests share: scratch directories, files, archives built by hand, and the
// one runner for every run of the built binary. Every test file includes it once.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/version.h"

#ifdef TOVRA_LIBDEFLATE
#include <libdeflate.h>
#endif

constexpr int32_t SOME_TIME = 1000000000;  // 09.09.2001 01:46:40 UTC
constexpr uid_t NOBODY = 65534;
constexpr char BANNER[] = "\nTOVRA " TOVRA_VERSION "  zlib archiver for Linux, free software";

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::string content(in ? static_cast<size_t>(in.tellg()) : 0, '\0');
    EXPECT_TRUE(in.seekg(0) && in.read(&content[0], std::streamsize(content.size()))) << path;
    return content;
}

// Writes a file with the given last-write time.
inline void WriteFile(const std::string& path, const std::string& data, int64_t mtime = SOME_TIME) {
    std::ofstream(path, std::ios::binary) << data;
    struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(mtime), 0}};
    EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << "cannot write " << path;
}

// What the tests compare of a file: its size, a hash of its content, its permission bits
// and last-write time. Short when printed.
inline std::string Digest(const std::string& content, mode_t mode, int64_t mtime) {
    std::ostringstream digest;
    digest << content.size() << " bytes, hash " << std::hash<std::string>{}(content) << ", mode "
           << std::oct << mode << std::dec << ", time " << mtime;
    return digest.str();
}

// Every name in dir with the digest of its file, or "" for what is not a regular file.
inline std::map<std::string, std::string> Snapshot(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& item : std::filesystem::directory_iterator(dir)) {
        struct stat st = {};
        const bool regular = stat(item.path().c_str(), &st) == 0 && S_ISREG(st.st_mode);
        files[item.path().filename()] =
            regular ? Digest(ReadFile(item.path()), st.st_mode & 07777, st.st_mtime) : "";
    }
    return files;
}

// A fresh directory, removed with everything in it afterwards.
struct ScratchDir {
    std::string path;
    explicit ScratchDir(const std::string& base = "/tmp") : path(base + "/tovra-test-XXXXXX") {
        EXPECT_NE(mkdtemp(&path[0]), nullptr) << "no scratch directory in " << base;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// Deterministic bytes: text-like when compressible, else noise.
inline std::string SampleBytes(size_t size, uint32_t seed, bool compressible = true) {
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

// One zlib stream of data, as any zlib writer could make it.
inline std::string ZlibStream(const std::string& data, int level = 6,
                              int strategy = Z_DEFAULT_STRATEGY, int windowBits = 15,
                              int flush = Z_FINISH) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, level, Z_DEFLATED, windowBits, 8, strategy), Z_OK);
    std::string out(deflateBound(&stream, data.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, flush), flush == Z_FINISH ? Z_STREAM_END : Z_OK);
    deflateEnd(&stream);
    out.resize(stream.total_out);
    return out;
}

// The pieces packing cuts a file into, and the largest file zlib deflates: in a build
// with libdeflate, 4 MiB chunks each deflated on its own by libdeflate, and files of at
// most 16 KiB by zlib; else 256 KiB blocks, every file by zlib.
#ifdef TOVRA_LIBDEFLATE
constexpr size_t PACKING_PIECE = size_t{4} << 20;
constexpr size_t ZLIB_FILE_LIMIT = size_t{16} << 10;
constexpr bool CHUNKS_BUILT = true;
#else
constexpr size_t PACKING_PIECE = size_t{256} << 10;
constexpr size_t ZLIB_FILE_LIMIT = PACKING_PIECE;
constexpr bool CHUNKS_BUILT = false;
#endif

// One zlib stream of data at level 6 as the engine that packs a file of one piece makes
// it: libdeflate, or zlib for the smallest files and in a build without libdeflate.
#ifdef TOVRA_LIBDEFLATE
// data deflated by libdeflate at level 6, as a zlib stream or as raw deflate (a chunk).
inline std::string LibdeflateStream(const std::string& data, bool zlibFramed = true) {
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(6);
    const auto bound =
        zlibFramed ? libdeflate_zlib_compress_bound : libdeflate_deflate_compress_bound;
    const auto compress = zlibFramed ? libdeflate_zlib_compress : libdeflate_deflate_compress;
    std::string out(bound(compressor, data.size()), '\0');
    out.resize(compress(compressor, data.data(), data.size(), &out[0], out.size()));
    libdeflate_free_compressor(compressor);
    return out;
}
#endif

inline std::string OneShotStream(const std::string& data) {
#ifdef TOVRA_LIBDEFLATE
    if (data.size() > ZLIB_FILE_LIMIT) {
        return LibdeflateStream(data);
    }
#endif
    return ZlibStream(data);
}

// About the size of the stream packing makes of data: its chunks' one-shot streams less
// their headers and trailers, and five bytes each to join them, in a build with
// libdeflate; else one stream of all of it (zlib's blocks are primed with the data
// before them).
inline size_t PackedSize(const std::string& data) {
    if (!CHUNKS_BUILT || data.size() <= PACKING_PIECE) {
        return OneShotStream(data).size();
    }
    size_t size = 6;
    for (size_t at = 0; at < data.size(); at += PACKING_PIECE) {
        size += OneShotStream(data.substr(at, PACKING_PIECE)).size() - 6 + 5;
    }
    return size;
}

// One 88-byte directory record; name is copied raw (up to 80 bytes, zero-padded).
inline std::string Record(const std::string& name, int32_t size, int32_t mtime = SOME_TIME) {
    std::string record = (name + std::string(88, '\0')).substr(0, 88);
    for (int i = 0; i < 4; ++i) {
        record[80 + i] = static_cast<char>(static_cast<uint32_t>(size) >> (8 * i));
        record[84 + i] = static_cast<char>(static_cast<uint32_t>(mtime) >> (8 * i));
    }
    return record;
}

inline const std::string TERMINATOR = Record("", -1, 0);

struct TestEntry {
    std::string name, content;
    int32_t mtime = SOME_TIME;
};

// Records, terminator, then one stream per entry.
inline std::string BuildArchive(const std::vector<TestEntry>& entries, int level = 6) {
    std::string directory, streams;
    for (const TestEntry& entry : entries) {
        directory += Record(entry.name, static_cast<int32_t>(entry.content.size()), entry.mtime);
        streams += ZlibStream(entry.content, level);
    }
    return directory + TERMINATOR + streams;
}

// A run held at a progress figure, as the test sees it meanwhile.
struct HeldRun {
    pid_t pid;
    int terminal;           // the terminal's master side: keys typed there reach the run
    const ScratchDir& dir;  // the directory it runs in
};

// Where standard output goes: captured; closed at start; a full disk; where standard
// error goes; a pipe nobody reads; or, with standard error, the run's terminal (out then
// holds what the terminal shows).
enum class Stdout { CAPTURED, CLOSED, FULL, INTO_STDERR, UNREAD_PIPE, TERMINAL };

// Every run has TZ three hours east of UTC all year (listed times are local ones).
// Off a terminal, standard input holds keys (q, Ctrl-C, space, newline): none may
// stop the run there.
struct RunOptions {
    std::string threads = "3";  // TOVRA_THREADS
    Stdout stdoutTo = Stdout::CAPTURED;
    int64_t fileSizeLimit = 0;  // what no file the run writes may pass: a full disk
    mode_t umask = 027;         // new files are 0640
    // A new pseudo-terminal as controlling terminal and standard input, typedAhead
    // typed on it before the run starts; a background run is a job of its own.
    bool terminal = false, background = false;
    std::string typedAhead = "";
    std::string cwd = ".";  // where in the directory it runs
    // Limits on its address space and on its user's processes and threads, when set,
    // and another user to run as (the tests then run as root).
    int64_t memoryLimit = 0;
    int processLimit = 0;
    uid_t user = 0;
    // What the rename shim stages (its TOVRA_SHIM), preloaded when set.
    std::string shim = "";
    // When set, the run is held as it writes its second progress figure (by then it has
    // made its temporary file) while this is called, or while this signal is sent.
    std::function<void(const HeldRun&)> whileHeld = nullptr;
    int heldSignal = 0;
};

// ThreadSanitizer's runtime defers a signal to a point it deems safe, and now and then
// never delivers it (gcc 12's libtsan drops a few in a hundred): rows that stop a run by
// a catchable signal are left to the other builds there.
#ifdef TOVRA_THREAD_SANITIZED
constexpr bool SIGNALS_MAY_BE_DROPPED = true;
#else
constexpr bool SIGNALS_MAY_BE_DROPPED = false;
#endif
inline bool StopsByDroppableSignal(const RunOptions& options) {
    return SIGNALS_MAY_BE_DROPPED && options.heldSignal != 0 && options.heldSignal != SIGKILL;
}

// A row's options: the defaults with what set changes.
inline RunOptions With(void (*set)(RunOptions&)) {
    RunOptions options;
    set(options);
    return options;
}

// The child's side: descriptors (out < 0 closes standard output), directory,
// environment and limits, then tovra. It dies with the test, should that be stopped.
[[noreturn]] inline void StartChild(const ScratchDir& dir, const std::vector<std::string>& args,
                                    const RunOptions& options, int out, int err, int input) {
    bool ready = prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 &&
                 (options.terminal ? login_tty(input) == 0 : dup2(input, 0) == 0) &&
                 (options.stdoutTo == Stdout::TERMINAL || dup2(err, 2) == 2) &&
                 chdir((dir / options.cwd).c_str()) == 0;
    int unread[2];
    if (options.stdoutTo == Stdout::UNREAD_PIPE) {
        ready = ready && pipe(unread) == 0 && close(unread[0]) == 0 && dup2(unread[1], 1) == 1;
    } else if (options.stdoutTo != Stdout::TERMINAL) {
        ready = ready && (out < 0 ? close(1) == 0 : dup2(out, 1) == 1);
    }
    umask(options.umask);
    setenv("TZ", "XYZ-3", 1);
    setenv("TOVRA_THREADS", options.threads.c_str(), 1);
    const rlim_t size = options.fileSizeLimit ? rlim_t(options.fileSizeLimit) : RLIM_INFINITY;
    const struct rlimit limit = {size, size};
    ready = ready && setrlimit(RLIMIT_FSIZE, &limit) == 0;
    int status = 0;
    const struct rlimit memory = {rlim_t(options.memoryLimit), rlim_t(options.memoryLimit)};
    const struct rlimit processes = {rlim_t(options.processLimit), rlim_t(options.processLimit)};
    ready = ready && (!options.memoryLimit || setrlimit(RLIMIT_AS, &memory) == 0) &&
            (!options.processLimit || setrlimit(RLIMIT_NPROC, &processes) == 0) &&
            (!options.user || (setgid(options.user) == 0 && setuid(options.user) == 0));
    if (options.processLimit) {  // LeakSanitizer's check at exit needs a thread of its own
        setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    }
    if (!options.shim.empty()) {  // AddressSanitizer's runtime would want to come first
        setenv("LD_PRELOAD", TOVRA_RENAME_SHIM, 1);
        setenv("TOVRA_SHIM", options.shim.c_str(), 1);
        setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    }
    if (options.background && fork() > 0) {  // a job stopped for touching the terminal: 126
        wait3(&status, WUNTRACED, nullptr);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 126);
    }
    std::vector<char*> argv = {const_cast<char*>("tovra")};
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    alarm(60);  // a run that hangs ends by SIGALRM, held or not
    if (ready && prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 &&
        (!options.background || setpgid(0, 0) == 0)) {
        execv(TOVRA_BINARY, argv.data());
    }
    _exit(127);
}

struct RunResult {
    std::string out, err;
    int status = -1;                // exit status 0..255, or 1000 + signal when killed
    bool terminalRestored = false;  // on a terminal: its settings afterwards as before
};

// Runs the built tovra in dir with the given arguments (without the program name).
inline RunResult RunTovra(const ScratchDir& dir, const std::vector<std::string>& args,
                          const RunOptions& options = {}) {
    RunResult result;
    int out[2], master = -1, slave = -1, waiting = 0, status = 0;
    termios before{}, now{};
    char buffer[4096];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    const int err = memfd_create("err", MFD_CLOEXEC), keys = memfd_create("keys", MFD_CLOEXEC);
    EXPECT_EQ(pwrite(keys, "q\x03 \n", 4, 0), 4);
    const std::string& typed = options.typedAhead;
    if (options.terminal) {
        EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        EXPECT_EQ(tcgetattr(slave, &before), 0);
        EXPECT_EQ(write(master, typed.data(), typed.size()), ssize_t(typed.size()));
        // Its echo shows that the terminal, still in line mode, has taken the keys in.
        EXPECT_TRUE(typed.empty() || read(master, buffer, sizeof buffer) > 0);
    }
    // A pipe of one page takes a small write only while it fits into the page's free
    // end: filled to leave room for the banner and the first figure, it holds the run
    // writing the second. A full pipe then tells the run got so far.
    fcntl(out[0], F_SETPIPE_SZ, getpagesize());
    const int capacity = fcntl(out[0], F_GETPIPE_SZ);
    const bool held = options.whileHeld || options.heldSignal != 0;
    const std::string filler(held ? capacity - strlen(BANNER) - 8 : 0, '#');
    EXPECT_EQ(write(out[1], filler.data(), filler.size()), ssize_t(filler.size()));
    const pid_t child = fork();
    if (child == 0) {
        const int stdoutTo = options.stdoutTo == Stdout::FULL          ? open("/dev/full", O_WRONLY)
                             : options.stdoutTo == Stdout::INTO_STDERR ? err
                             : options.stdoutTo == Stdout::CLOSED      ? -1
                                                                       : out[1];
        StartChild(dir, args, options, stdoutTo, err, options.terminal ? slave : keys);
    }
    close(out[1]);
    siginfo_t ended{};
    while (held && ioctl(out[0], FIONREAD, &waiting) == 0 && waiting < capacity &&
           waitid(P_PID, id_t(child), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && !ended.si_pid) {
        usleep(1000);
    }
    if (held) {
        EXPECT_EQ(waiting, capacity) << "the run ended before its second figure";
        if (options.heldSignal != 0) {
            kill(child, options.heldSignal);
        } else {
            options.whileHeld({child, master, dir});
        }
    }
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
        result.out.append(buffer, size_t(n));
    }
    waitpid(child, &status, 0);
    for (ssize_t n = 1; options.stdoutTo == Stdout::TERMINAL && n > 0;) {
        struct pollfd ready = {master, POLLIN, 0};
        n = poll(&ready, 1, 0) > 0 ? read(master, buffer, sizeof buffer) : 0;
        result.out.append(buffer, size_t(std::max<ssize_t>(n, 0)));
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    result.out.erase(0, filler.size());
    result.err = ReadFile("/proc/self/fd/" + std::to_string(err));
    result.terminalRestored = tcgetattr(slave, &now) == 0 && memcmp(&before, &now, sizeof now) == 0;
    for (int fd : {master, slave, out[0], err, keys}) {
        close(fd);
    }
    return result;
}

// An archive's streams, each inflated by zlib alone: their bytes and their contents.
// The lists end at the first stream that does not inflate.
struct Streams {
    std::vector<std::string> bytes, contents;
};
inline Streams SplitStreams(const std::string& archive) {
    Streams streams;
    std::string out(size_t{32} << 20, '\0');  // the largest file a test packs
    for (size_t at = archive.find("\xff\xff\xff\xff", 80) + 8; at < archive.size();) {
        uLong size = out.size(), used = archive.size() - at;  // from past the terminator
        if (uncompress2(reinterpret_cast<Bytef*>(&out[0]), &size,
                        reinterpret_cast<const Bytef*>(archive.data() + at), &used) != Z_OK) {
            break;
        }
        streams.bytes.push_back(archive.substr(at, used));
        streams.contents.push_back(out.substr(0, size));
        at += used;
    }
    return streams;
}

// The contents of an archive's streams, each inflated by zlib alone.
inline std::vector<std::string> InflateStreams(const std::string& archive) {
    return SplitStreams(archive).contents;
}

// The names in dir that the archiver's temporary files carry.
inline std::vector<std::string> TempFilesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& [name, digest] : Snapshot(dir)) {
        if (name.rfind(".tovra-", 0) == 0) {
            names.push_back(name);
        }
    }
    return names;
}

// The exit status a result code leaves: its low 8 bits.
constexpr int StatusOf(int result) {
    return result & 0xff;
}
