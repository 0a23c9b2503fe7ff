// The Linux services the archiver relies on: text, files, matching, the console.
// Everything above this layer reaches the operating system only through here.
#pragma once

#include <locale.h>
#include <signal.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/result.h"

// --- text ---------------------------------------------------------------

constexpr int TIME_TEXT_SIZE = 20;  // 19 characters and the terminator

// Formats seconds since 1970 UTC as local time with the given strftime pattern, or
// puts a placeholder in out when the time cannot be converted.
void FormatLocalTime(int64_t seconds, const char* pattern, char* out, size_t size);

// Cuts text to at most a number of display columns and pads it with spaces to exactly
// that many. Valid UTF-8 is measured as a terminal shows it, whatever the user's
// locale: never cut inside a character, a wide character counting two columns, one
// that cannot be shown turned into '?'. Any other text, or any text when no UTF-8
// locale could be loaded, counts a column per byte.
class ColumnFitter {
  public:
    ColumnFitter();  // loads the UTF-8 locale it measures by, once for many texts
    ~ColumnFitter();
    ColumnFitter(const ColumnFitter&) = delete;
    ColumnFitter& operator=(const ColumnFitter&) = delete;
    std::string Fit(const std::string& text, size_t columns) const;

  private:
    locale_t m_utf8;  // nullptr when it could not be loaded
};

// --- files --------------------------------------------------------------

// A descriptor this program opened, closed when its owner goes; handed over only by a
// move, so that exactly one owner closes it.
class Descriptor {
  public:
    Descriptor() = default;
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor();
    Descriptor(Descriptor&& other) noexcept;
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }

    // Closes it now: a full disk may show only here. Returns OK, or FAIL with errno.
    Result Close();
    // Gives the number up unclosed, to a standard descriptor it was opened to become.
    int Release();

  private:
    int m_fd = -1;
};

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool exists = false;
};

// True when both exist and are the same file (device and inode).
bool SameFile(const FileIdentity& a, const FileIdentity& b);

// What tells one version of a file from another: a rewrite in place changes the
// modification time, and anything done to it the change time.
struct FileVersion {
    int64_t size = 0;
    struct timespec modified {};
    struct timespec changed {};
};

struct OpenedFile {
    Descriptor fd;
    FileIdentity identity;
    int64_t length = 0;
    FileVersion version;  // as it was opened
};

// Opens a regular file for reading without ever blocking on a FIFO or device, and
// fills *file. Returns OK, DAMAGED when the path names something that is not a
// regular file, or OPEN with errno; the note names path.
Result OpenRegularFile(const char* path, OpenedFile* file);

// The version of an open file. Returns OK, or OPEN with errno (the file not named).
Result VersionOf(int fd, FileVersion* version);

// True when both describe the same size and times, to the nanosecond.
bool SameVersion(const FileVersion& a, const FileVersion& b);

// Reads size bytes from offset into buffer, fewer only at the end of the file, leaving
// the descriptor's position alone, and sets *got to the count. Returns OK, or FAIL with
// errno (the file not named).
Result ReadFullAt(int fd, void* buffer, size_t size, int64_t offset, size_t* got);

// Writes all size bytes. Returns OK, or FAIL with errno (ENOSPC when nothing more fits;
// the file not named).
Result WriteAll(int fd, const void* data, size_t size);

// Writes all size bytes at offset, leaving the descriptor's position alone. Returns as
// WriteAll does.
Result WriteAllAt(int fd, const void* data, size_t size, int64_t offset);

enum class PathKind { ABSENT, LINK, REGULAR, DIRECTORY, OTHER };

struct PathStatus {
    PathKind kind = PathKind::ABSENT;
    int64_t size = 0;
    FileIdentity identity;  // of the directory entry itself: a link is not followed
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
};

