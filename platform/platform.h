// The Linux services the archiver relies on: text, files, matching, the console.
// Everything above this layer reaches the operating system only through here.
#pragma once

#include <locale.h>
#include <sys/types.h>
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

// Formats seconds since 1970 UTC as local time with the given strftime pattern.
// Returns 0, or -1 when the time cannot be converted (out then holds a placeholder).
int FormatLocalTime(int64_t seconds, const char* pattern, char* out, size_t size);

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
    int fd = -1;
    FileIdentity identity;
    int64_t length = 0;
    FileVersion version;  // as it was opened
};

// Returned in place of an errno value for a path that is not a regular file.
constexpr int NOT_REGULAR = -1;

// Opens a regular file for reading without ever blocking on a FIFO or device, and
// fills *file. Returns 0, NOT_REGULAR, or an errno value.
int OpenRegularFile(const char* path, OpenedFile* file);

// Closes a descriptor only read from.
void CloseReadOnly(int fd);

// The version of an open file. Returns 0 or an errno value.
int VersionOf(int fd, FileVersion* version);

// True when both describe the same size and times, to the nanosecond.
bool SameVersion(const FileVersion& a, const FileVersion& b);

// Reads size bytes from offset, fewer only at the end of the file, leaving the
// descriptor's position alone. Returns the count, or -1 with errno set.
int64_t ReadFullAt(int fd, void* buffer, size_t size, int64_t offset);

// Writes all size bytes. Returns 0 or an errno value (ENOSPC when nothing more fits).
int WriteAll(int fd, const void* data, size_t size);

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
    DirectoryHandle() = default;
    ~DirectoryHandle();
    DirectoryHandle(const DirectoryHandle&) = delete;
    DirectoryHandle& operator=(const DirectoryHandle&) = delete;

    // Opens the directory. Returns 0 or an errno value.
    int Open(const std::string& path);

    int fd() const { return m_fd; }
    // Sticky and writable by all, as /tmp: others may put files in it, each keeping
    // its own.
    bool Shared() const { return m_shared; }
    uid_t Owner() const { return m_owner; }

  private:
    int m_fd = -1;
    bool m_shared = false;
    uid_t m_owner = 0;
};

// What the name in dir refers to, without following a link: a rename over the name
// replaces a link itself, never its target.
PathStatus StatusAt(const DirectoryHandle& dir, const std::string& name);

// Opens the regular file name in dir for reading, as OpenRegularFile does, but never
// through a link. Returns 0, NOT_REGULAR, or an errno value.
int OpenRegularFileAt(const DirectoryHandle& dir, const std::string& name, OpenedFile* file);

// True when what target names belongs to the user this run acts as, or to the
// directory's owner: the only files the kernel lets a run open for writing in a
// shared directory.
bool OwnedByRunOrDirectory(const DirectoryHandle& dir, const PathStatus& target);

// How a rename of a temporary file over its target ended.
enum class RenameOutcome {
    DONE,
    EXCHANGED,        // the names were exchanged: what was at the target is at the temporary name
    TEMP_REMOVED,     // the temporary file's name is gone: nothing renamed
    TEMP_REPLACED,    // its name refers to another file now: nothing renamed
    TARGET_APPEARED,  // the target was absent and something came there: nothing renamed
    TARGET_NOT_OURS,  // renamed, yet the target's name refers to another file now
    FAILED            // the system refused; errnum says why
};

// A file this run creates, private from birth (0600), read and written only through
// its descriptor; its name serves only the final rename and its removal. It removes
// itself, if its name is still its own, unless it was put in place; a name it cannot
// remove is noted.
class TempFile {
  public:
    TempFile() = default;
    ~TempFile();
    TempFile(TempFile&& other) noexcept;
    TempFile& operator=(TempFile&& other) noexcept;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // Creates "<prefix>XXXXXX" (six random letters and digits) in dir, which must
    // outlive it, exclusively. Returns 0 or an errno value.
    int Create(const DirectoryHandle& dir, const char* prefix);

