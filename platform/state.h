// Process-wide state: only what a signal handler or the terminal needs beyond a single
// call, declared here and nowhere else, one comment per item saying which threads
// touch it. Everything else a run knows is a value passed down. One archive operation
// runs per process; ResetProcessState puts every item back as at start for the tests
// and the fuzzer, which run many in one process.
#pragma once

#include <signal.h>

// The signal that asked the run to stop, or 0. Written by the stop handler, which may
// run on any thread; read by the thread that runs the archive operation.
extern volatile sig_atomic_t g_stopSignal;
// What the terminal shows of standard output ends a line: nothing printed yet, or a
// newline last (the progress figure's backspaces leave the cursor inside its line).
// The archive operation's thread only: it alone prints.
extern bool g_outputEndsLine;

// Puts every item back as at the process's start.
void ResetProcessState();
