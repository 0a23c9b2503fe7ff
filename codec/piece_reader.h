// The unpacker's input: the compressed region of one descriptor, read in pieces at fixed
// offsets into one buffer that all the streams share, so that the rest of one stream's
// piece is the start of the next. An engine may read a few bytes ahead without using
// them; the reader keeps room for those in front of each new piece. The reader opens
// nothing: the descriptor is its caller's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/result.h"

class PieceReader {
  public:
    // Large pieces: the inflaters' fast paths then cover nearly all of the data, and
    // the system calls cost nothing; no larger, so that with ISA-L's state and code the
    // run stays under 4 MiB. Pieces are always read at multiples of PIECE_SIZE into
    // the region, so a stream read again sees the same pieces.
    static constexpr size_t PIECE_SIZE = size_t{64} * 1024;
    // The most an engine leaves unconsumed when it asks for more input: a bit buffer.
    static constexpr size_t MAX_UNCONSUMED = 8;

    // Takes the buffer and starts reading at offset of inFd; size is the region's
    // length. Returns OK, or MEMORY with a note.
    Result Begin(int inFd, int64_t offset, int64_t size);

    // The bytes read but not yet consumed.
    const unsigned char* Next() const { return m_next; }
    size_t Waiting() const { return m_waiting; }
    void Consume(size_t count) {
        m_next += count;
        m_waiting -= count;
    }

    // Reads the next piece behind the bytes still waiting, which an engine that asks
    // for input has left unconsumed. A read that fails ends the input like the end of
    // the file, and is kept for ReadFailure. Returns whether any new byte came.
    bool Refill();

    // Makes offset, where a stream began, the next byte to consume, with the input in
    // the same pieces as when it was first read.
    void RestartAt(int64_t offset);

    // Where the next byte to consume lies in the descriptor: the start of the next
    // stream between streams.
    int64_t Offset() const { return m_readOffset - static_cast<int64_t>(m_waiting); }
    int64_t RegionStart() const { return m_regionStart; }
    int64_t RegionEnd() const { return m_regionEnd; }

    // The first read that failed (the file not named), or OK: a stream read again reads
    // it again, and it is told once.
    const Result& ReadFailure() const { return m_readFailure; }

  private:
    std::unique_ptr<unsigned char[]> m_buffer;  // MAX_UNCONSUMED, then a piece
    const unsigned char* m_next = nullptr;
    size_t m_waiting = 0;
    int m_inFd = -1;
    Result m_readFailure;
    int64_t m_regionStart = 0;
    int64_t m_regionEnd = 0;
    int64_t m_readOffset = 0;  // of the next piece to read
};