    bool Exists() const { return !m_name.empty(); }
    int fd() const { return m_fd; }
    const std::string& name() const { return m_name; }

    // Gives the file the mode and owner it must have in place of target: the
    // permission bits of a regular file there (and its owner and group, as root),
    // else those of any new file (0666 less the umask). Returns 0 or an errno value.
    int TakeFinalPermissions(const PathStatus& target) const;

    // Closes the descriptor, keeping the file. Returns 0 or an errno value.
    int Close();

    // Puts the file at target, provided its name still refers to the file created.
    // A target known to be absent (targetAbsent) is taken only while it still is. Any
    // other is exchanged with the file where the file system can (EXCHANGED, with
    // *found what came out at the temporary name: the caller then keeps or undoes the
    // exchange), else renamed over. Afterwards target must refer to the file. *errnum
    // says why for FAILED; *found is what the name concerned refers to for the others.
    RenameOutcome PutInPlace(const std::string& target, bool targetAbsent, int* errnum,
                             PathStatus* found);

    // After EXCHANGED: removes replaced, the file that came out, if the temporary name
    // still refers to it, and confirms the target as PutInPlace does. Returns DONE,
    // TARGET_NOT_OURS, or FAILED with *errnum when the file replaced cannot be removed.
    RenameOutcome KeepExchange(const PathStatus& replaced, int* errnum, PathStatus* found);

    // After EXCHANGED: exchanges the names back, so that what was found keeps its name
    // and the file goes with its owner. Returns 0, or an errno value when the names
    // stay exchanged.
    int UndoExchange();

  private:
    RenameOutcome ConfirmTarget(const std::string& target, PathStatus* found);
    void Remove();

    int m_dirFd = -1;  // the directory's, borrowed
    int m_fd = -1;
    std::string m_name;
    std::string m_target;  // what an exchange swapped the name with
    FileIdentity m_identity;
};

// Empties an open file and puts its position back at the start, so that it can be
// written again from scratch. Returns 0 or an errno value.
int EmptyFile(int fd);

// Sets the last-write time of an open file, leaving its access time as it is.
// Returns 0 or an errno value.
int SetLastWriteTime(int fd, int64_t seconds);

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

    // Frees what it held, then takes size bytes (at least one page). Returns 0 or an
    // errno value (ENOMEM when the system gives no more).
    int Allocate(size_t size);

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
// Returns 0, or an errno value when the pattern's directory cannot be read.
int FindMatches(const std::string& pattern, std::vector<FoundFile>* found);

// --- standard output ----------------------------------------------------

// Prints text to standard output as it is, and remembers whether it ended a line.
void PrintOut(const std::string& text);

// True when standard error shows on the same terminal as standard output and the last
// byte printed there was not a newline: a note written now would run on from that line.
bool NoteWouldContinueOutputLine();

// --- process and console ------------------------------------------------

// Opens /dev/null on any of the descriptors 0, 1 and 2 found closed, so no file the
// run opens can take a standard descriptor's number, notes whether standard output
// goes to the null device, and makes a write past the file-size limit fail like one
// on a full disk. Called first thing.
void PrepareProcess();

// How many workers packing runs: one per CPU the process may run on, or what the
// environment variable TOVRA_THREADS says (a positive integer; anything else is
// noted as a warning and ignored). At most 256.
int WorkerThreads();

// True once a key press was consumed or a termination signal arrived during the run.
bool PollStopRequest();

// True when a termination signal has arrived during the run (never reads a key).
bool StopSignalled();

// Why the run stopped: "stopped by a key press" or "stopped by signal SIGINT".
std::string StopReason();

// Holds the console ready for a run that a key press or a termination signal may
// stop, for as long as it lives; then gives the terminal back exactly as it was.
class StoppableRun {
  public:
    StoppableRun();
    ~StoppableRun();
    StoppableRun(const StoppableRun&) = delete;
    StoppableRun& operator=(const StoppableRun&) = delete;
};
