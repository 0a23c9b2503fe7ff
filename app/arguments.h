// Reading the command line: which mode the arguments ask for, and the slips they show.
#pragma once

#include "platform/diagnostics.h"

constexpr int MODE_INVALID = 999;
constexpr int COMPRESSION_LEVEL = 6;

// The mode argv[1] names, as atoi reads it, or MODE_INVALID when it is out of
// range or the argument count does not fit it. argc must be 3 or 4.
int ParseMode(int argc, const char* const* argv);

// Tells report what a command line most likely got wrong: too many arguments (an
// unquoted pattern), a mode that is not a single digit, a mode rejected, a mode without
// its archive. mode is ParseMode's answer, or MODE_INVALID when it was not asked.
void NoteSlips(int argc, const char* const* argv, int mode, Report* report);
