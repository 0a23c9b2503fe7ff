// libdeflate's chunks, the method of a build with libdeflate (its BuiltMethod): a file cut into
// chunks of CHUNK_SIZE bytes at fixed offsets, each deflated on its own by libdeflate (about twice
// as fast as zlib) as raw deflate. Every chunk but a file's last ends in a block marked last; the
// job clears that mark and brings the data to a byte boundary, so the chunks put back to back make
// one deflate stream. A file of at most one chunk is one job, deflated whole; one of at most
// SMALL_FILE_SIZE bytes is deflated whole by zlib, which codes the smallest files tighter
// (libdeflate stores the shortest ones).
#pragma once

#include <cstddef>

#include "codec/chunk_layout.h"
#include "codec/pack_job.h"

// The largest file deflated by zlib: 0.5% to 17% smaller streams than libdeflate's on
// the bench's small files, for about 2% of the corpus's bytes.
constexpr size_t SMALL_FILE_SIZE = size_t{16} * 1024;
