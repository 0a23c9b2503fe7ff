// Extraction: inflate every stream into one temporary file, then cut it into the
// entry files. Each entry is written under a temporary name and renamed over its
// own name only when complete, so no file is ever half-replaced or written through
// a link, and nothing is written outside the current directory.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "archive/archive_entry.h"
#include "archive/archive_tool.h"
#include "platform/platform.h"

unsigned char g_copyBuffer[COPY_CHUNK_SIZE];

namespace {

const char UNPACK_PREFIX[] = ".tovra-unpack-";
const char ENTRY_PREFIX[] = ".tovra-entry-";
const char HERE[] = ".";

// Large enough that the system calls cost nothing, small enough that a termination
// signal is answered at once.
constexpr int64_t KERNEL_COPY_PIECE = int64_t{16} * 1024 * 1024;

// Only a plain name stays inside the current directory.
bool IsPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// Copies size bytes from the temporary file's offset in chunks of the copy buffer.
// Returns 0, RESULT_FAIL on a short read or write, or RESULT_ABORT when a
// termination signal arrived.
int CopyBytes(FILE* in, int64_t offset, FILE* out, int64_t size, const std::string& name) {
    if (fseeko(in, offset, SEEK_SET) != 0) {
        NoteFileError(name.c_str(), errno);
        return RESULT_FAIL;
    }
    int64_t copied = 0;
    while (copied < size) {
        if (StopSignalled()) {
            return RESULT_ABORT;
        }
        size_t chunk = static_cast<size_t>(std::min<int64_t>(size - copied, COPY_CHUNK_SIZE));
        if (fread(g_copyBuffer, 1, chunk, in) != chunk) {
            NoteFile(name.c_str(), "short read from the temporary file");
            return RESULT_FAIL;
        }
        if (fwrite(g_copyBuffer, 1, chunk, out) != chunk) {
            NoteFileError(name.c_str(), errno);
            return RESULT_FAIL;
        }
        copied += static_cast<int64_t>(chunk);
    }
    return RESULT_OK;
}

// Copies size bytes from the temporary file's offset inside the kernel, in pieces so
// that a termination signal is seen between them, or through the copy buffer where
// the kernel offers no such copy. Results as CopyBytes.
int CopyEntryBytes(FILE* in, int64_t offset, FILE* out, int64_t size, const std::string& name) {
    int64_t copied = 0;
    while (copied < size) {
        if (StopSignalled()) {
            return RESULT_ABORT;
        }
        int64_t piece = std::min<int64_t>(size - copied, KERNEL_COPY_PIECE);
        int64_t done = CopyFileRange(fileno(in), offset + copied, fileno(out), piece);
        if (done > 0) {
            copied += done;
            continue;
        }
        if (done < 0 && errno == EINTR) {
            continue;
        }
        // Some file systems answer 0 instead of an error; the copy through user memory
        // then tells a truly short temporary file from a missing kernel copy.
        if (copied == 0 && (done == 0 || KernelCopyUnavailable(errno))) {
            return CopyBytes(in, offset, out, size, name);
        }
        if (done == 0) {
            NoteFile(name.c_str(), "short read from the temporary file");
        } else {
            NoteFileError(name.c_str(), errno);
        }
        return RESULT_FAIL;
    }
    return RESULT_OK;
}

// Fills a new file with the entry's bytes, found at offset in the temporary file, and
// its time, then renames it over the name.
int WriteEntryFile(FILE* in, int64_t offset, const ArchiveEntry& entry, const std::string& name) {
    std::string tempPath;
    FILE* out = CreateUniqueFile(HERE, ENTRY_PREFIX, &tempPath);
    if (out == nullptr) {
        NoteFileError(name.c_str(), errno);
        return RESULT_OPEN;
    }
    int result = CopyEntryBytes(in, offset, out, entry.m_size, name);
    // Flushed before the time is set, so no later write can move it.
    if (result == RESULT_OK &&
        (fflush(out) != 0 || SetLastWriteTime(fileno(out), entry.m_mtime) != 0)) {
        NoteFileError(name.c_str(), errno);
        result = RESULT_FAIL;
    }
    if (fclose(out) != 0 && result == RESULT_OK) {
        NoteFileError(name.c_str(), errno);
        result = RESULT_FAIL;
    }
    // rename replaces a link itself, never the file it points to.
    if (result == RESULT_OK && rename(tempPath.c_str(), name.c_str()) != 0) {
        NoteFileError(name.c_str(), errno);
        result = RESULT_OPEN;
    }
    if (result != RESULT_OK) {
        DeleteFile(tempPath.c_str());
    }
    return result;
}

int ExtractEntry(FILE* in, int64_t offset, const ArchiveEntry& entry) {
    std::string name = EntryName(entry);
    if (!IsPlainFileName(name)) {
        NoteFile(name.empty() ? "(empty name)" : name.c_str(), "unsafe entry name, not extracted");
        return RESULT_DAMAGED;
    }
    return WriteEntryFile(in, offset, entry, name);
}

}  // namespace

int CArchiveTool::SplitToFiles(const char* tempPath) {
    FILE* in = fopen(tempPath, "rb");
    int openError = errno;
    // Read through the open stream from here on: the name is free at once for an
    // entry that happens to carry it, and no way out can leave it behind.
    DeleteFile(tempPath);
    if (in == nullptr) {
        NoteFileError(tempPath, openError);
        return RESULT_OPEN;
    }
    int result = RESULT_OK;
    int64_t offset = 0;
    for (int slot = 0; g_entries[slot].m_size != TERMINATOR_SIZE; ++slot) {
        int entryResult = ExtractEntry(in, offset, g_entries[slot]);
        if (result == RESULT_OK || entryResult == RESULT_ABORT) {
            result = entryResult;
        }
        if (entryResult == RESULT_ABORT) {
            break;
        }
        offset += g_entries[slot].m_size;
    }
    fclose(in);  // NOLINT(cert-err33-c): read only, nothing to lose
    return result;
}

int CArchiveTool::Extract(const char* archive, CConsoleCodec* codec) {
    StoppableRun run;
    std::string tempPath;
    FILE* temp = CreateUniqueFile(HERE, UNPACK_PREFIX, &tempPath);
    if (temp == nullptr) {
        std::string reason = std::string("cannot create a temporary file: ") + strerror(errno);
        NoteFile(HERE, reason.c_str());
        return RESULT_OPEN;
    }
    fclose(temp);  // NOLINT(cert-err33-c): nothing written yet, nothing to lose
    int result = codec->DecompressStreams(archive, tempPath.c_str());
    if (result != RESULT_OK) {
        DeleteFile(tempPath.c_str());
        return result;
    }
    return SplitToFiles(tempPath.c_str());
}
