// The program's results, shared by every layer from the codec up to main, which turns
// the one a run ends with into the exit status by a single cast. The values are the exit
// statuses' source and never change; zlib's codes become STREAM to BUFFER through one
// mapping in codec/, so that neither an errno value nor a zlib code passes for a result.
#pragma once

enum class Result : int {
    OK = 0,
    MODE_REJECTED = 1,  // not 0, 1 or 2, or the wrong number of arguments for the mode
    FAIL = -1,          // archive not found, nothing matched, or a short write
    STREAM = -2,        // zlib could not run a stream
    DATA = -3,          // damaged stream data or check value
    MEMORY = -4,        // out of memory
    BUFFER = -5,        // a stream cut short
    ABORT = -7,         // key press or termination signal
    DAMAGED = -8,       // damaged or unsafe archive
    LIMIT = -9,         // a file that does not fit the format
    OPEN = -10,         // a file that could not be opened or created
};
