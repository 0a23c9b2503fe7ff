// Packing: files deflated on worker threads into zlib streams appended to one
// descriptor, with a figure for every 4096-byte piece of each file. Its caller owns
// every descriptor: the packer opens, creates and names nothing.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "codec/block_deflate.h"
#include "codec/progress.h"
#include "platform/result.h"

// A packer destroyed before End, after a failure or a stop, lets the blocks being
// compressed finish, writes nothing more, and joins the workers.
class Packer {
  public:
    // Figures go to progress, which may ask for a stop; the streams are deflated at
    // level on the given number of worker threads.
    Packer(ProgressSink& progress, int level, int workers);
    Packer(const Packer&) = delete;
    Packer& operator=(const Packer&) = delete;

    // Takes the run's memory and starts the workers; the streams go to outFd, which
    // outName names in notes. Returns OK, or MEMORY with a note.
    Result Begin(int outFd, const char* outName);

    // Reads the size bytes that inFd holds and hands them to the workers as one zlib
    // stream, while writing the streams and figures of the blocks already done; the
    // file's last blocks may still be in flight on return. name names the file in
    // notes and must stay valid until End. Returns OK, ABORT, LIMIT when the file does
    // not hold exactly size bytes, OPEN when it cannot be read, FAIL when a write falls
    // short, or zlib's failure.
    Result PackFile(int inFd, int64_t size, const char* name);

    // Writes every block still in flight and stops the workers. Returns OK, or a
    // failure as PackFile's.
    Result End();

  private:
    Result FillBlock(DeflateBlock* block, int inFd, int64_t size, int64_t start, const char* name);
    Result ClaimBlock(DeflateBlock** block);
    Result WriteDone(bool wait);
    Result WriteBlock(const DeflateBlock& block);
    Result ShowFigures(const DeflateBlock& block);
    Result Put(const unsigned char* data, size_t size);
    Result Flush();

    ProgressSink& m_progress;
    const int m_level;
    const int m_workers;
    BlockDeflater m_deflater;
    const DeflateBlock* m_previous = nullptr;    // the block read last, the next one's window
    uLong m_check = 0;                           // Adler-32 of the current file so far
    std::unique_ptr<unsigned char[]> m_staging;  // small writes gathered into large ones
    size_t m_staged = 0;                         // bytes waiting in m_staging
    int m_outFd = -1;
    const char* m_outName = "";
};
