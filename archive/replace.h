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

// Whether an entry may be unpacked over target: never over the archive being read,
// nor over a file another user owns in a shared directory.
// Returns OK, or DAMAGED or OPEN with a note.
Result CheckEntryTarget(const DirectoryHandle& dir, const std::string& name,
                        const FileIdentity& archive, const PathStatus& target);

// Gives the temporary file its final mode and owner for target, as just examined,
// closes it and renames it over name in its directory, never over a file that came there since
// target was found absent; afterwards name must refer to it. shown names the file in
// notes. Returns OK, FAIL when the close fails, or OPEN with a note (nothing renamed,
// unless the note says otherwise).
Result PutInPlace(TempFile* temp, const std::string& name, const char* shown,
                  const PathStatus& target);
