// Result codes shared by every layer, from the codec up to the exit status.
// Negative zlib codes (-2 to -6) pass through unchanged beside these.
#pragma once

constexpr int RESULT_OK = 0;
constexpr int RESULT_FAIL = -1;     // archive not found, nothing matched, or a short write
constexpr int RESULT_ABORT = -7;    // key press or termination signal
constexpr int RESULT_DAMAGED = -8;  // damaged or unsafe archive
constexpr int RESULT_LIMIT = -9;    // a file that does not fit the format
constexpr int RESULT_OPEN = -10;    // a file that could not be opened or created
