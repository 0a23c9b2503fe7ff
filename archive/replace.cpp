// Which files a run may replace, and the checked rename that replaces them.
#include "archive/replace.h"

#include <cerrno>
#include <cstring>

#include "archive/directory.h"

namespace {

// In a sticky directory that everyone may write, as /tmp, a file at the name may be
// another user's, put there to be written by this run: the kernel refuses to open
// such a file for writing, and this run does not replace it either.
bool IsStrangersFile(const DirectoryHandle& dir, const PathStatus& found) {
    return dir.Shared() && found.kind != PathKind::ABSENT && !OwnedByRunOrDirectory(dir, found);
}

bool HoldsWholeArchive(const DirectoryHandle& dir, const std::string& name) {
    OpenedFile old;
    return OpenRegularFileAt(dir, name, &old).ok() && IsWholeArchive(old.fd.get(), old.length);
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

Result Refusal(const Target& target, const std::string& reason) {
    return Result(Result::OPEN, FileNote(target.shown, reason));
}

Result NotOurs(const Target& target, const PathStatus& found) {
    return Refusal(target, "after the rename it refers to " + Describe(found) +
                               ", not to the file written (the names were exchanged)");
}

// The archive rule without its notes: nothing, a link, an empty file or a whole archive.
bool MayReplaceArchive(const DirectoryHandle& dir, const std::string& name,
                       const PathStatus& found) {
    return found.kind == PathKind::ABSENT || found.kind == PathKind::LINK ||
           (found.kind == PathKind::REGULAR && (found.size == 0 || HoldsWholeArchive(dir, name)));
}

// Whether what came out of an exchange at the temporary name is the file examined at
// the target: the same file and, for an archive, still one that may be replaced.
bool IsExamined(const Target& target, const TempFile& temp, const PathStatus& examined,
                const PathStatus& found) {
    return SameFile(found.identity, examined.identity) &&
           (target.what == Replacing::ENTRY || MayReplaceArchive(*target.dir, temp.name(), found));
}

// Afterwards the target's name must refer to the file written: someone who could
// exchange the names between the check and the rename would have had their own file
// renamed.
Result ConfirmPlaced(const Target& target, const TempFile& temp) {
    const PathStatus found = StatusAt(*target.dir, target.name);
    return temp.Is(found) ? Result::OK : NotOurs(target, found);
}

// Keeps the exchange when what came out is the file examined; otherwise exchanges back
// and tells what was found. Returns OK, or OPEN with a note.
Result SettleExchange(const Target& target, const PathStatus& examined, TempFile* temp) {
    const PathStatus found = temp->AtItsName();
    if (!IsExamined(target, *temp, examined, found)) {
        std::string reason =
            "changed just before the rename (now " + Describe(found) + "), not replaced";
        const std::string tempName = temp->name();
        if (const Result undone = temp->UndoExchange(); !undone.ok()) {
            reason += "; it could not be given its name back (" + undone.notes()[0].Text() +
                      ") and is now " + tempName;
        }
        return Refusal(target, reason);
    }
    if (const Result removed = temp->RemoveReplaced(found); !removed.ok()) {
        Note note = removed.notes()[0];
        note.file = target.shown;
        note.reason = "replaced, but the old file stays as " + temp->name();
        return Result(Result::OPEN, note);
    }
    return ConfirmPlaced(target, *temp);
}

// Renames the temporary file to the target's name: taken only while it is free when
// it was found absent. Returns OK, or OPEN with a note.
Result RenameInPlace(const Target& target, bool absent, TempFile* temp) {
    // A rename replaces a link at target itself, never the file it points to.
    Result renamed = temp->RenameTo(target.name, absent);
    if (!renamed.ok() && absent && renamed.notes()[0].errnum == EEXIST) {
        return Refusal(target, "appeared during the run (" +
                                   Describe(StatusAt(*target.dir, target.name)) +
                                   "), not replaced");
    }
    return renamed.ok() ? ConfirmPlaced(target, *temp) : renamed.Naming(target.shown);
}

// The temporary file's name must still refer to the file written: what was written
// went into the descriptor's file, never into a stranger's, and a stranger's is not
// given the target's name either.
Result CheckTemporaryName(const Target& target, const TempFile& temp) {
    const PathStatus found = temp.AtItsName();
    if (temp.Is(found)) {
        return Result::OK;
    }
    return Refusal(target, "the temporary file " + temp.name() +
                               (found.kind == PathKind::ABSENT ? " was removed"
                                                               : " was replaced by another file") +
                               "; nothing renamed");
}

}  // namespace

Result Examine(const Target& target, PathStatus* found) {
    *found = StatusAt(*target.dir, target.name);
    if (target.what == Replacing::ENTRY && SameFile(found->identity, target.archive)) {
        return Result(Result::DAMAGED,
                      FileNote(target.shown, "is the archive being unpacked, not replaced"));
    }
    if (target.what == Replacing::ENTRY && found->kind == PathKind::DIRECTORY) {
        return Result(Result::OPEN, ErrnoNote(target.shown, EISDIR));
    }
    if (IsStrangersFile(*target.dir, *found)) {
        return Refusal(target, "owned by another user in a shared directory, not replaced");
    }
    if (target.what == Replacing::ARCHIVE && !MayReplaceArchive(*target.dir, target.name, *found)) {
        return Refusal(target, "exists and is not an archive, not replaced");
    }
    return Result::OK;
}

Result PutInPlace(const Target& target, const PathStatus& examined, TempFile* temp) {
    Result result = temp->TakeFinalPermissions(examined, target.newFileMode);
    if (!result.ok()) {
        return result.Naming(target.shown);
    }
    result = temp->Close();
    if (!result.ok()) {
        return result.Naming(target.shown);
    }
    result = CheckTemporaryName(target, *temp);
    if (!result.ok() || examined.kind == PathKind::ABSENT) {
        return result.ok() ? RenameInPlace(target, true, temp) : result;
    }
    // An exchange keeps what was at the target under the temporary name, so that a
    // file put there since it was examined is never destroyed unseen.
    result = temp->ExchangeWith(target.name);
    if (result.ok()) {
        return SettleExchange(target, examined, temp);
    }
    const int refusal = result.notes()[0].errnum;
    if (refusal != EINVAL && refusal != ENOENT) {
        return result.Naming(target.shown);
    }
    // Gone since it was examined, the name is free, and taken only while it is; where
    // the file system cannot exchange, it is renamed over.
    return RenameInPlace(target, refusal == ENOENT, temp);
}

Result Replace(const Target& target, TempFile* temp) {
    PathStatus found;
    Result examined = Examine(target, &found);
    return examined.ok() ? PutInPlace(target, found, temp) : examined;
}
