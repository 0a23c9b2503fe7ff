// Helpers shared by the tests: scratch directories, files, hand-built archives,
// and running the built binary.
#pragma once

#include <zlib.h>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A fresh directory, removed with everything in it afterwards.
class ScratchDir {
  public:
    // Made inside base: /tmp, or another file system when a test needs one.
    explicit ScratchDir(const std::string& base = "/tmp");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }
    // Names of the entries inside, sorted (without . and ..).
    std::vector<std::string> List() const;

  private:
    std::string m_path;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
int64_t MtimeOf(const std::string& path);
void SetMtime(const std::string& path, int64_t seconds);
// Deterministic bytes: text-like when compressible, else noise.
std::string SampleBytes(size_t size, uint32_t seed, bool compressible = true);

// One zlib stream of data, as any zlib writer could make it.
std::string ZlibStream(const std::string& data, int level = 6, int strategy = Z_DEFAULT_STRATEGY);

// One 88-byte directory record; name is copied raw (up to 80 bytes, zero-padded).
std::string Record(const std::string& name, int32_t size, int32_t mtime);
std::string Terminator();

// The contents of an archive's streams, each inflated by zlib alone; the list ends
// at the first stream that does not inflate.
std::vector<std::string> InflateStreams(const std::string& archive);

struct TestEntry {
    std::string name;
    std::string content;
    int32_t mtime = 1000000000;
};
// Records, terminator, then one level-6 stream per entry.
std::string BuildArchive(const std::vector<TestEntry>& entries);

struct RunResult {
    std::string out;
    std::string err;
    int status = -1;                // exit status 0..255, or 1000 + signal when killed
    unsigned modesDuring = 0;       // on a terminal: its local modes while the run was held
    bool terminalRestored = false;  // on a terminal: its settings afterwards as before
};

// What a test does while a run is held (see RunOptions::holdAtFigure).
struct HeldRun {
    pid_t pid;
    int terminal;  // the terminal's master side (keys typed there reach the run), or -1
};

struct RunOptions {
    std::string cwd = ".";
    std::string stdinPath = "/dev/null";
    std::string tz = "UTC";
    int timeoutSeconds = 60;
    // The size no file the run writes may pass (a full disk); 0 for no limit.
    int64_t fileSizeLimit = 0;
    // Run as the user nobody when the tests run as root, so permissions apply.
    bool unprivileged = false;
    // Standard output: "" captures it, "-" starts the run with it closed, else a path.
    std::string stdoutPath{};
    // Extra environment, "NAME=value" each.
    std::vector<std::string> env{};
    // A new pseudo-terminal as controlling terminal and standard input; typedAhead is
    // typed on it before the run starts. A background run is a job of its own.
    bool terminal = false;
    std::string typedAhead{};
    bool background = false;
    // When set (2 or more), the run is held while writing progress figure holdAtFigure
    // and whileHeld is called; the run then goes on. By then the run has made its
    // temporary file and shown the figures before.
    int holdAtFigure = 0;
    std::function<void(const HeldRun&)> whileHeld{};
};

// Runs the built tovra with the given arguments (without the program name).
RunResult RunTovra(const std::vector<std::string>& args, const RunOptions& options);

// The names in dir that the archiver's temporary files carry (".tovra-" prefix).
std::vector<std::string> TempFilesIn(const std::string& dir);

// The exit status a result code leaves: its low 8 bits.
inline int StatusOf(int result) {
    return result & 0xff;
}

extern const char BANNER[];
extern const char USAGE[];
