// Everything the front end prints: banner, usage, the one failure message, and the
// file details the lower layers recorded.
#pragma once

#include "platform/result.h"

void PrintBanner();
void PrintUsage();

// The message for a nonzero result of the given mode.
void PrintFailure(int mode, Result result, const char* modeArg, const char* archive);

// One line per recorded note on standard error.
void PrintNotes();
