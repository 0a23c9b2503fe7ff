// ISA-L's inflate as an engine: about three times zlib's speed on the streams this
// program writes. It only ever speeds a stream up: it takes a stream only when its
// header is the one this program writes, and the unpacker has zlib inflate again any
// stream it does not end cleanly, so that every verdict on a damaged stream is zlib's.
#pragma once

#include <isa-l/igzip_lib.h>

#include <cstddef>
#include <memory>

#include "codec/inflate_engine.h"

class IsalInflate final : public InflateEngine {
  public:
    Result BeginStream() override;
    InflateStep Inflate(const unsigned char* input, size_t length, unsigned char* output,
                        size_t capacity) override;

  private:
    InflateStep DeclineOtherHeaders(const unsigned char* input, size_t length);

    // 87 KiB, made once for the run: too large for the stack.
    std::unique_ptr<inflate_state> m_state;
    bool m_headerChecked = false;
    // Whole bytes the library has read ahead into its bit buffer but not used: not yet
    // consumed by the interface's count, so the caller presents them again.
    size_t m_held = 0;
};
