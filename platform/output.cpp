// Standard output: everything the program prints there passes through PrintOut, which
// remembers whether the output ends a line, so that a note on the same terminal can
// start a line of its own.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/platform.h"
#include "platform/state.h"

namespace {

bool SameTerminal(int a, int b) {
    struct stat first;
    struct stat second;
    return isatty(a) && isatty(b) && fstat(a, &first) == 0 && fstat(b, &second) == 0 &&
           first.st_rdev == second.st_rdev;
}

}  // namespace

void PrintOut(const std::string& text) {
    if (text.empty()) {
        return;
    }
    // Printed as text, never as a format: a name may hold a percent sign.
    fputs(text.c_str(), stdout);
    g_outputEndsLine = text.back() == '\n';
}

bool NoteWouldContinueOutputLine() {
    return !g_outputEndsLine && SameTerminal(STDOUT_FILENO, STDERR_FILENO);
}
