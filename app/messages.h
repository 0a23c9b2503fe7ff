// Everything the front end prints: banner, usage, the one failure message, and the
// notes: the run's warnings and its result's.
#pragma once

#include "platform/diagnostics.h"
#include "platform/result.h"

void PrintBanner();
void PrintUsage();

// The message for a nonzero result of the given mode.
void PrintFailure(int mode, const Result& result, const char* modeArg, const char* archive);

// One line per note on standard error: the report's warnings, then the result's notes.
void PrintNotes(const Report& report, const Result& result);
