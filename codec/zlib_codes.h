// zlib's return codes in the program's terms: the one place where they become results,
// and the words a note gives them.
#pragma once

#include <string>

#include "platform/result.h"

// The result a zlib return code stands for: OK for Z_OK and Z_STREAM_END, else the
// failure's own result.
Result FromZlib(int zcode);

// The note for a stream zlib gave up on with zcode: the user's words, then zlib's own.
std::string StreamFailure(int zcode);
