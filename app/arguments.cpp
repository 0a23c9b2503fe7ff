// Mode parsing: the digit reads like atoi (text reads as 0, "2abc" as 2), without
// atoi's undefined overflow; and the hints for the classic slips.
#include "app/arguments.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "archive/archive_tool.h"

namespace {

constexpr int MAX_ARGC = 4;
constexpr size_t SHOWN_MODE_LENGTH = 80;

long ModeValue(const char* text) {
    return strtol(text, nullptr, 10);
}

}  // namespace

int ParseMode(int argc, const char* const* argv) {
    long value = ModeValue(argv[1]);
    if (value < MODE_CREATE || value > MODE_LIST) {
        return MODE_INVALID;
    }
    int mode = static_cast<int>(value);
    int expectedArgc = mode == MODE_CREATE ? 4 : 3;
    return argc == expectedArgc ? mode : MODE_INVALID;
}

void NoteSlips(int argc, const char* const* argv, int mode, Report* report) {
    if (argc > MAX_ARGC) {
        // The shell expanded an unquoted pattern into many names.
        report->Warn(FileNote("", std::to_string(argc - 1) +
                                      " arguments: quote the wildcard pattern, as in tovra 0 "
                                      "ARCHIVE '*.txt'"));
        return;
    }
    if (argc < 2) {
        return;
    }
    const std::string text = std::string(argv[1]).substr(0, SHOWN_MODE_LENGTH);
    const long value = ModeValue(argv[1]);
    const bool singleDigit = strlen(argv[1]) == 1 && argv[1][0] >= '0' && argv[1][0] <= '9';
    if (value < MODE_CREATE || value > MODE_LIST) {
        report->Warn(FileNote("", "mode '" + text + "' is not 0, 1 or 2"));
        return;
    }
    if (!singleDigit) {
        report->Warn(FileNote("", "mode '" + text + "' read as " + std::to_string(value)));
    }
    if (mode == MODE_INVALID) {
        report->Warn(
            FileNote("", value == MODE_CREATE ? "mode 0 takes an archive and a pattern"
                         : argc == 2 ? "mode " + std::to_string(value) + " takes an archive"
                                     : "mode " + std::to_string(value) + " takes only an archive"));
    }
}