// A directory held by descriptor for a run: files are made, examined and renamed
// relative to it, so the directory being moved or replaced meanwhile redirects
// nothing and strands nothing.
class DirectoryHandle {
  public:
    // Opens the directory. Returns OK, or OPEN with errno (the directory not named).
    Result Open(const std::string& path);

    int fd() const { return m_fd.get(); }
    // Sticky and writable by all, as /tmp: others may put files in it, each keeping
    // its own.
    bool Shared() const { return m_shared; }
    uid_t Owner() const { return m_owner; }

  private:
    Descriptor m_fd;
    bool m_shared = false;
    uid_t m_owner = 0;
};

// What the name in dir refers to, without following a link: a rename over the name
// replaces a link itself, never its target.
PathStatus StatusAt(const DirectoryHandle& dir, const std::string& name);

// Opens the regular file name in dir for reading, as OpenRegularFile does, but never
// through a link.
Result OpenRegularFileAt(const DirectoryHandle& dir, const std::string& name, OpenedFile* file);

// True when what target names belongs to the user this run acts as, or to the
// directory's owner: the only files the kernel lets a run open for writing in a
// shared directory.
bool OwnedByRunOrDirectory(const DirectoryHandle& dir, const PathStatus& target);

// A file this run creates, private from birth (0600), read and written only through
// its descriptor; its name serves only the final rename and its removal. It removes
// itself, if its name is still its own, unless it was put in place; a name it cannot
// remove is told in the run's report. Its operations on names are the steps a
// replacement is made of; which to take, and when, is the caller's to decide.
class TempFile {
  public:
    TempFile() = default;
    ~TempFile();
    TempFile(TempFile&& other) noexcept;
    TempFile& operator=(TempFile&& other) noexcept;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // Creates "<prefix>XXXXXX" (six random letters and digits) in dir, which must
    // outlive it, exclusively; report, which must outlive it too, hears of a name it
    // cannot remove. Returns OK, or OPEN with errno (the file not named).
    Result Create(const DirectoryHandle& dir, const char* prefix, Report* report);

    bool Exists() const { return !m_name.empty(); }
    int fd() const { return m_fd.get(); }
    const std::string& name() const { return m_name; }

    // Gives the file the mode and owner it must have in place of target: the
    // permission bits of a regular file there (and its owner and group, as root),
    // else newFileMode. Returns OK, or OPEN with errno (the file not named).
    Result TakeFinalPermissions(const PathStatus& target, mode_t newFileMode) const;

    // Closes the descriptor, keeping the file. Returns OK, or FAIL with errno.
    Result Close();

    // True when status describes the file created.
    bool Is(const PathStatus& status) const;
    // What its name refers to now.
    PathStatus AtItsName() const;

    // Exchanges its name with target's: what was at target is at its name then.
    // Returns OK, or OPEN with errno (EINVAL where the file system cannot).
    Result ExchangeWith(const std::string& target);
    // After ExchangeWith: gives both names back. Returns OK, or OPEN with errno when
    // the names stay exchanged (its name then refers to what was found, which is not
    // this run's to remove).
    Result UndoExchange();
    // After ExchangeWith: removes what came out at its name if it is still replaced.
    // Returns OK, or OPEN with errno.
    Result RemoveReplaced(const PathStatus& replaced);

    // Renames the file to target; when exclusive, never over a file there. Returns OK,
    // or OPEN with errno (EEXIST when something came at target).
    Result RenameTo(const std::string& target, bool exclusive);

  private:
    void Remove();

    int m_dirFd = -1;  // the directory's, borrowed
    Report* m_report = nullptr;
    Descriptor m_fd;
    std::string m_name;
    std::string m_target;  // what an exchange swapped the name with
    FileIdentity m_identity;
};

// Empties an open file and puts its position back at the start, so that it can be
// written again from scratch. Returns OK, or FAIL with errno (the file not named).
Result EmptyFile(int fd);

// Sets the last-write time of an open file, leaving its access time as it is.
// Returns OK, or FAIL with errno (the file not named).
Result SetLastWriteTime(int fd, int64_t seconds);

