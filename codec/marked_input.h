// A chunk job's input: the compressed region of the archive read in pieces of its own,
// handed out in segments that end at the buffer's end or just after the next chunk-end
// marker, so that an inflater that uses up a segment stands exactly where a chunk may
// end. It opens nothing: the descriptor is its caller's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

class MarkedInput {
  public:
    static constexpr size_t PIECE_SIZE = size_t{128} * 1024;

    // Returns false when the buffer cannot be had.
    bool Allocate();

    // Starts at offset of inFd; nothing at or past end is read.
    void Begin(int inFd, int64_t offset, int64_t end);

    // The bytes from the position up to the next segment's end, read first when none
    // waits; *length is 0 at the region's end. Returns false when a read fails.
    bool Segment(const unsigned char** data, size_t* length, bool* endsAtMarker);

    // Moves the position past count bytes of the segment.
    void Consume(size_t count) { m_position += static_cast<int64_t>(count); }

    int64_t Position() const { return m_position; }

  private:
    bool Refill();

    std::unique_ptr<unsigned char[]> m_buffer;
    int m_inFd = -1;
    int64_t m_end = 0;
    int64_t m_base = 0;   // the offset of the buffer's first byte
    size_t m_filled = 0;  // bytes in the buffer
    int64_t m_position = 0;
};
