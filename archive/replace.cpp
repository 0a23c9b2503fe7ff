// Which files a run may replace, and the checked rename that replaces them.
#include "archive/replace.h"

#include "archive/directory.h"

namespace {

// In a sticky directory that everyone may write, as /tmp, a file at the name may be
// another user's, put there to be written by this run: the kernel refuses to open
// such a file for writing, and this run does not replace it either.
bool IsStrangersFile(const DirectoryHandle& dir, const PathStatus& target) {
    return dir.Shared() && target.kind != PathKind::ABSENT && !OwnedByRunOrDirectory(dir, target);
}

Result RefuseStrangersFile(const char* shown) {
    NoteFile(shown, "owned by another user in a shared directory, not replaced");
    return Result::OPEN;
}

bool HoldsWholeArchive(const DirectoryHandle& dir, const std::string& name) {
    OpenedFile old;
    if (OpenRegularFileAt(dir, name, &old) != 0) {
        return false;
    }
    bool whole = IsWholeArchive(old.fd, old.length);
    CloseReadOnly(old.fd);
    return whole;
}

// The words for what a name refers to, in a note.
std::string Describe(const PathStatus& status) {
    switch (status.kind) {
        case PathKind::ABSENT:
            return "nothing";
        case PathKind::LINK:
            return "a symbolic link";
        case PathKind::REGULAR:
            return "a file of " + std::to_string(status.size) + " bytes owned by user " +
                   std::to_string(status.owner);
        case PathKind::DIRECTORY:
            return "a directory";
        case PathKind::OTHER:
            break;
    }
    return "a special file";
}

}  // namespace

Result CheckArchiveTarget(const DirectoryHandle& dir, const std::string& name, const char* shown,
                          const PathStatus& target) {
    if (IsStrangersFile(dir, target)) {
        return RefuseStrangersFile(shown);
    }
    const bool replaceable =
        target.kind == PathKind::ABSENT || target.kind == PathKind::LINK ||
        (target.kind == PathKind::REGULAR && (target.size == 0 || HoldsWholeArchive(dir, name)));
    if (!replaceable) {
        NoteFile(shown, "exists and is not an archive, not replaced");
        return Result::OPEN;
    }
    return Result::OK;
}

Result CheckEntryTarget(const DirectoryHandle& dir, const std::string& name,
                        const FileIdentity& archive, const PathStatus& target) {
    if (SameFile(target.identity, archive)) {
        NoteFile(name.c_str(), "is the archive being unpacked, not replaced");
        return Result::DAMAGED;
    }
    return IsStrangersFile(dir, target) ? RefuseStrangersFile(name.c_str()) : Result::OK;
}

Result PutInPlace(TempFile* temp, const std::string& name, const char* shown,
                  const PathStatus& target) {
    int failure = temp->TakeFinalPermissions(target);
    if (failure != 0) {
        NoteFileError(shown, failure);
        return Result::OPEN;
    }
    failure = temp->Close();
    if (failure != 0) {
        NoteFileError(shown, failure);
        return Result::FAIL;
    }
    const std::string tempName = temp->name();
    PathStatus found;
    switch (temp->PutInPlace(name, target.kind == PathKind::ABSENT, &failure, &found)) {
        case RenameOutcome::DONE:
            return Result::OK;
        case RenameOutcome::TEMP_REMOVED:
            NoteFile(shown,
                     ("the temporary file " + tempName + " was removed; nothing renamed").c_str());
            break;
        case RenameOutcome::TEMP_REPLACED:
            NoteFile(shown, ("the temporary file " + tempName +
                             " was replaced by another file; nothing renamed")
                                .c_str());
            break;
        case RenameOutcome::TARGET_APPEARED:
            NoteFile(shown,
                     ("appeared during the run (" + Describe(found) + "), not replaced").c_str());
            break;
        case RenameOutcome::TARGET_NOT_OURS:
            NoteFile(shown, ("after the rename it refers to " + Describe(found) +
                             ", not to the file written (the names were exchanged)")
                                .c_str());
            break;
        case RenameOutcome::FAILED:
            NoteFileError(shown, failure);
            break;
    }
    return Result::OPEN;
}
