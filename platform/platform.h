// The Linux services the archiver relies on: text, files, matching, the console.
// Everything above this layer reaches the operating system only through here.
#pragma once

#include <locale.h>
#include <sys/types.h>

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

// Turns the letters a to z into A to Z in place; every other byte stays.
void UpperCase(std::string* text);

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

struct OpenedFile {
    int fd = -1;
    FileIdentity identity;
    int64_t length = 0;
};

// Returned in place of an errno value for a path that is not a regular file.
constexpr int NOT_REGULAR = -1;

// Opens a regular file for reading without ever blocking on a FIFO or device, and
// fills *file. Returns 0, NOT_REGULAR, or an errno value.
int OpenRegularFile(const char* path, OpenedFile* file);

// Closes a descriptor only read from.
void CloseReadOnly(int fd);

// Reads size bytes from offset, fewer only at the end of the file, leaving the
// descriptor's position alone. Returns the count, or -1 with errno set.
int64_t ReadFullAt(int fd, void* buffer, size_t size, int64_t offset);

// Writes all size bytes. Returns 0 or an errno value (ENOSPC when nothing more fits).
int WriteAll(int fd, const void* data, size_t size);

enum class PathKind { ABSENT, LINK, REGULAR, OTHER };

struct PathStatus {
    PathKind kind = PathKind::ABSENT;
    int64_t size = 0;
    FileIdentity identity;  // of the directory entry itself: a link is not followed
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
};

// What the path names, without following a link: a rename over the path replaces a
// link itself, never its target.
PathStatus StatusOfPath(const char* path);

// A file this run created, read and written only through fd; its name serves only
// the final rename and the removal on failure.
struct TempFile {
    std::string path;
    int fd = -1;
    FileIdentity identity;
};

// Returned by RenameTempFile when the name no longer refers to the file created.
constexpr int TEMP_REPLACED = -1;

// Creates a new empty file "<dir>/<prefix>XXXXXX" (six random letters and digits)
// exclusively, with the permissions of any new file (0666 less the umask).
// Returns 0 or an errno value.
int CreateTempFile(const std::string& dir, const char* prefix, TempFile* temp);

// Closes the descriptor, keeping the file and its name. Returns 0 or an errno value.
int CloseTempFile(TempFile* temp);

// Renames the file over target, provided its name still refers to the file created.
// Returns 0, TEMP_REPLACED (nothing renamed), or an errno value.
int RenameTempFile(TempFile* temp, const char* target);

// Closes the file if open and removes its name, provided that still refers to it.
void RemoveTempFile(TempFile* temp);

// Gives fd the permission bits of old, a regular file, and its owner and group when
// running as root; anything else leaves fd as it is. Returns 0 or an errno value.
int TakePermissionsOf(int fd, const PathStatus& old);

// Sets the last-write time of an open file, leaving its access time as it is.
// Returns 0 or an errno value.
int SetLastWriteTime(int fd, int64_t seconds);

// The directory part of a path ("." when it has none).
std::string DirectoryOf(const std::string& path);

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
