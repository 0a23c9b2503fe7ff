// Extraction: each stream is inflated straight into a private temporary file of its
// own in the current directory, written only through its descriptor. Only when every
// stream has inflated whole and every target has been examined are the files renamed
// over their names, in record order, so a damaged, refused or stopped run extracts
// nothing, no file is ever half-replaced or written through a link, and nothing is
// written outside the current directory.
#include <cerrno>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "archive/archive_tool.h"
#include "archive/console_codec.h"
#include "archive/directory.h"
#include "archive/replace.h"
#include "codec/unpacker.h"
#include "platform/platform.h"

namespace {

const char ENTRY_PREFIX[] = ".tovra-entry-";
const char HERE[] = ".";
const char HERE_SHOWN[] = ". (current directory)";
const char ALREADY_PLACED[] = "warning: already put in place before the failure: ";

// Only a plain name stays inside the current directory.
bool IsPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The name in the current directory an entry goes to.
Target EntryTarget(const DirectoryHandle& here, const std::string& name,
                   const FileIdentity& archive, const ProcessStart& start) {
    Target target;
    target.dir = &here;
    target.name = name;
    target.shown = name;
    target.archive = archive;
    target.newFileMode = start.newFileMode;
    return target;
}

// Whether the entry may be extracted at all; an entry that may not still has its
// stream inflated, to find the next one, and discarded.
// Returns OK, or DAMAGED or OPEN with a note.
Result CheckEntry(const Target& target) {
    if (!IsPlainFileName(target.name)) {
        return Result(Result::DAMAGED, FileNote(target.name.empty() ? "(empty name)" : target.name,
                                                "unsafe entry name, not extracted"));
    }
    PathStatus found;
    return Examine(target, &found);
}

// Whether each entry is the last of its name: only that one is put in place, as it
// would replace the earlier ones anyway.
std::vector<bool> LastOfTheirNames(const Directory& directory) {
    std::vector<bool> last(static_cast<size_t>(directory.Count()));
    std::unordered_set<std::string> later;
    for (int k = directory.Count() - 1; k >= 0; --k) {
        last[static_cast<size_t>(k)] = later.insert(directory.Name(k)).second;
    }
    return last;
}

// Inflates one stream into temp, when it has been created, and sets the file's time
// after its last write. Returns OK, or the failure with its note.
Result InflateEntry(const ArchiveEntry& entry, const std::string& name, Unpacker* unpacker,
                    const TempFile& temp) {
    Result result = unpacker->InflateStream(temp.Exists() ? temp.fd() : -1, name.c_str());
    if (!result.ok() || !temp.Exists()) {
        return result;
    }
    return SetLastWriteTime(temp.fd(), entry.m_mtime).Naming(name);
}

// Inflates every stream, each entry that will be put in place into a temporary file of
// its own, which report hears about if it cannot be removed. Returns the first failure
// that must extract nothing, after the notes of the refusals before it, or OK; *refused
// gets every refusal, under the first one's code. After one, nothing will be renamed:
// the later streams are still inflated, to find any failure of theirs, but only
// checked, not kept; so are those of entries named again later.
Result InflateEntries(const Directory& directory, const std::vector<Target>& targets,
                      StoppableRun* run, Unpacker* unpacker, Report* report,
                      std::vector<TempFile>* temps, Result* refused) {
    const std::vector<bool> kept = LastOfTheirNames(directory);
    for (size_t k = 0; k < targets.size(); ++k) {
        const Target& target = targets[k];
        TempFile& temp = (*temps)[k];
        refused->Also(CheckEntry(target));
        if (refused->ok() && kept[k]) {
            Result created = temp.Create(*target.dir, ENTRY_PREFIX, report);
            if (!created.ok()) {
                // The directory refuses new files: every later entry would fail alike.
                return created.Naming(HERE_SHOWN).After(*refused);
            }
        }
        Result inflated =
            InflateEntry(directory.Entry(static_cast<int>(k)), target.name, unpacker, temp);
        if (!inflated.ok()) {
            return inflated.After(*refused);
        }
    }
    return run->StopRequested() ? Result(Result::ABORT).After(*refused) : Result::OK;
}

// Examines the target of every entry to be put in place, each refusal told, before any
// is renamed, so that a target that would refuse leaves every file as it was. Fills
// found with what each was found to be. Returns OK, or the first refusal (DAMAGED or
// OPEN) with the notes of all.
Result CheckTargets(const std::vector<Target>& targets, const std::vector<TempFile>& temps,
                    std::vector<PathStatus>* found) {
    Result first;
    for (size_t k = 0; k < targets.size(); ++k) {
        if (temps[k].Exists()) {
            first.Also(Examine(targets[k], &(*found)[k]));
        }
    }
    return first;
}

// Renames every extracted entry into place, as examined. Stops at the first failure,
// which is returned with a warning naming the files already put in place: the one case
// where a failing run has changed files. Returns OK, or that failure.
Result RenameEntries(const std::vector<Target>& targets, const std::vector<PathStatus>& found,
                     std::vector<TempFile>* temps) {
    std::string placed;
    for (size_t k = 0; k < targets.size(); ++k) {
        TempFile& temp = (*temps)[k];
        if (!temp.Exists()) {
            continue;
        }
        Result result = PutInPlace(targets[k], found[k], &temp);
        if (!result.ok()) {
            return placed.empty() ? result : result.Add(FileNote("", ALREADY_PLACED + placed));
        }
        placed += (placed.empty() ? "" : ", ") + targets[k].name;
    }
    return Result::OK;
}

// Once every stream has inflated whole: tells of any bytes after the last stream, and
// unless an entry was refused, examines every target again and renames the entries
// into place. Returns OK, the refusal, or the failure that stopped the renames.
Result PlaceEntries(const std::vector<Target>& targets, int64_t trailing, const char* archiveName,
                    Result refused, Report* report, std::vector<TempFile>* temps) {
    const Note ignored =
        FileNote(archiveName, std::to_string(trailing) + " bytes after the last stream ignored");
    if (!refused.ok()) {
        // Told after the refusals, which were met first.
        return trailing > 0 ? refused.Add(ignored) : refused;
    }
    if (trailing > 0) {
        report->Warn(ignored);
    }
    std::vector<PathStatus> found(targets.size());
    Result examined = CheckTargets(targets, *temps, &found);
    // Once begun, the renames are not stopped: they take milliseconds, and a stop now
    // would only leave a mixture of old and new files.
    return examined.ok() ? RenameEntries(targets, found, temps) : examined;
}

}  // namespace

