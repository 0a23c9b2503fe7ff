// The marked input: a marker may lie across two pieces, so the last bytes before the
// position stay in front of each new piece to be searched again.
#include "codec/marked_input.h"

#include <cstring>
#include <new>

#include "codec/chunk_layout.h"
#include "platform/platform.h"

namespace {

constexpr size_t KEPT_BEHIND = CHUNK_END_MARKER_SIZE - 1;

}  // namespace

bool MarkedInput::Allocate() {
    if (!m_buffer) {
        m_buffer.reset(new (std::nothrow) unsigned char[KEPT_BEHIND + PIECE_SIZE]);
    }
    return m_buffer != nullptr;
}

void MarkedInput::Begin(int inFd, int64_t offset, int64_t end) {
    m_inFd = inFd;
    m_end = end;
    m_base = offset;
    m_filled = 0;
    m_position = offset;
}

bool MarkedInput::Refill() {
    const int64_t behind = m_position - m_base;
    const size_t kept =
        behind < static_cast<int64_t>(KEPT_BEHIND) ? static_cast<size_t>(behind) : KEPT_BEHIND;
    memmove(m_buffer.get(), m_buffer.get() + (behind - static_cast<int64_t>(kept)), kept);
    m_base = m_position - static_cast<int64_t>(kept);
    m_filled = kept;
    const int64_t left = m_end - m_position;
    const size_t wanted =
        left < static_cast<int64_t>(PIECE_SIZE) ? static_cast<size_t>(left) : PIECE_SIZE;
    size_t got = 0;
    if (wanted > 0 && !ReadFullAt(m_inFd, m_buffer.get() + kept, wanted, m_position, &got).ok()) {
        return false;
    }
    m_filled += got;
    return true;
}

bool MarkedInput::Segment(const unsigned char** data, size_t* length, bool* endsAtMarker) {
    if (m_position == m_base + static_cast<int64_t>(m_filled) && !Refill()) {
        return false;
    }
    const unsigned char* buffer = m_buffer.get();
    const size_t at = static_cast<size_t>(m_position - m_base);
    // A marker that ends past the position, though it may begin before it.
    const size_t from = at < KEPT_BEHIND ? 0 : at - KEPT_BEHIND;
    const void* found =
        memmem(buffer + from, m_filled - from, CHUNK_END_MARKER, CHUNK_END_MARKER_SIZE);
    while (found != nullptr &&
           static_cast<const unsigned char*>(found) + CHUNK_END_MARKER_SIZE <= buffer + at) {
        const unsigned char* next = static_cast<const unsigned char*>(found) + 1;
        found = memmem(next, static_cast<size_t>(buffer + m_filled - next), CHUNK_END_MARKER,
                       CHUNK_END_MARKER_SIZE);
    }
    const size_t segmentEnd =
        found != nullptr ? static_cast<size_t>(static_cast<const unsigned char*>(found) - buffer) +
                               CHUNK_END_MARKER_SIZE
                         : m_filled;
    *data = buffer + at;
    *length = segmentEnd - at;
    *endsAtMarker = found != nullptr;
    return true;
}
