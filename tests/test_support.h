// Helpers shared by the tests: scratch directories, files, archives built by hand,
// and the one runner for every run of the built binary. It also brings what every
// test file uses.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

constexpr int32_t SOME_TIME = 1000000000;  // 09.09.2001 01:46:40 UTC
constexpr uid_t NOBODY = 65534;
extern const char BANNER[];

// A fresh directory, removed with everything in it afterwards.
class ScratchDir {
  public:
    explicit ScratchDir(const std::string& base = "/tmp");
    ~ScratchDir();
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }
    // Every name inside, sorted, with its content (nothing for what is not a regular file).
    std::map<std::string, std::string> Snapshot() const;

  private:
    std::string m_path;
};

// Writes a file with the given last-write time.
void WriteFile(const std::string& path, const std::string& content, int64_t mtime = SOME_TIME);
std::string ReadFile(const std::string& path);
// Deterministic bytes: text-like when compressible, else noise.
std::string SampleBytes(size_t size, uint32_t seed, bool compressible = true);
// The names in dir that the archiver's temporary files carry.
std::vector<std::string> TempFilesIn(const std::string& dir);

// One zlib stream of data, as any zlib writer could make it.
std::string ZlibStream(const std::string& data, int level = 6, int strategy = Z_DEFAULT_STRATEGY);
// One 88-byte directory record; name is copied raw (up to 80 bytes, zero-padded).
std::string Record(const std::string& name, int32_t size, int32_t mtime = SOME_TIME);
std::string Terminator();
struct TestEntry {
    std::string name, content;
    int32_t mtime = SOME_TIME;
};
// Records, terminator, then one level-6 stream per entry.
std::string BuildArchive(const std::vector<TestEntry>& entries);
// The contents of an archive's streams, each inflated by zlib alone; the list ends at
// the first stream that does not inflate.
std::vector<std::string> InflateStreams(const std::string& archive);

struct RunResult {
    std::string out, err;
    int status = -1;                // exit status 0..255, or 1000 + signal when killed
    bool terminalRestored = false;  // on a terminal: its settings afterwards as before
};

struct HeldRun {
    pid_t pid;
    int terminal;  // the terminal's master side: keys typed there reach the run
};

struct RunOptions {
    std::string cwd = ".", stdinPath = "/dev/null", tz = "UTC";
    // Standard output: "" captures it, "-" starts the run with it closed, "&2" sends it
    // where standard error goes, "|" to a pipe nobody reads, "tty" sends both to the
    // terminal (out then holds what the terminal shows), else it goes to the path.
    std::string stdoutPath{};
    std::vector<std::string> env{};  // "NAME=value" each
    int64_t fileSizeLimit = 0;       // what no file the run writes may pass: a full disk
    int64_t memoryLimit = 0;         // the run's address space, when set
    int processLimit = 0;            // the processes and threads its user may have, when set
    uid_t user = 0;                  // another user to run as, when set (the tests run as root)
    // A new pseudo-terminal as controlling terminal and standard input, typedAhead
    // typed on it before the run starts; a background run is a job of its own.
    bool terminal = false, background = false;
    std::string typedAhead{};
    // When set (2 or more), the run is held while writing this progress figure and
    // whileHeld is called: by then it has made its temporary file.
    int holdAtFigure = 0;
    std::function<void(const HeldRun&)> whileHeld{};
};

// Runs the built tovra with the given arguments (without the program name).
RunResult RunTovra(const std::vector<std::string>& args, const RunOptions& options);

// The exit status a result code leaves: its low 8 bits.
constexpr int StatusOf(int result) {
    return result & 0xff;
}
