// The process-wide state declared in platform/state.h.
#include "platform/state.h"

#include <cstring>

std::vector<std::string> g_notes;
bool g_outputEndsLine = true;
bool g_stdoutWasClosed = false;
bool g_stdoutDiscarded = false;
volatile sig_atomic_t g_stopSignal = 0;
bool g_stopByKey = false;
bool g_keyboardReady = false;
struct termios g_savedTerminal;
struct sigaction g_savedActions[NSIG];
mode_t g_umask = 022;

void ResetProcessState() {
    g_notes.clear();
    g_outputEndsLine = true;
    g_stdoutWasClosed = false;
    g_stdoutDiscarded = false;
    g_stopSignal = 0;
    g_stopByKey = false;
    g_keyboardReady = false;
    memset(&g_savedTerminal, 0, sizeof g_savedTerminal);
    memset(g_savedActions, 0, sizeof g_savedActions);
}
