// The inflaters of a build without ISA-L: zlib alone.
#include "codec/chunk_inflate.h"
#include "codec/inflate_engine.h"

std::vector<std::unique_ptr<InflateEngine>> FastInflaters() {
    return {};
}

std::unique_ptr<ChunkInflater> MakeChunkInflater() {
    return nullptr;
}
