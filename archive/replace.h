// Putting a finished temporary file in place of the file it replaces: what it keeps
// of the old file, and the checked rename.
#pragma once

#include "platform/platform.h"

// Gives the temporary file the permissions (and, as root, the owner) of old, what is
// at target now, if that is a regular file. Returns OK, or OPEN with a note.
Result KeepPermissions(TempFile* temp, const char* target, const PathStatus& old);

// Renames the temporary file over target, provided its name still refers to the file
// this run created. Returns OK, or OPEN with a note (nothing renamed).
Result PutInPlace(TempFile* temp, const char* target);
