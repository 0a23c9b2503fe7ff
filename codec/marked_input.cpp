// The marked input: a marker may lie across two pieces, so the last bytes before the
// position stay in front of each new piece to be searched again.
#include "codec/marked_input.h"

#include <cstddef>
#include <cstring>
#include <new>

#include "codec/chunk_layout.h"
#include "platform/platform.h"

namespace {

constexpr size_t KEPT_BEHIND = CHUNK_END_MARKER_SIZE - 1;
// Where the marker's first 0xFF stands in it: memchr finds that byte many times faster
// than memmem finds the whole marker, and compressed data holds it only once in 256.
constexpr size_t FIRST_FF = 2;

// The first marker in [begin, end), or null.
const unsigned char* FindMarker(const unsigned char* begin, const unsigned char* end) {
    if (end - begin < static_cast<ptrdiff_t>(CHUNK_END_MARKER_SIZE)) {
        return nullptr;
    }
    const unsigned char* const lastFF = end - (CHUNK_END_MARKER_SIZE - FIRST_FF);
    for (const unsigned char* at = begin + FIRST_FF; at <= lastFF; ++at) {
        at = static_cast<const unsigned char*>(
            memchr(at, 0xff, static_cast<size_t>(lastFF - at) + 1));
        if (at == nullptr) {
            return nullptr;
        }
        if (memcmp(at - FIRST_FF, CHUNK_END_MARKER, CHUNK_END_MARKER_SIZE) == 0) {
            return at - FIRST_FF;
        }
    }
    return nullptr;
}

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
    const unsigned char* const filled = buffer + m_filled;
    const unsigned char* found = FindMarker(buffer + from, filled);
    while (found != nullptr && found + CHUNK_END_MARKER_SIZE <= buffer + at) {
        found = FindMarker(found + 1, filled);
    }
    const size_t segmentEnd =
        found != nullptr ? static_cast<size_t>(found - buffer) + CHUNK_END_MARKER_SIZE : m_filled;
    *data = buffer + at;
    *length = segmentEnd - at;
    *endsAtMarker = found != nullptr;
    return true;
}
