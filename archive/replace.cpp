// Which files a run may replace, and the checked rename that replaces them.
#include "archive/replace.h"

#include <cerrno>
#include <cstring>

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

void NoteTargetNotOurs(const char* shown, const PathStatus& found) {
    NoteFile(shown, ("after the rename it refers to " + Describe(found) +
                     ", not to the file written (the names were exchanged)")
                        .c_str());
}

// The archive rule without its notes: nothing, a link, an empty file or a whole archive.
bool MayReplaceArchive(const DirectoryHandle& dir, const std::string& name,
                       const PathStatus& target) {
    return target.kind == PathKind::ABSENT || target.kind == PathKind::LINK ||
           (target.kind == PathKind::REGULAR && (target.size == 0 || HoldsWholeArchive(dir, name)));
}

// Whether what came out of an exchange at the temporary name is the file examined at
// the target: the same file and, for an archive, still one that may be replaced.
bool IsExamined(const DirectoryHandle& dir, const TempFile& temp, const PathStatus& examined,
                const PathStatus& found, Replacing what) {
    return SameFile(found.identity, examined.identity) &&
           (what == Replacing::ENTRY || MayReplaceArchive(dir, temp.name(), found));
}

// Keeps the exchange when what came out is the file examined; otherwise exchanges back
// and tells what was found. Returns OK, or OPEN with a note.
Result SettleExchange(const DirectoryHandle& dir, TempFile* temp, const char* shown,
                      const PathStatus& examined, const PathStatus& found, Replacing what) {
    if (!IsExamined(dir, *temp, examined, found, what)) {
        std::string reason =
            "changed just before the rename (now " + Describe(found) + "), not replaced";
        const std::string tempName = temp->name();
        if (int failure = temp->UndoExchange(); failure != 0) {
            reason += "; it could not be given its name back (" + std::string(strerror(failure)) +
                      ") and is now " + tempName;
        }
        NoteFile(shown, reason.c_str());
        return Result::OPEN;
    }
    int failure = 0;
    PathStatus after;
    switch (temp->KeepExchange(found, &failure, &after)) {
        case RenameOutcome::DONE:
            return Result::OK;
        case RenameOutcome::FAILED:
            NoteFile(shown, ("replaced, but the old file stays as " + temp->name() + ": " +
                             strerror(failure))
                                .c_str());
            break;
        default:
            NoteTargetNotOurs(shown, after);
            break;
    }
    return Result::OPEN;
}

}  // namespace

Result CheckArchiveTarget(const DirectoryHandle& dir, const std::string& name, const char* shown,
                          const PathStatus& target) {
    if (IsStrangersFile(dir, target)) {
        return RefuseStrangersFile(shown);
    }
    if (!MayReplaceArchive(dir, name, target)) {
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
    if (target.kind == PathKind::DIRECTORY) {
        NoteFileError(name.c_str(), EISDIR);
        return Result::OPEN;
    }
    return IsStrangersFile(dir, target) ? RefuseStrangersFile(name.c_str()) : Result::OK;
}

Result PutInPlace(const DirectoryHandle& dir, TempFile* temp, const std::string& name,
                  const char* shown, const PathStatus& target, Replacing what) {
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
        case RenameOutcome::EXCHANGED:
            return SettleExchange(dir, temp, shown, target, found, what);
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
            NoteTargetNotOurs(shown, found);
            break;
        case RenameOutcome::FAILED:
            NoteFileError(shown, failure);
            break;
    }
    return Result::OPEN;
}
