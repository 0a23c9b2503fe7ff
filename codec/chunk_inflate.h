// What inflates the chunks of one stream side by side: raw deflate that starts at a block
// boundary with a window given (or none), and tells, whenever it has used up its input,
// whether it then stands between two blocks on a byte boundary, where a chunk may end.
// It decides nothing about a stream: whatever it makes is only a proposal that the
// unpacker checks, and zlib judges every stream it does not take.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

enum class ChunkState {
    WITHIN,    // inside a block, or output room ran out: call again
    BETWEEN,   // the input used up exactly at a block boundary on a byte boundary
    FINISHED,  // the last block ended
    FAILED,    // the data is no deflate stream from here
};

struct ChunkStep {
    size_t consumed = 0;  // input bytes taken, all of them whole
    size_t produced = 0;  // output bytes written
    ChunkState state = ChunkState::WITHIN;
    size_t unused = 0;  // FINISHED: bytes taken past the last block's end
};

// The Adler-32 of no data, where every checksum begins.
constexpr uint32_t ADLER_START = 1;

class ChunkInflater {
  public:
    virtual ~ChunkInflater() = default;

    // Starts raw deflate at a block boundary, with the length bytes at window as the
    // data before it (none when length is 0). Returns false when the window is refused.
    virtual bool Begin(const unsigned char* window, size_t length) = 0;

    virtual ChunkStep Inflate(const unsigned char* input, size_t length, unsigned char* output,
                              size_t capacity) = 0;

    // The Adler-32 of data following what adler covers.
    virtual uint32_t Checksum(uint32_t adler, const unsigned char* data, size_t length) const = 0;
};

// The build's chunk inflater, or null in a build without one (without ISA-L) or when it
// cannot be had: the unpacker then keeps to one thread.
std::unique_ptr<ChunkInflater> MakeChunkInflater();
