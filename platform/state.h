// Process-wide state: everything the program keeps beyond a single call is declared
// here and nowhere else, one comment per item. One archive operation runs per
// process; ResetProcessState puts everything back as at start for the tests and the
// fuzzer, which run many in one process.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <termios.h>

#include <string>
#include <vector>

// --- what main prints on standard error at the end ------------------------------

// Failures and warnings, oldest first: "file: reason", or a line of its own.
extern std::vector<std::string> g_notes;

// --- the process and its console -------------------------------------------------

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
// The stop signals' actions before the run, by signal number, given back after it.
extern struct sigaction g_savedActions[NSIG];
// The process's umask, read once at start: the mode a new file gets is 0666 less it.
extern mode_t g_umask;

// Puts every item back as at the process's start.
void ResetProcessState();
