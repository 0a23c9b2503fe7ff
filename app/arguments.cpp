// Mode parsing: the digit reads like atoi (text reads as 0, "2abc" as 2), without
// atoi's undefined overflow.
#include "app/arguments.h"

#include <climits>
#include <cstdlib>

#include "archive/archive_tool.h"

int ParseMode(int argc, const char* const* argv) {
    long value = strtol(argv[1], nullptr, 10);
    if (value < MODE_CREATE || value > MODE_LIST) {
        return MODE_INVALID;
    }
    int mode = static_cast<int>(value);
    int expectedArgc = mode == MODE_CREATE ? 4 : 3;
    return argc == expectedArgc ? mode : MODE_INVALID;
}
