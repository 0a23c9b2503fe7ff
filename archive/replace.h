// Replacement, in one place: what a run wants to put a finished temporary file in place
// of, which files may be replaced, the examination when the run starts and again just
// before the rename, and the checked rename itself. Callers say what they want replaced
// and get a result back.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/platform.h"

// What a replacement puts in place: an archive replaces only what the archive rule
// allows, an entry any file but the ones it refuses.
enum class Replacing { ARCHIVE, ENTRY };

// A name a run wants to put a file at.
struct Target {
    const DirectoryHandle* dir = nullptr;  // held for the run; the name is in it
    std::string name;
    std::string shown;  // the file as notes name it
    Replacing what = Replacing::ENTRY;
    FileIdentity archive;    // for an entry: the archive being read, never replaced
    mode_t newFileMode = 0;  // the mode of a file that replaces nothing
};

// Examines what target's name refers to now, into *found, and whether it may be
// replaced: for an archive nothing there, a link (the rename replaces the link, never
// its target), an empty file or a whole archive; for an entry anything but the archive
// being read or a directory; never a file another user owns in a shared directory.
// Returns OK, or DAMAGED or OPEN with a note.
Result Examine(const Target& target, PathStatus* found);

// Gives the temporary file its final mode and owner for what target was examined to
// be, closes it and puts it at target's name: never over a file that came there since
// it was found absent, and, where the names can be exchanged, never over a file other
// than the one examined (for an archive, one that still may be replaced): otherwise
// the names are exchanged back. Afterwards the name must refer to it.
// Returns OK, FAIL when the close fails, or OPEN with a note (nothing renamed, unless
// the note says otherwise).
Result PutInPlace(const Target& target, const PathStatus& examined, TempFile* temp);

// Examines target again and, when it may still be replaced, puts temp in place.
Result Replace(const Target& target, TempFile* temp);
