// The process itself: standard descriptors made safe at start, the umask, the
// file-size signal, and how many workers packing and unpacking may run.
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace {

constexpr int STANDARD_DESCRIPTORS = 3;
// Beyond this, more workers only cost memory; it also keeps a mistyped count from
// asking the system for more threads than it will give.
constexpr long MAX_WORKERS = 256;
const char THREADS_VARIABLE[] = "TOVRA_THREADS";
// An archive's entries, and a few more for the archive, its directory and the
// standard descriptors.
constexpr rlim_t DESCRIPTORS_WANTED = 1024 + 64;
constexpr mode_t NEW_FILE_MODE = 0666;

// True when fd writes to the null device, where nothing written can be seen.
bool IsNullDevice(int fd) {
    struct stat target;
    struct stat null;
    return fstat(fd, &target) == 0 && stat("/dev/null", &null) == 0 && S_ISCHR(target.st_mode) &&
           S_ISCHR(null.st_mode) && target.st_rdev == null.st_rdev;
}

bool IsClosed(int fd) {
    return fcntl(fd, F_GETFD) < 0 && errno == EBADF;
}

int CpusAllowed() {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    return sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? std::max(CPU_COUNT(&cpus), 1) : 1;
}

// Unpacking holds every entry's file open until all are renamed into place.
void AllowDescriptorsForEveryEntry() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < DESCRIPTORS_WANTED) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, DESCRIPTORS_WANTED);
        // Without more, an archive of many entries fails cleanly on its own.
        (void)setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

ProcessStart PrepareProcess() {
    ProcessStart start;
    for (int fd = 0; fd < STANDARD_DESCRIPTORS; ++fd) {
        if (!IsClosed(fd)) {
            continue;
        }
        start.stdoutWasClosed = start.stdoutWasClosed || fd == STDOUT_FILENO;
        // The lowest free number is fd itself, since those below are open by now.
        Descriptor null(open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY));
        if (null.get() == fd) {
            null.Release();
        } else if (null.IsOpen()) {
            dup2(null.get(), fd);
        }
    }
    start.stdoutDiscarded = IsNullDevice(STDOUT_FILENO);
    // Read once, while no thread can create a file: it is the mode of new files.
    const mode_t mask = umask(0);
    umask(mask);
    start.newFileMode = NEW_FILE_MODE & ~mask;
    AllowDescriptorsForEveryEntry();
    // Past a file-size limit a write then fails like one on a full disk, and the run
    // cleans up, instead of dying with a core and a temporary file left behind.
    (void)signal(SIGXFSZ, SIG_IGN);  // cannot fail for a valid signal
    return start;
}

int WorkerThreads(Report* report) {
    const int cpus = static_cast<int>(std::min<long>(CpusAllowed(), MAX_WORKERS));
    const char* text = getenv(THREADS_VARIABLE);
    if (text == nullptr) {
        return cpus;
    }
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || value < 1 || errno == ERANGE) {
        report->Warn(FileNote(THREADS_VARIABLE, std::string("'") + text +
                                                    "' is not a positive integer, " +
                                                    std::to_string(cpus) + " used"));
        return cpus;
    }
    if (value > MAX_WORKERS) {
        report->Warn(FileNote(THREADS_VARIABLE, std::string(text) + " is more than " +
                                                    std::to_string(MAX_WORKERS) + ", " +
                                                    std::to_string(MAX_WORKERS) + " used"));
        return static_cast<int>(MAX_WORKERS);
    }
    return static_cast<int>(value);
}
