// The Linux services the archiver relies on: text, files, matching, the console.
// Everything above this layer reaches the operating system only through here.
#pragma once

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

// --- files --------------------------------------------------------------

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool exists = false;
};

// Opens a regular file for binary reading without ever blocking on a FIFO or device.
// Returns the stream, or null with *irregular set when the path is not a regular
// file, or null with errno set when it cannot be opened.
FILE* OpenRegularFile(const char* path, bool* irregular);

// Returns the length of an open file, or -1.
int64_t FileLength(FILE* file);

// Removes a file; the caller only cares that it is gone.
void DeleteFile(const char* path);

// The device and inode of the directory entry itself (a link is not followed: a
// rename over the path replaces the link, never its target); exists is false when none.
FileIdentity IdentifyFile(const char* path);

// Creates a new empty file with a unique name "<dir>/<prefix>XXXXXX" and the permissions
// of any new file (0666 less the umask). Returns it open for binary writing and fills
// *path, or returns null with errno set.
FILE* CreateUniqueFile(const std::string& dir, const char* prefix, std::string* path);

// Sets the last-write time of an open file, leaving its access time as it is.
// Returns 0, or -1 with errno set.
int SetLastWriteTime(int fd, int64_t seconds);

// Opens a file for binary writing as fopen's "wb" does (created, or emptied when it
// holds anything), but leaves an already empty file untruncated: on ext4 truncating
// even an empty file makes its close start writing all its new data to disk.
// Returns the stream, or null with errno set.
FILE* OpenEmptiedFile(const char* path);

// Copies up to size bytes from inFd at offset to outFd's current position inside the
// kernel, leaving inFd's own position alone. Returns the bytes copied, 0 at the end of
// the input, or -1 with errno set.
int64_t CopyFileRange(int inFd, int64_t offset, int outFd, int64_t size);

// True when CopyFileRange failed only because the kernel or the file system offers no
// such copy between these files; a copy through user memory then does the job.
bool KernelCopyUnavailable(int errnum);

// True when the stream writes to the null device, where nothing written can be seen.
bool IsNullDevice(FILE* stream);

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

// --- console ------------------------------------------------------------

// Prepares the console for a run that may be stopped by a key press or a
// termination signal; EndStoppableRun restores the terminal exactly as it was.
void BeginStoppableRun();
void EndStoppableRun();

// True once a key press was consumed or a termination signal arrived during the run.
bool PollStopRequest();

// True when a termination signal has arrived during the run (never reads a key).
bool StopSignalled();

// Holds the console ready for stopping for as long as it lives.
class StoppableRun {
  public:
    StoppableRun() { BeginStoppableRun(); }
    ~StoppableRun() { EndStoppableRun(); }
    StoppableRun(const StoppableRun&) = delete;
    StoppableRun& operator=(const StoppableRun&) = delete;
};
