// Creation: pack the files one name or wildcard pattern matches into a new archive.
// The archive is built in a private temporary file beside it, written only through
// its descriptor, and renamed into place only when complete, so a failed or stopped
// run leaves an existing archive as it was.
#include "archive/archive_tool.h"
#include "archive/directory.h"
#include "archive/replace.h"
#include "codec/packer.h"
#include "platform/platform.h"

namespace {

const char PACK_PREFIX[] = ".tovra-pack-";

// Directories and dot entries are skipped, and so is the archive itself, told by its
// identity: any other file is packed, whatever its name.
bool IsAccepted(const FoundFile& file, const FileIdentity& archive) {
    if (file.isDirectory || file.name == "." || file.name == "..") {
        return false;
    }
    if (SameFile(file.identity, archive)) {
        NoteFile(file.path.c_str(), "is the archive itself, not packed");
        return false;
    }
    return true;
}

// Enumerates once, so that the directory and the streams describe the same files.
Result FindAcceptedFiles(const char* pattern, const FileIdentity& archive,
                         std::vector<FoundFile>* files) {
    std::vector<FoundFile> found;
    int failure = FindMatches(pattern, &found);
    if (failure != 0) {
        NoteFileError(pattern, failure);
        return Result::FAIL;
    }
    for (const FoundFile& file : found) {
        if (IsAccepted(file, archive)) {
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
Result FillDirectory(const std::vector<FoundFile>& files, Directory* directory) {
    for (const FoundFile& file : files) {
        if (directory->Append(file.name, file.size, StorableTime(file)) != Result::OK) {
            NoteFile(file.path.c_str(), LimitReason(file));
            return Result::LIMIT;
        }
    }
    return Result::OK;
}

// Opens a matched file for packing: it must still be the file matching found.
// Returns OK, LIMIT when it changed, or OPEN with *errnum set.
Result OpenSource(const FoundFile& file, OpenedFile* source, int* errnum) {
    *errnum = OpenRegularFile(file.path.c_str(), source);
    const bool changed =
        *errnum == NOT_REGULAR || (*errnum == 0 && !SameFile(source->identity, file.identity));
    if (*errnum == 0 && changed) {
        CloseReadOnly(source->fd);
    }
    if (changed) {
        return Result::LIMIT;
    }
    return *errnum == 0 ? Result::OK : Result::OPEN;
}

// Pass 2: one stream per recorded file, in record order, each file opened once and
// handed to the packer, which closes it.
Result AppendStreams(const std::vector<FoundFile>& files, const Directory& directory,
                     Packer* packer) {
    for (size_t k = 0; k < files.size(); ++k) {
        const char* path = files[k].path.c_str();
        OpenedFile source;
        int failure = 0;
        Result result = OpenSource(files[k], &source, &failure);
        if (result != Result::OK) {
            // A failure a worker met in an earlier file is the one to tell.
            const Result earlier = packer->Settle();
            if (earlier != Result::OK) {
                return earlier;
            }
            if (result == Result::LIMIT) {
                NoteFile(path, CHANGED_WHILE_PACKED);
            } else {
                NoteFileError(path, failure);
            }
            return result;
        }
        result = packer->PackFile(source, directory.Entry(static_cast<int>(k)).m_size, path);
        if (result != Result::OK) {
            return result;
        }
    }
    return Result::OK;
}

// Where the archive goes: its directory, held for the run, and its name there.
struct Destination {
    DirectoryHandle dir;
    int opened = 0;  // errno of opening the directory, or 0
    std::string name;
    const char* shown;  // the archive as the user named it
};

// Appends the streams to fd. Every way out joins the workers (the packer's End, or
// its destructor) before the temporary file may go.
Result WriteStreams(const std::vector<FoundFile>& files, const Directory& directory,
                    const PackOptions& pack, int fd, const char* archive, ProgressSink* progress) {
    Packer packer(*progress, pack.level, pack.workers);
    Result result = packer.Begin(fd, archive);
    if (result == Result::OK) {
        result = AppendStreams(files, directory, &packer);
    }
    return result == Result::OK ? packer.End() : result;
}

// Writes the archive into the temporary file and puts it in place once the name,
// examined again, may still be replaced.
Result WriteArchive(const std::vector<FoundFile>& files, const Directory& directory,
                    const PackOptions& pack, const Destination& archive, TempFile* temp,
                    ProgressSink* progress) {
    Result result = directory.WriteTo(temp->fd(), archive.shown);
    if (result == Result::OK) {
        result = WriteStreams(files, directory, pack, temp->fd(), archive.shown, progress);
    }
    if (result == Result::OK && StopSignalled()) {
        result = Result::ABORT;
    }
    if (result != Result::OK) {
        return result;
    }
    const PathStatus target = StatusAt(archive.dir, archive.name);
    result = CheckArchiveTarget(archive.dir, archive.name, archive.shown, target);
    return result == Result::OK ? PutInPlace(archive.dir, temp, archive.name, archive.shown, target,
                                             Replacing::ARCHIVE)
                                : result;
}

}  // namespace

Result CArchiveTool::Create(const char* pattern, const char* archivePath, const PackOptions& pack,
                            ProgressSink* progress) {
    Destination archive;
    archive.opened = archive.dir.Open(DirectoryOf(archivePath));
    archive.name = BaseNameOf(archivePath);
    archive.shown = archivePath;
    // Unset when the directory cannot be opened: that failure is told below.
    const FileIdentity existing = StatusAt(archive.dir, archive.name).identity;
    std::vector<FoundFile> files;
    Directory directory;
    Result result = FindAcceptedFiles(pattern, existing, &files);
    if (result == Result::OK) {
        result = FillDirectory(files, &directory);
    }
    if (result == Result::OK && archive.opened != 0) {
        NoteFileError(archivePath, archive.opened);
        result = Result::OPEN;
    }
    if (result == Result::OK) {
        result = CheckArchiveTarget(archive.dir, archive.name, archivePath,
                                    StatusAt(archive.dir, archive.name));
    }
    if (result != Result::OK) {
        return result;
    }
    StoppableRun run;
    TempFile temp;
    int failure = temp.Create(archive.dir, PACK_PREFIX);
    if (failure != 0) {
        NoteFileError(archivePath, failure);
        return Result::OPEN;
    }
    return WriteArchive(files, directory, pack, archive, &temp, progress);
}
