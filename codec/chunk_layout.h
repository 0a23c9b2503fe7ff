// Where the chunks of one stream meet: the packer cuts a file into chunks of CHUNK_SIZE
// bytes, and every chunk but the last ends in an empty stored block on a byte boundary
// (unless its last block happens to end on one), whose last four bytes are the marker.
// The chunk after it refers to nothing before it, so it can be inflated on its own.
#pragma once

#include <cstddef>

// Large enough that each chunk's fresh start (no window from the chunk before, about
// 1.5 KB of text) keeps the archive within zlib's level 6 size, small enough that
// three jobs of input and output stay within 25 MiB.
constexpr size_t CHUNK_SIZE = size_t{4} << 20;

// An empty stored block's lengths, 0 and its complement.
constexpr unsigned char CHUNK_END_MARKER[] = {0x00, 0x00, 0xff, 0xff};
constexpr size_t CHUNK_END_MARKER_SIZE = sizeof CHUNK_END_MARKER;
