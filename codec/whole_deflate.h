// The whole-file engine: a file larger than one block and at most WHOLE_FILE_LIMIT
// bytes is read whole by a worker and deflated in one call by libdeflate, about twice
// as fast as zlib, into one ordinary zlib stream. libdeflate has no streaming and no
// dictionary, so it cannot join blocks into one stream: larger files keep zlib's
// blocks. A build without libdeflate packs every file in blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "codec/block_deflate.h"

// The largest file packed whole: with two of them being compressed and the budget's
// rest read ahead or waiting to be written, two workers stay within 64 MiB.
constexpr int64_t WHOLE_FILE_LIMIT = int64_t{8} << 20;
// What the whole files in flight may hold at once, input and output together: room
// for two files of the limit being compressed and as much again read ahead or done.
constexpr size_t WHOLE_FILE_BUDGET = size_t{48} << 20;

// True when a file of size bytes is packed whole: the choice depends on its size alone.
// A file of one block is deflated whole by zlib already, and as small as it is, zlib
// codes it a little tighter than libdeflate, which stores the shortest ones.
bool PacksWhole(int64_t size);

// The most bytes the stream of a whole file of size bytes can take.
size_t WholeStreamBound(size_t size);

// An engine that deflates whole files at level, or null when there is no memory for it.
std::unique_ptr<DeflateEngine> MakeWholeEngine(int level);
