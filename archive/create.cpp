// Creation: pack the files one name or wildcard pattern matches into a new archive.
// The archive is built in a private temporary file beside it, written only through
// its descriptor, and renamed into place only when complete, so a failed or stopped
// run leaves an existing archive as it was.
#include "archive/archive_tool.h"
#include "archive/console_codec.h"
#include "archive/directory.h"
#include "archive/replace.h"
#include "codec/packer.h"
#include "platform/platform.h"

namespace {

const char PACK_PREFIX[] = ".tovra-pack-";

// Directories and dot entries are skipped, and so is the archive itself, told by its
// identity: any other file is packed, whatever its name.
bool IsAccepted(const FoundFile& file, const FileIdentity& archive, Report* report) {
    if (file.isDirectory || file.name == "." || file.name == "..") {
        return false;
    }
    if (SameFile(file.identity, archive)) {
        report->Warn(FileNote(file.path, "is the archive itself, not packed"));
        return false;
    }
    return true;
}

// Enumerates once, so that the directory and the streams describe the same files.
Result FindAcceptedFiles(const char* pattern, const FileIdentity& archive, Report* report,
                         std::vector<FoundFile>* files) {
    std::vector<FoundFile> found;
    Result matched = FindMatches(pattern, &found);
    if (!matched.ok()) {
        return matched;
    }
    for (const FoundFile& file : found) {
        if (IsAccepted(file, archive, report)) {
            files->push_back(file);
        }
    }
    return files->empty() ? Result(Result::FAIL, FileNote(pattern, "no file matches")) : Result::OK;
}

int32_t StorableTime(const FoundFile& file, Report* report) {
    if (file.mtime < INT32_MIN || file.mtime > INT32_MAX) {
        report->Warn(FileNote(file.path, "warning: last-write time out of range, stored clamped"));
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
Result FillDirectory(const std::vector<FoundFile>& files, Report* report, Directory* directory) {
    for (const FoundFile& file : files) {
        if (!directory->Append(file.name, file.size, StorableTime(file, report)).ok()) {
            return Result(Result::LIMIT, FileNote(file.path, LimitReason(file)));
        }
    }
    return Result::OK;
}

// Opens a matched file for packing: it must still be the file matching found.
// Returns OK, LIMIT when it changed, or OPEN with a note.
Result OpenSource(const FoundFile& file, OpenedFile* source) {
    Result opened = OpenRegularFile(file.path.c_str(), source);
    if (opened == Result::DAMAGED || (opened.ok() && !SameFile(source->identity, file.identity))) {
        return Result(Result::LIMIT, FileNote(file.path, CHANGED_WHILE_PACKED));
    }
    return opened;
}

// Pass 2: one stream per recorded file, in record order, each file opened once and
// handed to the packer, which closes it. A file that cannot be opened ends the files
// through the packer, so that the failure told is the first in file order.
Result AppendStreams(const std::vector<FoundFile>& files, const Directory& directory,
                     Packer* packer) {
    for (size_t k = 0; k < files.size(); ++k) {
        OpenedFile source;
        Result opened = OpenSource(files[k], &source);
        if (!opened.ok()) {
            return packer->Fail(opened);
        }
        Result packed = packer->PackFile(
            std::move(source), directory.Entry(static_cast<int>(k)).m_size, files[k].path.c_str());
        if (!packed.ok()) {
            return packed;
        }
    }
    return Result::OK;
}

// Appends the streams to fd. Every way out joins the workers (the packer's End, or
// its destructor) before the temporary file may go.
Result WriteStreams(const std::vector<FoundFile>& files, const Directory& directory,
                    const PackOptions& pack, int fd, const char* archive, ProgressSink* progress) {
    Packer packer(*progress, pack.level, pack.workers);
    Result result = packer.Begin(fd, archive);
    if (result.ok()) {
        result = AppendStreams(files, directory, &packer);
    }
    return result.ok() ? packer.End() : result;
}

// The archive's name in its directory, held for the run.
Target ArchiveTarget(const DirectoryHandle& dir, const char* path, mode_t newFileMode) {
    Target target;
    target.dir = &dir;
    target.name = BaseNameOf(path);
    target.shown = path;
    target.what = Replacing::ARCHIVE;
    target.newFileMode = newFileMode;
    return target;
}

// Writes the archive into the temporary file and puts it in place once the name,
// examined again, may still be replaced.
Result WriteArchive(const std::vector<FoundFile>& files, const Directory& directory,
                    const PackOptions& pack, const Target& archive, TempFile* temp,
                    ProgressSink* progress) {
    const char* shown = archive.shown.c_str();
    Result result = directory.WriteTo(temp->fd(), shown);
    if (result.ok()) {
        result = WriteStreams(files, directory, pack, temp->fd(), shown, progress);
    }
    if (result.ok() && StoppableRun::Signalled()) {
        result = Result::ABORT;
    }
    return result.ok() ? Replace(archive, temp) : result;
}

}  // namespace

Result CArchiveTool::Create(const char* pattern, const char* archivePath, const PackOptions& pack) {
    DirectoryHandle dir;
    Result opened = dir.Open(DirectoryOf(archivePath)).Naming(archivePath);
    const Target archive = ArchiveTarget(dir, archivePath, m_start.newFileMode);
    // Nothing is found when the directory cannot be opened: that failure is told below.
    PathStatus existing;
    Result examined = Examine(archive, &existing);
    std::vector<FoundFile> files;
    Directory directory;
    Result result = FindAcceptedFiles(pattern, existing.identity, m_report, &files);
    if (result.ok()) {
        result = FillDirectory(files, m_report, &directory);
    }
    result = result.ok() ? opened : result;
    result = result.ok() ? examined : result;
    if (!result.ok()) {
        return result;
    }
    StoppableRun run;
    CConsoleCodec console(run, m_start.stdoutDiscarded);
    TempFile temp;
    result = temp.Create(dir, PACK_PREFIX, m_report);
    if (!result.ok()) {
        return result.Naming(archivePath);
    }
    result = WriteArchive(files, directory, pack, archive, &temp, &console);
    // A stop ends the run: the note names the archive and the cause.
    return result == Result::ABORT ? Result(Result::ABORT, FileNote(archivePath, run.StopReason()))
                                   : result;
}
