// What the unpacker inflates through: an engine that takes one zlib stream at a time,
// a piece per call, and says in zlib's codes how each piece ended. zlib is the judge of
// every stream; a faster engine may go before it. An engine's destructor releases
// whatever it took for its streams.
#pragma once

#include <cstddef>

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
    int zlibCode = 0;  // zlib's code for the call: Z_OK, Z_STREAM_END, or the failure's
};

class InflateEngine {
  public:
    // Makes the engine ready for a stream whose first byte is the next input it is
    // given. Returns Z_OK, or zlib's code for the failure.
    virtual int BeginStream() = 0;

    // Inflates from the length bytes at input into the capacity bytes at output, as
    // far as either allows. MORE with output room left asks for more input.
    virtual InflateStep Inflate(const unsigned char* input, size_t length, unsigned char* output,
                                size_t capacity) = 0;

  protected:
    ~InflateEngine() = default;
};
