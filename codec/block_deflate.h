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

    std::unique_ptr<unsigned char[]> memory;  // input and output

    unsigned char* Data() const { return input + DEFLATE_WINDOW_SIZE; }
};

// The blocks in flight and the workers that compress them. The one thread that reads
// and writes (the caller) fills free blocks in order, and takes them back compressed
// in the same order. Workers start only as blocks wait for them, each bringing two
// blocks' worth of memory; when none can start, the caller compresses each block as
// it hands it over.
class BlockDeflater {
  public:
    BlockDeflater() = default;
    ~BlockDeflater() { Stop(); }
    BlockDeflater(const BlockDeflater&) = delete;
    BlockDeflater& operator=(const BlockDeflater&) = delete;

    // Prepares for at most maxWorkers workers, blocksPerWorker blocks each.
    // Returns 0, or Z_MEM_ERROR when the memory cannot be had.
    int Start(int maxWorkers, int blocksPerWorker, int level);

    // The block to fill next, or null while every block the workers may have is in
    // flight. Sets *result to Z_MEM_ERROR, and returns null, when a block is needed
    // and none is in flight or can be had.
    DeflateBlock* FreeBlock(int* result);

    // Hands the block FreeBlock gave to the workers, starting one if none is free.
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
    bool StartWorker();
    DeflateBlock* NewBlock();

    std::mutex m_lock;
    std::condition_variable m_queued;    // a block was submitted, or the workers must stop
    std::condition_variable m_finished;  // a block is done
    std::vector<std::thread> m_workers;  // touched by the caller's thread only
    size_t m_maxWorkers = 0;             // lowered when the system gives no more
    size_t m_blocksPerWorker = 0;
    size_t m_capacity = 0;  // the most blocks there can ever be
    std::unique_ptr<DeflateBlock[]> m_blocks;
    size_t m_made = 0;  // blocks given their memory so far
    std::unique_ptr<DeflateBlock*[]> m_free;
    size_t m_freeCount = 0;
    std::unique_ptr<DeflateBlock*[]> m_inFlight;  // a ring, in the order submitted
    DeflateBlock* m_claimed = nullptr;            // the block FreeBlock gave last
    uint64_t m_submitted = 0;                     // blocks handed to the workers so far
    uint64_t m_taken = 0;                         // blocks a worker has begun
    uint64_t m_retired = 0;                       // blocks given back
    size_t m_idle = 0;                            // workers waiting for a block
    bool m_stopping = false;
    int m_level = Z_DEFAULT_COMPRESSION;
    size_t m_outputCapacity = 0;
    // The caller's own stream, for when no worker could start.
    z_stream m_ownStream{};
    bool m_ownStarted = false;
    int m_ownResult = Z_OK;
};