Result CArchiveTool::Extract(const Directory& directory, const OpenedFile& archive,
                             const char* archiveName, InflateChoice inflate) {
    DirectoryHandle here;
    Result opened = here.Open(HERE);
    if (!opened.ok()) {
        return opened.Naming(HERE_SHOWN);
    }
    std::vector<Target> targets;
    targets.reserve(static_cast<size_t>(directory.Count()));
    for (int k = 0; k < directory.Count(); ++k) {
        targets.push_back(EntryTarget(here, directory.Name(k), archive.identity, m_start));
    }
    StoppableRun run;
    CConsoleCodec console(run, m_start.stdoutDiscarded);
    // Each removes itself unless renamed into place.
    std::vector<TempFile> temps(targets.size());
    const int64_t offset = directory.DataOffset();
    std::vector<int64_t> sizes;
    sizes.reserve(targets.size());
    for (int k = 0; k < directory.Count(); ++k) {
        sizes.push_back(directory.Entry(k).m_size);
    }
    Unpacker unpacker(console, inflate);
    Result result = unpacker.Begin(archive.fd.get(), offset, archive.length - offset,
                                   std::move(sizes), archiveName);
    Result refused;
    if (result.ok()) {
        result = InflateEntries(directory, targets, &run, &unpacker, m_report, &temps, &refused);
    }
    if (result == Result::ABORT) {
        // A stop ends the run: the note names the archive and the cause.
        return result.Add(FileNote(archiveName, run.StopReason()));
    }
    if (!result.ok()) {
        return result;
    }
    unpacker.ShowComplete();
    return PlaceEntries(targets, unpacker.UnreadBytes(), archiveName, refused, m_report, &temps);
}
