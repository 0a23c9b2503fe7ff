// The archive operation's set-up shared by all modes, and the listing.
#include "archive/archive_tool.h"

#include <cerrno>
#include <cstdio>
#include <string>

#include "archive/directory.h"

namespace {

const char TIME_PATTERN[] = "%d.%m.%Y %H:%M:%S";
constexpr size_t ARCHIVE_SHOWN = 80;
constexpr size_t NAME_COLUMNS = 20;
const char STANDARD_OUTPUT[] = "standard output";

}  // namespace

Result CArchiveTool::Process(const char* pattern, const char* archive, int mode,
                             const PackOptions& pack, InflateChoice inflate) {
    return mode == MODE_CREATE ? Create(pattern, archive, pack) : Read(archive, mode, inflate);
}

Result CArchiveTool::Read(const char* archive, int mode, InflateChoice inflate) {
    // Opened once: the directory and the streams are read through this one descriptor.
    OpenedFile file;
    Result opened = OpenRegularFile(archive, &file);
    if (!opened.ok()) {
        // Something at the name that is no file is as unusable as a damaged archive.
        return opened == Result::DAMAGED ? opened : opened.As(Result::FAIL);
    }
    Directory directory;
    Result result = directory.ReadFrom(file.fd.get(), archive);
    if (result.ok() && mode == MODE_EXTRACT) {
        result = Extract(directory, file, archive, inflate);
    } else if (result.ok() && mode == MODE_LIST) {
        result = List(directory, archive);
    }
    return result;
}

Result CArchiveTool::List(const Directory& directory, const char* archive) const {
    // The name as typed may hold anything: it is shown by the rule the entries follow.
    PrintOut("\nContents of " + PrintableText(std::string(archive).substr(0, ARCHIVE_SHOWN)) + ":");
    const ColumnFitter fitter;
    for (int k = 0; k < directory.Count(); ++k) {
        const ArchiveEntry& entry = directory.Entry(k);
        char timeText[TIME_TEXT_SIZE];
        FormatLocalTime(entry.m_mtime, TIME_PATTERN, timeText, sizeof timeText);
        char sizeAndTime[64];
        snprintf(sizeAndTime, sizeof sizeAndTime, " %12ld %-20.20s",
                 static_cast<long>(entry.m_size), timeText);
        PrintOut("\n" + fitter.Fit(PrintableText(directory.Name(k)), NAME_COLUMNS) + sizeAndTime);
    }
    // The listing is this mode's whole product: output that went nowhere is a failure.
    if (m_start.stdoutWasClosed) {
        return Result(Result::FAIL, ErrnoNote(STANDARD_OUTPUT, EBADF));
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        return Result(Result::FAIL, ErrnoNote(STANDARD_OUTPUT, errno));
    }
    return Result::OK;
}
