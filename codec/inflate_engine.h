// What the unpacker inflates through: an engine that takes one zlib stream at a time,
// a piece per call, and says how each piece ended. zlib is the judge of every stream; a
// faster engine may go before it. Each engine maps its library's codes to a result in
// one place. An engine's destructor releases whatever it took for its streams.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "platform/result.h"

enum class InflateOutcome {
    MORE,        // the stream goes on: call again with more input or output room
    STREAM_END,  // the stream's trailer checked out; the rest of the input is not its
    FAILED,      // the stream cannot go on: damaged, cut short, or out of memory
};

struct InflateStep {
    // Input bytes the call is done with. An engine may read a few bytes ahead without
    // using them; it leaves them out of this count and expects them again at the front
    // of the next call's input.
    size_t consumed = 0;
    size_t produced = 0;  // output bytes it wrote
    InflateOutcome outcome = InflateOutcome::MORE;
    Result failure;    // why it FAILED (the file not named)
    int zlibCode = 0;  // zlib's own return code, for the line that shows it; 0 from others
};

class InflateEngine {
  public:
    virtual ~InflateEngine() = default;

    // Makes the engine ready for a stream whose first byte is the next input it is
    // given. Returns OK, or the failure (the file not named).
    virtual Result BeginStream() = 0;

    // Inflates from the length bytes at input into the capacity bytes at output, as
    // far as either allows. MORE with output room left asks for more input.
    virtual InflateStep Inflate(const unsigned char* input, size_t length, unsigned char* output,
                                size_t capacity) = 0;
};

// The engines the build has that go before zlib, fastest first, chosen by which source
// the build compiles: none in a build without ISA-L. Any that cannot be made is left out.
std::vector<std::unique_ptr<InflateEngine>> FastInflaters();
