// The stream codec: deflates files into zlib streams appended to one descriptor, and
// inflates back-to-back zlib streams from one descriptor, each into the descriptor its
// caller gives; progress goes to a hook that may ask it to stop. Its callers own
// every descriptor: the codec opens, creates and names nothing.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>

#include "codec/block_deflate.h"
#include "codec/progress.h"
#include "platform/result.h"

// Inflating reads and writes in large pieces: zlib's fast path then covers nearly all
// of the data, and the system calls cost nothing. Packing gathers its small writes
// (headers, blocks, trailers) in the output buffer too.
constexpr size_t CODEC_INPUT_SIZE = size_t{256} * 1024;
constexpr size_t CODEC_OUTPUT_SIZE = size_t{256} * 1024;

class CZStreamCodec final : public z_stream {
  public:
    // Figures go to progress, which may ask for a stop.
    explicit CZStreamCodec(ProgressSink& progress);
    ~CZStreamCodec();
    CZStreamCodec(const CZStreamCodec&) = delete;
    CZStreamCodec& operator=(const CZStreamCodec&) = delete;

    // Starts a run of streams appended to outFd at the given level, deflated on the
    // given number of worker threads; outName names the destination in notes.
    // Returns OK, or MEMORY with a note.
    Result BeginPack(int outFd, const char* outName, int level, int workers);

    // Reads the size bytes that inFd holds and hands them to the workers as one zlib
    // stream, while writing the streams and figures of the blocks already done; the
    // file's last blocks may still be in flight on return. name names the file in
    // notes and must stay valid until EndPack. Returns OK, ABORT, LIMIT when the file
    // does not hold exactly size bytes, OPEN when it cannot be read, FAIL when a write
    // falls short, or zlib's failure.
    Result PackFile(int inFd, int64_t size, const char* name);

    // Writes every block still in flight and stops the workers. Returns OK, or a
    // failure as PackFile's.
    Result EndPack();

    // Stops the workers after the blocks being compressed, writing nothing more.
    void CancelPack();

    // Starts reading streams from inFd at offset; size is the length of the
    // compressed region, for the figures; inName names the source in notes.
    void BeginUnpack(int inFd, int64_t offset, int64_t size, const char* inName);

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
    int FillInput();
    Result FillBlock(DeflateBlock* block, int inFd, int64_t size, int64_t start, const char* name);
    Result ClaimBlock(DeflateBlock** block);
    Result WriteDone(bool wait);
    Result WriteBlock(const DeflateBlock& block);
    Result ShowFigures(const DeflateBlock& block);
    Result Put(const unsigned char* data, size_t size);
    Result Flush();

    ProgressSink& m_progress;
    BlockDeflater m_deflater;
    const DeflateBlock* m_previous = nullptr;  // the block read last, the next one's window
    uLong m_check = 0;                         // Adler-32 of the current file so far
    size_t m_staged = 0;                       // bytes waiting in m_outBuf
    int m_outFd = -1;
    const char* m_outName = "";
    int m_level = Z_DEFAULT_COMPRESSION;
    int m_inFd = -1;
    const char* m_inName = "";
    int64_t m_readOffset = 0;  // of the next byte to read from m_inFd
    int64_t m_inputEnd = 0;
    int64_t m_nTotal = 0;      // figures' denominator: the compressed region's length
    int64_t m_consumed = 0;    // compressed bytes of the streams already inflated
    bool m_inflating = false;  // the library's inflate state exists
    unsigned char m_inBuf[CODEC_INPUT_SIZE];
    unsigned char m_outBuf[CODEC_OUTPUT_SIZE];
};
