// The program's fixed texts.
#include "app/messages.h"

#include <cstdio>

#include "app/arguments.h"
#include "app/version.h"
#include "archive/archive_tool.h"
#include "platform/platform.h"
#include "platform/state.h"

void PrintBanner() {
    printf("\nTOVRA " TOVRA_VERSION "  zlib archiver for Linux, free software");
}

void PrintUsage() {
    printf("\nUsage: 'tovra 0 zipfile infile' to zip (infile = one filename, or *.dat etc),");
    printf("\n       'tovra 1 zipfile' to unzip to current dir,");
    printf("\n       'tovra 2 zipfile' to view contents only");
}

void PrintFailure(int mode, Result result, const char* modeArg, const char* archive) {
    if (mode == MODE_INVALID) {
        printf("\nError in mode in tovraping %.80s\n", modeArg);
    } else if (result == Result::FAIL) {
        printf("\nCannot find file(s): %s", archive);
    } else if (mode == MODE_CREATE) {
        printf("\nError %d in tovraping %s", static_cast<int>(result), archive);
    } else {
        printf("\nError %d in unzipping %s", static_cast<int>(result), archive);
    }
}

void PrintNotes() {
    // Standard output first, so the two streams read in order on one terminal.
    fflush(stdout);
    for (const std::string& note : g_notes) {
        fprintf(stderr, "tovra: %s\n", note.c_str());
    }
}
