// Extraction: each stream is inflated straight into a temporary file of its own in the
// current directory, written only through its descriptor. Only when every stream has
// inflated whole are the files renamed over their names, in record order, so a damaged
// or stopped run extracts nothing, no file is ever half-replaced or written through a
// link, and nothing is written outside the current directory.
#include <cerrno>
#include <string>
#include <vector>

#include "archive/archive_entry.h"
#include "archive/archive_tool.h"
#include "archive/replace.h"
#include "codec/unpacker.h"
#include "platform/platform.h"

namespace {

const char ENTRY_PREFIX[] = ".tovra-entry-";
const char HERE[] = ".";

// Only a plain name stays inside the current directory.
bool IsPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// Makes the temporary file an entry is inflated into. An entry that may not be
// extracted gets none: its stream is still inflated, to find the next one, and
// discarded. Returns OK, DAMAGED for a refused name, or OPEN.
Result OpenEntryFile(const std::string& name, const FileIdentity& archive, TempFile* temp) {
    if (!IsPlainFileName(name)) {
        NoteFile(name.empty() ? "(empty name)" : name.c_str(), "unsafe entry name, not extracted");
        return Result::DAMAGED;
    }
    const PathStatus old = StatusOfPath(name.c_str());
    if (SameFile(old.identity, archive)) {
        NoteFile(name.c_str(), "is the archive being unpacked, not replaced");
        return Result::DAMAGED;
    }
    int failure = CreateTempFile(HERE, ENTRY_PREFIX, temp);
    if (failure != 0) {
        NoteFileError(name.c_str(), failure);
        return Result::OPEN;
    }
    Result result = KeepPermissions(temp, name.c_str(), old);
    if (result != Result::OK) {
        RemoveTempFile(temp);
    }
    return result;
}

// Sets the entry file's time, after its last write, and closes it.
// Returns OK, or FAIL with a note.
Result CloseEntryFile(TempFile* temp, const ArchiveEntry& entry, const std::string& name) {
    int failure = SetLastWriteTime(temp->fd, entry.m_mtime);
    int closed = CloseTempFile(temp);
    failure = failure != 0 ? failure : closed;
    if (failure != 0) {
        NoteFileError(name.c_str(), failure);
        return Result::FAIL;
    }
    return Result::OK;
}

}  // namespace

Result CArchiveTool::Extract(const OpenedFile& archive, const char* archiveName,
                             ProgressSink* progress) {
    StoppableRun run;
    std::vector<TempFile> temps(static_cast<size_t>(g_nEntries));
    Unpacker unpacker(*progress);
    Result refused = Result::OK;  // the first failure that leaves the other entries extracted
    // The first failure that extracts nothing.
    Result failure =
        unpacker.Begin(archive.fd, g_lDataOffset, archive.length - g_lDataOffset, archiveName);
    for (int slot = 0; failure == Result::OK && g_entries[slot].m_size != TERMINATOR_SIZE; ++slot) {
        const ArchiveEntry& entry = g_entries[slot];
        const std::string name = EntryName(entry);
        TempFile& temp = temps[static_cast<size_t>(slot)];
        Result opened = OpenEntryFile(name, archive.identity, &temp);
        refused = refused != Result::OK ? refused : opened;
        failure = unpacker.InflateStream(temp.fd, entry.m_size, name.c_str());
        if (failure == Result::OK && temp.fd >= 0) {
            failure = CloseEntryFile(&temp, entry, name);
        }
    }
    if (failure == Result::OK && PollStopRequest()) {
        failure = Result::ABORT;
    }
    if (failure != Result::OK) {
        for (TempFile& temp : temps) {
            RemoveTempFile(&temp);
        }
        return failure;
    }
    unpacker.ShowComplete();
    if (int64_t trailing = unpacker.UnreadBytes(); trailing > 0) {
        std::string warning = std::to_string(trailing) + " bytes after the last stream ignored";
        NoteFile(archiveName, warning.c_str());
    }
    // Once begun, the renames run to the end: they take milliseconds, and a stop now
    // would only leave a mixture of old and new files.
    for (int slot = 0; g_entries[slot].m_size != TERMINATOR_SIZE; ++slot) {
        TempFile& temp = temps[static_cast<size_t>(slot)];
        if (!temp.path.empty()) {
            Result renamed = PutInPlace(&temp, EntryName(g_entries[slot]).c_str());
            refused = refused != Result::OK ? refused : renamed;
            RemoveTempFile(&temp);
        }
    }
    return refused;
}
