// One input of arbitrary bytes run as an archive file through the listing and a
// full extraction (each reads the directory first); shared by the fuzzer and the
// regression test that replays the inputs the fuzzer kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Runs the input in a private scratch workspace, with standard output silenced
// and the process-wide table and notes reset before each mode; the workspace is
// emptied afterwards. Returns "" when every check held, else what went wrong
// (a file written outside the extraction directory, a temporary file left, a
// changed archive, an extraction reported whole that is not, or a failure of
// the system's own that noted no cause).
std::string RunArchiveInput(const uint8_t* data, size_t size);
