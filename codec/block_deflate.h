// zlib's primed blocks, the method of a build without libdeflate: a file cut into
// 256 KiB blocks at fixed offsets, each deflated by zlib as raw deflate primed with the
// 32 KiB of the file before it and ended by a sync flush, so that the blocks put back
// to back make the stream one deflate of the whole file would make but for the flushes.
#pragma once

#include <cstddef>
#include <memory>

#include "codec/pack_job.h"

// Large enough that priming and flushing each block cost nothing measurable in time
// and under 0.05% in size, small enough that a few blocks per worker keep memory small.
constexpr size_t DEFLATE_BLOCK_SIZE = size_t{256} * 1024;
// Deflate's window: a block primed with this much of the data before it compresses
// as if it had never been cut off.
constexpr size_t DEFLATE_WINDOW_SIZE = size_t{32} * 1024;

// The method at level; null when the memory cannot be had.
std::unique_ptr<DeflateMethod> MakeBlockMethod(int level);

// One thread's zlib engine at level, its walker not made; null when the memory cannot be
// had.
std::unique_ptr<DeflateEngine> MakeZlibEngine(int level);
