// The archive operation's set-up shared by all modes, and the listing.
#include "archive/archive_tool.h"

#include <zlib.h>

#include <cstdio>
#include <memory>
#include <new>

#include "archive/archive_entry.h"
#include "platform/platform.h"

namespace {

const char TIME_PATTERN[] = "%d.%m.%Y %H:%M:%S";

}  // namespace

int CArchiveTool::Process(const char* pattern, const char* archive, int mode, int level) {
    std::unique_ptr<CConsoleCodec> codec(new (std::nothrow) CConsoleCodec);
    if (!codec) {
        return Z_MEM_ERROR;
    }
    if (mode == MODE_CREATE) {
        return Create(pattern, archive, level, codec.get());
    }
    int result = ReadDirectory(archive);
    if (result != RESULT_OK) {
        return result;
    }
    if (mode == MODE_EXTRACT) {
        return Extract(archive, codec.get());
    }
    if (mode == MODE_LIST) {
        List(archive);
    }
    return RESULT_OK;
}

void CArchiveTool::List(const char* archive) {
    printf("\nContents of %.80s:", archive);
    for (int slot = 0; g_entries[slot].m_size != TERMINATOR_SIZE; ++slot) {
        const ArchiveEntry& entry = g_entries[slot];
        char timeText[TIME_TEXT_SIZE];
        FormatLocalTime(entry.m_mtime, TIME_PATTERN, timeText, sizeof timeText);
        char line[128];
        snprintf(line, sizeof line, "\n%-20.20s %12ld %-20.20s",
                 PrintableText(EntryName(entry)).c_str(), static_cast<long>(entry.m_size),
                 timeText);
        // Printed as text, never as a format: a name may hold a percent sign.
        fputs(line, stdout);
    }
}
