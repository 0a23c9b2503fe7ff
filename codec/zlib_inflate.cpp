// zlib's inflate as an engine.
#include "codec/zlib_inflate.h"

#include "codec/zlib_codes.h"

ZlibInflate::~ZlibInflate() {
    if (m_ready) {
        inflateEnd(&m_stream);
    }
}

Result ZlibInflate::BeginStream() {
    // One state serves every stream of the run: reset between them, never made anew.
    const int code = m_ready ? inflateReset(&m_stream) : inflateInit(&m_stream);
    m_ready = m_ready || code == Z_OK;
    return ZlibResult(code);
}

InflateStep ZlibInflate::Inflate(const unsigned char* input, size_t length, unsigned char* output,
                                 size_t capacity) {
    // zlib's interface predates const; inflate only reads through next_in.
    m_stream.next_in = const_cast<unsigned char*>(input);
    m_stream.avail_in = static_cast<uInt>(length);
    m_stream.next_out = output;
    m_stream.avail_out = static_cast<uInt>(capacity);
    InflateStep step;
    step.zlibCode = inflate(&m_stream, Z_NO_FLUSH);
    step.consumed = length - m_stream.avail_in;
    step.produced = capacity - m_stream.avail_out;
    step.outcome = step.zlibCode == Z_OK           ? InflateOutcome::MORE
                   : step.zlibCode == Z_STREAM_END ? InflateOutcome::STREAM_END
                                                   : InflateOutcome::FAILED;
    if (step.outcome == InflateOutcome::FAILED) {
        step.failure = ZlibResult(step.zlibCode);
    }
    return step;
}
