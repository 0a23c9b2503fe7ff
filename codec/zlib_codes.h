// zlib's return codes in the program's terms: the one place where they become results,
// with the words a note gives them.
#pragma once

#include <cstddef>

#include "platform/result.h"

// The result a zlib return code stands for: OK for Z_OK and Z_STREAM_END, else the
// failure's own result, its note the user's words then zlib's own (the file not named).
Result ZlibResult(int zcode);

// Whether a zlib header is the one every zlib writer at the default window writes:
// deflate, 32 KiB window, no preset dictionary. The fast engines take only such a
// stream: ISA-L would inflate one declaring a larger window, or a dictionary when the
// header arrives in two pieces, where zlib refuses both.
constexpr size_t ZLIB_HEADER_SIZE = 2;
bool IsPlainZlibHeader(const unsigned char* header);
