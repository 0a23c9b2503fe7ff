// Putting a finished temporary file in place of the file it replaces: which files may
// be replaced, examined when the run starts and again just before the rename, and
// the checked rename itself.
#pragma once

#include <string>

#include "platform/platform.h"

// Whether the archive may be replaced by what the run writes: nothing there, a link
// (the rename replaces the link, never its target), an empty file, or a whole
// archive; never a file another user owns in a shared directory.
// Returns OK, or OPEN with a note naming shown.
Result CheckArchiveTarget(const DirectoryHandle& dir, const std::string& name, const char* shown,
                          const PathStatus& target);

// Whether an entry may be unpacked over target: never over the archive being read, a
// directory, nor a file another user owns in a shared directory.
// Returns OK, or DAMAGED or OPEN with a note.
Result CheckEntryTarget(const DirectoryHandle& dir, const std::string& name,
                        const FileIdentity& archive, const PathStatus& target);

// What a replacement puts in place: an archive replaces only what the archive rule
// allows, an entry any file but the ones it refuses.
enum class Replacing { ARCHIVE, ENTRY };

// Gives the temporary file its final mode and owner for target, as just examined,
// closes it and puts it at name in dir: never over a file that came there since target
// was found absent, and, where the names can be exchanged, never over a file other than
// target (for an archive, one that still may be replaced): otherwise the names are
// exchanged back. Afterwards name must refer to it. shown names the file in notes.
// Returns OK, FAIL when the close fails, or OPEN with a note (nothing renamed, unless
// the note says otherwise).
Result PutInPlace(const DirectoryHandle& dir, TempFile* temp, const std::string& name,
                  const char* shown, const PathStatus& target, Replacing what);
