// Extraction: each stream is inflated straight into a private temporary file of its
// own in the current directory, written only through its descriptor. Only when every
// stream has inflated whole and every target has been examined are the files renamed
// over their names, in record order, so a damaged, refused or stopped run extracts
// nothing, no file is ever half-replaced or written through a link, and nothing is
// written outside the current directory.
#include <cerrno>
#include <string>
#include <unordered_set>
#include <vector>

#include "archive/archive_tool.h"
#include "archive/directory.h"
#include "archive/replace.h"
#include "codec/unpacker.h"
#include "platform/platform.h"

namespace {

const char ENTRY_PREFIX[] = ".tovra-entry-";
const char HERE[] = ".";
const char HERE_SHOWN[] = ". (current directory)";

// Only a plain name stays inside the current directory.
bool IsPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// Whether the entry may be extracted at all; an entry that may not still has its
// stream inflated, to find the next one, and discarded.
// Returns OK, or DAMAGED or OPEN with a note.
Result CheckEntry(const DirectoryHandle& here, const std::string& name,
                  const FileIdentity& archive) {
    if (!IsPlainFileName(name)) {
        NoteFile(name.empty() ? "(empty name)" : name.c_str(), "unsafe entry name, not extracted");
        return Result::DAMAGED;
    }
    return CheckEntryTarget(here, name, archive, StatusAt(here, name));
}

// Sets the entry file's time, after its last write. Returns OK, or FAIL with a note.
Result SetEntryTime(const TempFile& temp, const ArchiveEntry& entry, const std::string& name) {
    int failure = SetLastWriteTime(temp.fd(), entry.m_mtime);
    if (failure != 0) {
        NoteFileError(name.c_str(), failure);
        return Result::FAIL;
    }
    return Result::OK;
}

// Whether each entry is the last of its name: only that one is put in place, as it
// would replace the earlier ones anyway.
std::vector<bool> LastOfTheirNames(const Directory& directory) {
    std::vector<bool> last(static_cast<size_t>(directory.Count()));
    std::unordered_set<std::string> later;
    for (int k = directory.Count() - 1; k >= 0; --k) {
        last[static_cast<size_t>(k)] = later.insert(directory.Name(k)).second;
    }
    return last;
}

// Inflates every stream, each entry that will be put in place into a temporary file of
// its own. Returns the first failure that must extract nothing, or OK; *refused gets
// the first refusal. After one, nothing will be renamed: the later streams are still
// inflated, to find any failure of theirs, but only checked, not kept; so are those of
// entries named again later.
Result InflateEntries(const Directory& directory, const OpenedFile& archive,
                      const DirectoryHandle& here, Unpacker* unpacker, std::vector<TempFile>* temps,
                      Result* refused) {
    const std::vector<bool> kept = LastOfTheirNames(directory);
    for (int k = 0; k < directory.Count(); ++k) {
        const ArchiveEntry& entry = directory.Entry(k);
        const std::string name = directory.Name(k);
        TempFile& temp = (*temps)[static_cast<size_t>(k)];
        Result checked = CheckEntry(here, name, archive.identity);
        *refused = *refused != Result::OK ? *refused : checked;
        if (*refused == Result::OK && kept[static_cast<size_t>(k)]) {
            int failure = temp.Create(here, ENTRY_PREFIX);
            if (failure != 0) {
                // The directory refuses new files: every later entry would fail alike.
                NoteFileError(HERE_SHOWN, failure);
                return Result::OPEN;
            }
        }
        Result result =
            unpacker->InflateStream(temp.Exists() ? temp.fd() : -1, entry.m_size, name.c_str());
        if (result == Result::OK && temp.Exists()) {
            result = SetEntryTime(temp, entry, name);
        }
        if (result != Result::OK) {
            return result;
        }
    }
    return PollStopRequest() ? Result::ABORT : Result::OK;
}

// Examines the target of every entry to be put in place, each note told, before any
// is renamed, so that a target that would refuse leaves every file as it was. Fills
// targets with what was found. Returns OK, or the first refusal (DAMAGED or OPEN).
Result CheckTargets(const Directory& directory, const OpenedFile& archive,
                    const DirectoryHandle& here, const std::vector<TempFile>& temps,
                    std::vector<PathStatus>* targets) {
    Result first = Result::OK;
    for (int k = 0; k < directory.Count(); ++k) {
        if (!temps[static_cast<size_t>(k)].Exists()) {
            continue;
        }
        const std::string name = directory.Name(k);
        PathStatus& target = (*targets)[static_cast<size_t>(k)];
        target = StatusAt(here, name);
        const Result result = CheckEntryTarget(here, name, archive.identity, target);
        first = first != Result::OK ? first : result;
    }
    return first;
}

// The note after a rename failed midway: the one case where a failing run has changed
// files, and which.
void NotePlaced(const std::string& placed) {
    if (!placed.empty()) {
        Note("warning: already put in place before the failure: " + placed);
    }
}

// Renames every extracted entry into place, as examined. Stops at the first failure,
// which is returned, or returns OK.
Result RenameEntries(const Directory& directory, const DirectoryHandle& here,
                     std::vector<TempFile>* temps, const std::vector<PathStatus>& targets) {
    std::string placed;
    for (int k = 0; k < directory.Count(); ++k) {
        TempFile& temp = (*temps)[static_cast<size_t>(k)];
        if (!temp.Exists()) {
            continue;
        }
        const std::string name = directory.Name(k);
        const Result result = PutInPlace(here, &temp, name, name.c_str(),
                                         targets[static_cast<size_t>(k)], Replacing::ENTRY);
        if (result != Result::OK) {
            NotePlaced(placed);
            return result;
        }
        placed += (placed.empty() ? "" : ", ") + name;
    }
    return Result::OK;
}

}  // namespace

Result CArchiveTool::Extract(const Directory& directory, const OpenedFile& archive,
                             const char* archiveName, InflateChoice inflate,
                             ProgressSink* progress) {
    DirectoryHandle here;
    int failure = here.Open(HERE);
    if (failure != 0) {
        NoteFileError(HERE_SHOWN, failure);
        return Result::OPEN;
    }
    StoppableRun run;
    // Each removes itself unless renamed into place.
    std::vector<TempFile> temps(static_cast<size_t>(directory.Count()));
    const int64_t offset = directory.DataOffset();
    Unpacker unpacker(*progress, inflate);
    Result result = unpacker.Begin(archive.fd, offset, archive.length - offset, archiveName);
    Result refused = Result::OK;
    if (result == Result::OK) {
        result = InflateEntries(directory, archive, here, &unpacker, &temps, &refused);
    }
    if (result != Result::OK) {
        return result;
    }
    unpacker.ShowComplete();
    if (int64_t trailing = unpacker.UnreadBytes(); trailing > 0) {
        std::string warning = std::to_string(trailing) + " bytes after the last stream ignored";
        NoteFile(archiveName, warning.c_str());
    }
    if (refused != Result::OK) {
        return refused;
    }
    std::vector<PathStatus> targets(static_cast<size_t>(directory.Count()));
    result = CheckTargets(directory, archive, here, temps, &targets);
    // Once begun, the renames are not stopped: they take milliseconds, and a stop now
    // would only leave a mixture of old and new files.
    return result == Result::OK ? RenameEntries(directory, here, &temps, targets) : result;
}
