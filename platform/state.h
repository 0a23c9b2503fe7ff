// Process-wide state: everything the program keeps beyond a single call is declared
// here and nowhere else, one comment per item. One archive operation runs per
// process; ResetProcessState puts everything back as at start for the tests and the
// fuzzer, which run many in one process.
#pragma once

#include <signal.h>
#include <termios.h>

#include <cstdint>
#include <string>
#include <vector>

// --- the archive's directory: archive/ alone reads and writes it ----------------

constexpr int ENTRY_NAME_SIZE = 80;
constexpr int ENTRY_RECORD_SIZE = 88;
constexpr int ENTRY_TABLE_SLOTS = 1000;

// One directory record in memory; archive/ gives it its disk form.
struct ArchiveEntry {
    char m_szName[ENTRY_NAME_SIZE];  // bare name, zero-padded; may fill all 80 bytes when read
    int32_t m_size;                  // length in bytes, or -1 for the terminator
    int32_t m_mtime;                 // last-write time, seconds since 1970 UTC
};

// The entry table: the directory being packed, or the one read from an archive;
// slot k holds entry k, and a record of size -1 ends it.
extern ArchiveEntry g_entries[ENTRY_TABLE_SLOTS];
// The number of entries before the terminator.
extern int g_nEntries;
// Where the first stream starts: the directory's length in bytes.
extern int32_t g_lDataOffset;
// The directory in its disk form, on its way to or from the archive.
extern unsigned char g_recordBuffer[ENTRY_TABLE_SLOTS * ENTRY_RECORD_SIZE];

// --- what main prints on standard error at the end ------------------------------

// Failures and warnings, oldest first: "file: reason", or a line of its own.
extern std::vector<std::string> g_notes;

// --- the process and its console -------------------------------------------------

constexpr int STOP_SIGNAL_COUNT = 5;

// Standard output ends a line: nothing printed yet, or a newline last. The progress
// figure's backspaces leave the cursor inside its line.
extern bool g_outputEndsLine;
// Descriptor 1 was closed at start (it is /dev/null now): a listing has nowhere to go.
extern bool g_stdoutWasClosed;
// Standard output is the null device: figures need no flush to be seen.
extern bool g_stdoutDiscarded;
// The signal that asked the run to stop, or 0; the only item a signal handler writes.
extern volatile sig_atomic_t g_stopSignal;
// A key press asked the run to stop.
extern bool g_stopByKey;
// The terminal is in single-key mode and must be given back as g_savedTerminal.
extern bool g_keyboardReady;
// The terminal's settings before the run.
extern struct termios g_savedTerminal;
// The stop signals' actions before the run, given back after it.
extern struct sigaction g_savedActions[STOP_SIGNAL_COUNT];

// Puts every item back as at the process's start.
void ResetProcessState();
