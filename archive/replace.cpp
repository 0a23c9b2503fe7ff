// Putting a finished temporary file in place of the file it replaces.
#include "archive/replace.h"

#include <string>

Result KeepPermissions(TempFile* temp, const char* target, const PathStatus& old) {
    int failure = TakePermissionsOf(temp->fd, old);
    if (failure != 0) {
        NoteFileError(target, failure);
        return Result::OPEN;
    }
    return Result::OK;
}

Result PutInPlace(TempFile* temp, const char* target) {
    int failure = RenameTempFile(temp, target);
    if (failure == TEMP_REPLACED) {
        std::string reason =
            "the temporary file " + temp->path + " was replaced by another file; nothing renamed";
        NoteFile(target, reason.c_str());
        return Result::OPEN;
    }
    if (failure != 0) {
        NoteFileError(target, failure);
        return Result::OPEN;
    }
    return Result::OK;
}
