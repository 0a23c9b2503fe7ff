// Creation: pack the files one name or wildcard pattern matches into a new archive.
// The archive is built in a private temporary file beside it, written only through
// its descriptor, and renamed into place only when complete, so a failed or stopped
// run leaves an existing archive as it was.
#include "archive/archive_tool.h"
#include "archive/directory.h"
#include "archive/replace.h"
#include "platform/platform.h"

namespace {

const char PACK_PREFIX[] = ".tovra-pack-";
const char CHANGED[] = "file changed while being packed";

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
int FindAcceptedFiles(const char* pattern, const FileIdentity& archive,
                      std::vector<FoundFile>* files) {
    std::vector<FoundFile> found;
    int failure = FindMatches(pattern, &found);
    if (failure != 0) {
        NoteFileError(pattern, failure);
        return RESULT_FAIL;
    }
    for (const FoundFile& file : found) {
        if (IsAccepted(file, archive)) {
            files->push_back(file);
        }
    }
    if (files->empty()) {
        NoteFile(pattern, "no file matches");
        return RESULT_FAIL;
    }
    return RESULT_OK;
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
int FillDirectory(const std::vector<FoundFile>& files, Directory* directory) {
    for (const FoundFile& file : files) {
        if (directory->Append(file.name, file.size, StorableTime(file)) != RESULT_OK) {
            NoteFile(file.path.c_str(), LimitReason(file));
            return RESULT_LIMIT;
        }
    }
    return RESULT_OK;
}

// Opens a matched file for packing: it must still be the file matching found.
// Returns 0, RESULT_LIMIT when it changed, or RESULT_OPEN.
int OpenSource(const FoundFile& file, OpenedFile* source) {
    int failure = OpenRegularFile(file.path.c_str(), source);
    const bool changed =
        failure == NOT_REGULAR || (failure == 0 && !SameFile(source->identity, file.identity));
    if (failure == 0 && changed) {
        CloseReadOnly(source->fd);
    }
    if (changed) {
        NoteFile(file.path.c_str(), CHANGED);
        return RESULT_LIMIT;
    }
    if (failure != 0) {
        NoteFileError(file.path.c_str(), failure);
        return RESULT_OPEN;
    }
    return RESULT_OK;
}

// Once every byte of the file is read, it must still be the version opened: a
// rewrite in place at the same size would otherwise pack a mixture of old and new.
int CheckUnchanged(const OpenedFile& source, const char* path) {
    FileVersion now;
    int failure = VersionOf(source.fd, &now);
    if (failure != 0) {
        NoteFileError(path, failure);
        return RESULT_OPEN;
    }
    if (!SameVersion(now, source.version)) {
        NoteFile(path, CHANGED);
        return RESULT_LIMIT;
    }
    return RESULT_OK;
}

// Pass 2: one stream per recorded file, in record order, each file opened once.
int AppendStreams(const std::vector<FoundFile>& files, const Directory& directory,
                  CConsoleCodec* codec) {
    for (size_t k = 0; k < files.size(); ++k) {
        const char* path = files[k].path.c_str();
        OpenedFile source;
        int result = OpenSource(files[k], &source);
        if (result != RESULT_OK) {
            return result;
        }
        result = codec->PackFile(source.fd, directory.Entry(static_cast<int>(k)).m_size, path);
        if (result == RESULT_OK) {
            result = CheckUnchanged(source, path);
        }
        CloseReadOnly(source.fd);
        if (result != RESULT_OK) {
            return result;
        }
    }
    return RESULT_OK;
}

// Where the archive goes: its directory, held for the run, and its name there.
struct Destination {
    DirectoryHandle dir;
    int opened = 0;  // errno of opening the directory, or 0
    std::string name;
    const char* shown;  // the archive as the user named it
};

// Writes the archive into the temporary file and puts it in place once the name,
// examined again, may still be replaced.
int WriteArchive(const std::vector<FoundFile>& files, const Directory& directory, int level,
                 const Destination& archive, TempFile* temp, CConsoleCodec* codec) {
    int result = directory.WriteTo(temp->fd(), archive.shown);
    if (result == RESULT_OK) {
        result = codec->BeginPack(temp->fd(), archive.shown, level, WorkerThreads());
    }
    if (result == RESULT_OK) {
        result = AppendStreams(files, directory, codec);
    }
    // Every way out joins the workers before the temporary file goes.
    if (result == RESULT_OK) {
        result = codec->EndPack();
    } else {
        codec->CancelPack();
    }
    if (result == RESULT_OK && StopSignalled()) {
        result = RESULT_ABORT;
    }
    if (result != RESULT_OK) {
        return result;
    }
    const PathStatus target = StatusAt(archive.dir, archive.name);
    result = CheckArchiveTarget(archive.dir, archive.name, archive.shown, target);
    return result == RESULT_OK ? PutInPlace(temp, archive.name, archive.shown, target) : result;
}

}  // namespace

int CArchiveTool::Create(const char* pattern, const char* archivePath, int level,
                         CConsoleCodec* codec) {
    Destination archive;
    archive.opened = archive.dir.Open(DirectoryOf(archivePath));
    archive.name = BaseNameOf(archivePath);
    archive.shown = archivePath;
    // Unset when the directory cannot be opened: that failure is told below.
    const FileIdentity existing = StatusAt(archive.dir, archive.name).identity;
    std::vector<FoundFile> files;
    Directory directory;
    int result = FindAcceptedFiles(pattern, existing, &files);
    if (result == RESULT_OK) {
        result = FillDirectory(files, &directory);
    }
    if (result == RESULT_OK && archive.opened != 0) {
        NoteFileError(archivePath, archive.opened);
        result = RESULT_OPEN;
    }
    if (result == RESULT_OK) {
        result = CheckArchiveTarget(archive.dir, archive.name, archivePath,
                                    StatusAt(archive.dir, archive.name));
    }
    if (result != RESULT_OK) {
        return result;
    }
    StoppableRun run;
    TempFile temp;
    int failure = temp.Create(archive.dir, PACK_PREFIX);
    if (failure != 0) {
        NoteFileError(archivePath, failure);
        return RESULT_OPEN;
    }
    return WriteArchive(files, directory, level, archive, &temp, codec);
}
