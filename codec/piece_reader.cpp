// The unpacker's input, piece by piece.
#include "codec/piece_reader.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/platform.h"

namespace {

constexpr size_t BUFFER_SIZE = PieceReader::MAX_UNCONSUMED + PieceReader::PIECE_SIZE;

}  // namespace

Result PieceReader::Begin(int inFd, int64_t offset, int64_t size) {
    m_inFd = inFd;
    m_regionStart = offset;
    m_regionEnd = offset + size;
    m_readOffset = offset;
    m_waiting = 0;
    m_buffer.reset(new (std::nothrow) unsigned char[BUFFER_SIZE]);
    if (!m_buffer) {
        return OutOfMemory();
    }
    // Touched once, here: the run's memory is then the same whatever the archive.
    memset(m_buffer.get(), 0, BUFFER_SIZE);
    m_next = m_buffer.get() + MAX_UNCONSUMED;
    return Result::OK;
}

bool PieceReader::Refill() {
    if (m_waiting > MAX_UNCONSUMED) {
        return false;  // no engine leaves more; it cannot be given more either
    }
    unsigned char* piece = m_buffer.get() + MAX_UNCONSUMED;
    memmove(piece - m_waiting, m_next, m_waiting);
    size_t got = 0;
    Result read = ReadFullAt(m_inFd, piece, PIECE_SIZE, m_readOffset, &got);
    if (!read.ok()) {
        m_readFailure = m_readFailure.ok() ? read : m_readFailure;
        got = 0;
    }
    m_next = piece - m_waiting;
    m_readOffset += static_cast<int64_t>(got);
    m_waiting += got;
    return got > 0;
}

void PieceReader::RestartAt(int64_t offset) {
    const int64_t pieces = (offset - m_regionStart) / static_cast<int64_t>(PIECE_SIZE);
    m_readOffset = m_regionStart + pieces * static_cast<int64_t>(PIECE_SIZE);
    m_waiting = 0;
    m_next = m_buffer.get() + MAX_UNCONSUMED;
    if (offset > m_readOffset) {
        Refill();
        const size_t skipped = static_cast<size_t>(offset - (m_readOffset - m_waiting));
        // Fewer bytes than before means the archive shrank: the judge finds it cut short.
        Consume(std::min(skipped, m_waiting));
    }
}
