// The deflate method of a build without libdeflate: zlib's primed blocks.
#include "codec/block_deflate.h"

std::unique_ptr<DeflateMethod> BuiltMethod(int level) {
    return MakeBlockMethod(level);
}