// The directory part of a path ("." when it has none) and the last component ("."
// when the path ends in a slash, so that it names the directory itself).
std::string DirectoryOf(const std::string& path);
std::string BaseNameOf(const std::string& path);

// --- memory -------------------------------------------------------------

// Memory in whole pages straight from the system, untouched until used and given back
// at once when freed or cut, never kept by an allocator for later: a run that holds
// large buffers only for a while then costs only what it holds at any moment.
class PageBuffer {
  public:
    PageBuffer() = default;
    ~PageBuffer() { Free(); }
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;

    // Frees what it held, then takes size bytes (at least one page). Returns false
    // when the system gives no more.
    bool Allocate(size_t size);

    // Keeps the pages that hold the first size bytes and gives back the rest.
    void Shrink(size_t size);

    void Free();

    unsigned char* data() const { return m_data; }
    // What it holds, in whole pages.
    size_t held() const { return m_held; }

    // What a buffer of size bytes holds.
    static size_t Held(size_t size);

  private:
    unsigned char* m_data = nullptr;
    size_t m_held = 0;
};

// --- matching -----------------------------------------------------------

struct FoundFile {
    std::string name;  // bare name as the directory holds it
    std::string path;  // the path that opens it
    int64_t size = 0;
    int64_t mtime = 0;
    FileIdentity identity;
    bool isDirectory = false;
};

// Lists the entries one name or wildcard pattern matches, sorted by name bytes.
// Directories are reported (so callers can skip them); anything that is neither a
// regular file nor a directory, and dangling links, are left out unopened.
// Returns OK, or FAIL with errno, naming the pattern, when its directory cannot be read.
Result FindMatches(const std::string& pattern, std::vector<FoundFile>* found);

// --- standard output ----------------------------------------------------

// Prints text to standard output as it is, and remembers whether it ended a line.
void PrintOut(const std::string& text);

// True when standard error shows on the same terminal as standard output and the last
// byte printed there was not a newline: a note written now would run on from that line.
bool NoteWouldContinueOutputLine();

// --- process and console ------------------------------------------------

// What the process found at its start, for the run to act on.
struct ProcessStart {
    bool stdoutWasClosed = false;  // descriptor 1 is /dev/null now: a listing has nowhere to go
    bool stdoutDiscarded = false;  // standard output is the null device: figures need no flush
    mode_t newFileMode = 0644;     // the mode a new file gets: 0666 less the umask
};

// Opens /dev/null on any of the descriptors 0, 1 and 2 found closed, so no file the
// run opens can take a standard descriptor's number, reads the umask while no thread
// can create a file, and makes a write past the file-size limit fail like one on a
// full disk. Called first thing.
ProcessStart PrepareProcess();

// How many workers packing and unpacking run: one per CPU the process may run on, or
// what the environment variable TOVRA_THREADS says (a positive integer; anything else
// is warned of in report and ignored). At most 256.
int WorkerThreads(Report* report);

// Holds the console ready for a run that a key press or a termination signal may
// stop, for as long as it lives; then gives the terminal and the signals' actions back
// exactly as they were.
class StoppableRun {
  public:
    StoppableRun();
    ~StoppableRun();
    StoppableRun(const StoppableRun&) = delete;
    StoppableRun& operator=(const StoppableRun&) = delete;

    // True once a key press was consumed or a termination signal arrived.
    bool StopRequested();
    // True when a termination signal has arrived (never reads a key).
    static bool Signalled();
    // Why the run stopped: "stopped by a key press" or "stopped by signal SIGINT".
    std::string StopReason() const;

  private:
    void EnterKeyMode();
    void LeaveKeyMode();

    bool m_keyboardReady = false;  // in single-key mode: the terminal is to be given back
    bool m_stopByKey = false;
    struct termios m_savedTerminal {};
    struct sigaction m_savedActions[NSIG] {};  // by signal number
};
