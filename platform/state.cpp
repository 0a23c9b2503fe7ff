// The process-wide state declared in platform/state.h.
#include "platform/state.h"

#include <cstring>

ArchiveEntry g_entries[ENTRY_TABLE_SLOTS];
int g_nEntries = 0;
int32_t g_lDataOffset = 0;
unsigned char g_recordBuffer[ENTRY_TABLE_SLOTS * ENTRY_RECORD_SIZE];
std::vector<std::string> g_notes;
bool g_outputEndsLine = true;
bool g_stdoutWasClosed = false;
bool g_stdoutDiscarded = false;
volatile sig_atomic_t g_stopSignal = 0;
bool g_stopByKey = false;
bool g_keyboardReady = false;
struct termios g_savedTerminal;
struct sigaction g_savedActions[STOP_SIGNAL_COUNT];

void ResetProcessState() {
    memset(g_entries, 0, sizeof g_entries);
    g_nEntries = 0;
    g_lDataOffset = 0;
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
