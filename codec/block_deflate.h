// Block-parallel deflate: a file's data cut into blocks at fixed offsets, each
// compressed by a worker thread as raw deflate primed with the 32 KiB of the file
// before it, so that the blocks put back to back make one deflate stream whose bytes
// depend only on the data, never on the number of threads or their timing.
#pragma once

#include <zlib.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Large enough that priming and flushing each block cost nothing measurable in time
// and under 0.05% in size, small enough that a few blocks per worker keep memory small.
constexpr size_t DEFLATE_BLOCK_SIZE = size_t{256} * 1024;
// Deflate's window: a block primed with this much of the data before it compresses
// as if it had never been cut off.
constexpr size_t DEFLATE_WINDOW_SIZE = size_t{32} * 1024;

// One block of a file on its way through a worker.
struct DeflateBlock {
    // Filled by the reader: the window's worth of the file before the block, then the
    // block itself (the window part is used only when primed is set).
    unsigned char* input = nullptr;
    size_t length = 0;
    bool primed = false;  // not the file's first block
    bool last = false;    // the file's last block: it ends the deflate stream
    int64_t start = 0;    // the block's offset in its file
    int64_t fileSize = 0;
    const char* name = "";
    // Filled by the worker: the deflate data, and the Adler-32 of the block alone.
    unsigned char* output = nullptr;
    size_t outputLength = 0;
    uLong check = 0;
    int result = Z_OK;
    bool done = false;  // guarded by the deflater's lock

    unsigned char* Data() const { return input + DEFLATE_WINDOW_SIZE; }
};

// A fixed ring of blocks and the workers that compress them. The one thread that
// reads and writes (the caller) fills free blocks in order, and takes them back
// compressed in the same order.
class BlockDeflater {
  public:
    BlockDeflater() = default;
    ~BlockDeflater() { Stop(); }
    BlockDeflater(const BlockDeflater&) = delete;
    BlockDeflater& operator=(const BlockDeflater&) = delete;

    // Allocates blocksPerWorker blocks per worker and starts the workers.
    // Returns 0, or Z_MEM_ERROR when the memory cannot be had.
    int Start(int workers, int blocksPerWorker, int level);

    // The block to fill next, or null while every block is in flight.
    DeflateBlock* FreeBlock();

    // Hands the block FreeBlock gave to the workers.
    void Submit();

    // The oldest block in flight once it is compressed (waiting for it when wait is
    // set, else null while it is still being compressed), or null when none is in flight.
    DeflateBlock* Oldest(bool wait);

    // Frees the oldest block once its output has been used.
    void Retire();

    // Lets the blocks being compressed finish, drops those not yet begun, and joins
    // the workers. Does nothing when they are stopped already.
    void Stop();

  private:
    void Work();

    std::mutex m_lock;
    std::condition_variable m_queued;    // a block was submitted, or the workers must stop
    std::condition_variable m_finished;  // a block is done
    std::vector<std::thread> m_workers;
    std::unique_ptr<unsigned char[]> m_memory;
    std::unique_ptr<DeflateBlock[]> m_blocks;
    size_t m_count = 0;
    uint64_t m_submitted = 0;  // blocks handed to the workers so far
    uint64_t m_taken = 0;      // blocks a worker has begun
    uint64_t m_retired = 0;    // blocks given back
    bool m_stopping = false;
    int m_level = Z_DEFAULT_COMPRESSION;
    size_t m_outputCapacity = 0;
};
