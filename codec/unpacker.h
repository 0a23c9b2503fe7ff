// Unpacking: back-to-back zlib streams read from one descriptor, each inflated into the
// descriptor its caller gives and held to its recorded length, with a figure after
// every piece for the share of the compressed region read so far. Its caller owns
// every descriptor: the unpacker opens, creates and names nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "codec/inflate_engine.h"
#include "codec/progress.h"
#include "codec/zlib_inflate.h"
#include "platform/result.h"

class Unpacker {
  public:
    // Figures go to progress, which may ask for a stop.
    explicit Unpacker(ProgressSink& progress);
    Unpacker(const Unpacker&) = delete;
    Unpacker& operator=(const Unpacker&) = delete;

    // Takes the run's memory and starts reading streams from inFd at offset; size is
    // the compressed region's length, for the figures; inName names the source in
    // notes. Returns OK, or MEMORY with a note.
    Result Begin(int inFd, int64_t offset, int64_t size, const char* inName);

    // Inflates the next stream into outFd, or discards it when outFd is -1; it must
    // inflate to exactly size bytes. name names the entry in notes. Returns OK, ABORT,
    // FAIL when a write falls short, DAMAGED for a stream of another length (nothing is
    // written past size), or zlib's failure.
    Result InflateStream(int outFd, int64_t size, const char* name);

    // The bytes after the streams inflated so far.
    int64_t UnreadBytes() const;

    // Shows the closing figure of a run that completed.
    void ShowComplete();

  private:
    Result Inflate(InflateEngine& engine, int outFd, int64_t size, const char* name);
    size_t FillInput();
    int64_t InputOffset() const;

    ProgressSink& m_progress;
    ZlibInflate m_zlib;
    std::unique_ptr<unsigned char[]> m_input;
    std::unique_ptr<unsigned char[]> m_output;
    // The input read but not yet inflated: the rest of one stream is the start of the
    // next.
    const unsigned char* m_next = nullptr;
    size_t m_waiting = 0;
    int m_inFd = -1;
    const char* m_inName = "";
    int64_t m_regionStart = 0;  // where the compressed region begins in m_inFd
    int64_t m_regionEnd = 0;
    int64_t m_readOffset = 0;  // of the next byte to read from m_inFd
};
