// Creation: pack the files one name or wildcard pattern matches into a new archive.
// The archive is built in a temporary file beside it, written only through its
// descriptor, and renamed into place only when complete, so a failed or stopped run
// leaves an existing archive as it was.
#include "archive/archive_entry.h"
#include "archive/archive_tool.h"
#include "archive/replace.h"
#include "codec/packer.h"
#include "platform/platform.h"

namespace {

const char PACK_PREFIX[] = ".tovra-pack-";
const char CHANGED[] = "file changed while being packed";

// Directories, dot entries and the archive itself (by name or by identity) are skipped.
bool IsAccepted(const FoundFile& file, const std::string& archiveKey, const FileIdentity& archive) {
    if (file.isDirectory || file.name == "." || file.name == "..") {
        return false;
    }
    std::string key = file.name;
    UpperCase(&key);
    return key != archiveKey && !SameFile(file.identity, archive);
}

// Enumerates once, so that the directory and the streams describe the same files.
Result FindAcceptedFiles(const char* pattern, const char* archive, std::vector<FoundFile>* files) {
    std::vector<FoundFile> found;
    int failure = FindMatches(pattern, &found);
    if (failure != 0) {
        NoteFileError(pattern, failure);
        return Result::FAIL;
    }
    std::string archiveKey = archive;
    UpperCase(&archiveKey);
    FileIdentity archiveIdentity = StatusOfPath(archive).identity;
    for (const FoundFile& file : found) {
        if (IsAccepted(file, archiveKey, archiveIdentity)) {
            files->push_back(file);
        }
    }
    if (files->empty()) {
        NoteFile(pattern, "no file matches");
        return Result::FAIL;
    }
    return Result::OK;
}

int32_t StorableTime(const FoundFile& file) {
    if (file.mtime < INT32_MIN || file.mtime > INT32_MAX) {
        NoteFile(file.path.c_str(), "warning: last-write time out of range, stored clamped");
        return file.mtime < 0 ? INT32_MIN : INT32_MAX;
    }
    return static_cast<int32_t>(file.mtime);
}

const char* LimitReason(const FoundFile& file) {
    if (file.name.size() >= static_cast<size_t>(ENTRY_NAME_SIZE)) {
        return "name too long for an archive (79 bytes at most)";
    }
    if (file.size > INT32_MAX) {
        return "file too large for an archive (under 2 GiB)";
    }
    return "more files than an archive holds (999 at most)";
}

// Pass 1: the whole directory is known, and checked against the format, before
// anything is written.
Result FillTable(const std::vector<FoundFile>& files) {
    g_nEntries = 0;
    for (const FoundFile& file : files) {
        if (AppendEntry(file.name.c_str(), file.size, StorableTime(file)) != Result::OK) {
            NoteFile(file.path.c_str(), LimitReason(file));
            return Result::LIMIT;
        }
    }
    return Result::OK;
}

// Only an archive is replaced: anything else at its name is a user's file or a device
// that a slip of the command line must not destroy. An empty file and a link (which
// the rename replaces, never its target) are fair game.
Result CheckReplaceable(const char* archive) {
    PathStatus status = StatusOfPath(archive);
    bool replaceable = status.kind == PathKind::ABSENT || status.kind == PathKind::LINK ||
                       (status.kind == PathKind::REGULAR && status.size == 0);
    OpenedFile old;
    if (!replaceable && status.kind == PathKind::REGULAR && OpenRegularFile(archive, &old) == 0) {
        replaceable = HoldsDirectory(old.fd);
        CloseReadOnly(old.fd);
    }
    if (!replaceable) {
        NoteFile(archive, "exists and is not an archive, not replaced");
        return Result::OPEN;
    }
    return Result::OK;
}

// Opens a matched file for packing: it must still be the file matching found.
// Returns OK, LIMIT when it changed, or OPEN.
Result OpenSource(const FoundFile& file, OpenedFile* source) {
    int failure = OpenRegularFile(file.path.c_str(), source);
    const bool changed =
        failure == NOT_REGULAR || (failure == 0 && !SameFile(source->identity, file.identity));
    if (failure == 0 && changed) {
        CloseReadOnly(source->fd);
    }
    if (changed) {
        NoteFile(file.path.c_str(), CHANGED);
        return Result::LIMIT;
    }
    if (failure != 0) {
        NoteFileError(file.path.c_str(), failure);
        return Result::OPEN;
    }
    return Result::OK;
}

// Pass 2: one stream per recorded file, in record order, each file opened once.
Result AppendStreams(const std::vector<FoundFile>& files, Packer* packer) {
    for (size_t k = 0; k < files.size(); ++k) {
        OpenedFile source;
        Result result = OpenSource(files[k], &source);
        if (result != Result::OK) {
            return result;
        }
        result = packer->PackFile(source.fd, g_entries[k].m_size, files[k].path.c_str());
        CloseReadOnly(source.fd);
        if (result != Result::OK) {
            return result;
        }
    }
    return Result::OK;
}

// Appends the streams to fd. Every way out joins the workers (the packer's End, or
// its destructor) before the temporary file may go.
Result WriteStreams(const std::vector<FoundFile>& files, const char* archive,
                    const PackOptions& pack, int fd, ProgressSink* progress) {
    Packer packer(*progress, pack.level, pack.workers);
    Result result = packer.Begin(fd, archive);
    if (result == Result::OK) {
        result = AppendStreams(files, &packer);
    }
    return result == Result::OK ? packer.End() : result;
}

// Writes the archive into the temporary file and puts it in place.
Result WriteArchive(const std::vector<FoundFile>& files, const char* archive,
                    const PackOptions& pack, TempFile* temp, ProgressSink* progress) {
    Result result = WriteDirectory(temp->fd, archive);
    if (result == Result::OK) {
        result = WriteStreams(files, archive, pack, temp->fd, progress);
    }
    if (result == Result::OK && StopSignalled()) {
        result = Result::ABORT;
    }
    if (result == Result::OK) {
        result = KeepPermissions(temp, archive, StatusOfPath(archive));
    }
    if (result == Result::OK) {
        int failure = CloseTempFile(temp);
        if (failure != 0) {
            NoteFileError(archive, failure);
            result = Result::FAIL;
        }
    }
    return result == Result::OK ? PutInPlace(temp, archive) : result;
}

}  // namespace

Result CArchiveTool::Create(const char* pattern, const char* archive, const PackOptions& pack,
                            ProgressSink* progress) {
    std::vector<FoundFile> files;
    Result result = FindAcceptedFiles(pattern, archive, &files);
    if (result == Result::OK) {
        result = FillTable(files);
    }
    if (result == Result::OK) {
        result = CheckReplaceable(archive);
    }
    if (result != Result::OK) {
        return result;
    }
    StoppableRun run;
    TempFile temp;
    int failure = CreateTempFile(DirectoryOf(archive), PACK_PREFIX, &temp);
    if (failure != 0) {
        NoteFileError(archive, failure);
        return Result::OPEN;
    }
    result = WriteArchive(files, archive, pack, &temp, progress);
    if (result != Result::OK) {
        RemoveTempFile(&temp);
    }
    return result;
}
