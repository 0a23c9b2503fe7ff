// The program's fixed texts.
#include "app/messages.h"

#include <cstdio>
#include <string>
#include <vector>

#include "app/arguments.h"
#include "app/version.h"
#include "archive/archive_tool.h"
#include "platform/platform.h"

namespace {

constexpr size_t MODE_SHOWN = 80;

}  // namespace

void PrintBanner() {
    PrintOut("\nTOVRA " TOVRA_VERSION "  zlib archiver for Linux, free software");
}

void PrintUsage() {
    PrintOut(
        "\nUsage: 'tovra 0 zipfile infile' to zip (infile = one filename, or *.dat etc),"
        "\n       'tovra 1 zipfile' to unzip to current dir,"
        "\n       'tovra 2 zipfile' to view contents only");
}

void PrintFailure(int mode, const Result& result, const char* modeArg, const char* archive) {
    const std::string code = std::to_string(result.code());
    if (mode == MODE_INVALID) {
        PrintOut("\nError in mode in tovraping " + std::string(modeArg).substr(0, MODE_SHOWN) +
                 "\n");
    } else if (result == Result::FAIL) {
        PrintOut(std::string("\nCannot find file(s): ") + archive);
    } else if (mode == MODE_CREATE) {
        PrintOut("\nError " + code + " in tovraping " + archive);
    } else {
        PrintOut("\nError " + code + " in unzipping " + archive);
    }
}

void PrintNotes(const Report& report, const Result& result) {
    std::vector<Note> notes = report.notes();
    notes.insert(notes.end(), result.notes().begin(), result.notes().end());
    // Standard output first, so the two streams read in order on one terminal.
    fflush(stdout);
    // There a note starts a line of its own, not at the end of the output's last.
    if (!notes.empty() && NoteWouldContinueOutputLine()) {
        fputs("\n", stderr);
    }
    for (const Note& note : notes) {
        fprintf(stderr, "tovra: %s\n", PrintableText(note.Text()).c_str());
    }
}
