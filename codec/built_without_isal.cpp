// The inflaters of a build without ISA-L: zlib alone.
#include "codec/inflate_engine.h"

std::vector<std::unique_ptr<InflateEngine>> FastInflaters() {
    return {};
}
