// zlib's inflate as an engine: one inflate state for the whole run, reset for each
// stream.
#pragma once

#include <zlib.h>

#include "codec/inflate_engine.h"

class ZlibInflate final : public InflateEngine {
  public:
    ZlibInflate() = default;
    ~ZlibInflate();
    ZlibInflate(const ZlibInflate&) = delete;
    ZlibInflate& operator=(const ZlibInflate&) = delete;

    Result BeginStream() override;
    InflateStep Inflate(const unsigned char* input, size_t length, unsigned char* output,
                        size_t capacity) override;

  private:
    z_stream m_stream{};   // zalloc, zfree and opaque null: the library's own allocation
    bool m_ready = false;  // inflateInit succeeded: the state exists until inflateEnd
};
