// Creation: pack the files one name or wildcard pattern matches into a new archive.
// The archive is built under a temporary name beside it and renamed into place only
// when complete, so a failed or stopped run leaves an existing archive as it was.
#include <cerrno>
#include <cstdio>

#include "archive/archive_entry.h"
#include "archive/archive_tool.h"
#include "platform/platform.h"

namespace {

const char PACK_PREFIX[] = ".tovra-pack-";

bool IsSameFile(const FileIdentity& a, const FileIdentity& b) {
    return a.exists && b.exists && a.device == b.device && a.inode == b.inode;
}

// Directories, dot entries and the archive itself (by name or by identity) are skipped.
bool IsAccepted(const FoundFile& file, const std::string& archiveKey, const FileIdentity& archive) {
    if (file.isDirectory || file.name == "." || file.name == "..") {
        return false;
    }
    std::string key = file.name;
    UpperCase(&key);
    return key != archiveKey && !IsSameFile(file.identity, archive);
}

// Enumerates once, so that the directory and the streams describe the same files.
int FindAcceptedFiles(const char* pattern, const char* archive, std::vector<FoundFile>* files) {
    std::vector<FoundFile> found;
    int failure = FindMatches(pattern, &found);
    if (failure != 0) {
        NoteFileError(pattern, failure);
        return RESULT_FAIL;
    }
    std::string archiveKey = archive;
    UpperCase(&archiveKey);
    FileIdentity archiveIdentity = IdentifyFile(archive);
    for (const FoundFile& file : found) {
        if (IsAccepted(file, archiveKey, archiveIdentity)) {
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
int FillTable(const std::vector<FoundFile>& files) {
    g_nEntries = 0;
    for (const FoundFile& file : files) {
        if (AppendEntry(file.name.c_str(), file.size, StorableTime(file)) != RESULT_OK) {
            NoteFile(file.path.c_str(), LimitReason(file));
            return RESULT_LIMIT;
        }
    }
    return RESULT_OK;
}

// Pass 2: one stream per recorded file, in record order.
int AppendStreams(const std::vector<FoundFile>& files, const char* tempPath, int level,
                  CConsoleCodec* codec) {
    g_nEntries = 0;
    for (const FoundFile& file : files) {
        const ArchiveEntry& entry = g_entries[g_nEntries++];
        int result = codec->CompressFile(file.path.c_str(), tempPath, level);
        if (result != RESULT_OK) {
            return result;
        }
        if (codec->total_in != static_cast<uLong>(entry.m_size)) {
            NoteFile(file.path.c_str(), "file changed while being packed");
            return RESULT_LIMIT;
        }
    }
    return RESULT_OK;
}

}  // namespace

int CArchiveTool::Create(const char* pattern, const char* archive, int level,
                         CConsoleCodec* codec) {
    std::vector<FoundFile> files;
    int result = FindAcceptedFiles(pattern, archive, &files);
    if (result == RESULT_OK) {
        result = FillTable(files);
    }
    if (result != RESULT_OK) {
        return result;
    }
    StoppableRun run;
    std::string tempPath;
    FILE* temp = CreateUniqueFile(DirectoryOf(archive), PACK_PREFIX, &tempPath);
    if (temp == nullptr) {
        NoteFileError(archive, errno);
        return RESULT_OPEN;
    }
    fclose(temp);  // NOLINT(cert-err33-c): nothing written yet, nothing to lose
    result = WriteDirectory(tempPath.c_str());
    if (result == RESULT_OK) {
        result = AppendStreams(files, tempPath.c_str(), level, codec);
    }
    if (result == RESULT_OK && StopSignalled()) {
        result = RESULT_ABORT;
    }
    if (result == RESULT_OK && rename(tempPath.c_str(), archive) != 0) {
        NoteFileError(archive, errno);
        result = RESULT_OPEN;
    }
    if (result != RESULT_OK) {
        DeleteFile(tempPath.c_str());
    }
    return result;
}
