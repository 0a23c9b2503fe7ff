// Parallel deflate: a large file's data cut into blocks at fixed offsets, each
// compressed by a worker thread as raw deflate primed with the 32 KiB of the file
// before it, so that the blocks put back to back make one deflate stream; and smaller
// files read and deflated whole by a worker, through the whole-file engine. Blocks and
// whole files share one queue, and the bytes depend only on the data, never on the
// number of threads or their timing.
#pragma once

#include <zlib.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/platform.h"

// Large enough that priming and flushing each block cost nothing measurable in time
// and under 0.05% in size, small enough that a few blocks per worker keep memory small.
constexpr size_t DEFLATE_BLOCK_SIZE = size_t{256} * 1024;
// Deflate's window: a block primed with this much of the data before it compresses
// as if it had never been cut off.
constexpr size_t DEFLATE_WINDOW_SIZE = size_t{32} * 1024;

// One job on its way through a worker: a block of a file, or a whole file.
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

    // The file's descriptor, held by a file's last block or by a whole file, closed
    // when the job is retired, and its version as opened, to compare once its stream
    // is written.
    int source = -1;
    FileVersion version;
    // A whole file: the worker reads all of it from source into wholeInput (length
    // bytes, and it must hold no more) and deflates it into one zlib stream, header and
    // trailer included, in wholeOutput.
    bool whole = false;
    Result readResult = Result::OK;  // OPEN with readErrno, or LIMIT when the size differs
    int readErrno = 0;
    PageBuffer wholeInput;
    PageBuffer wholeOutput;
    size_t reserved = 0;  // bytes of the whole-file budget it holds

    DeflateBlock() = default;
    ~DeflateBlock() { CloseSource(); }
    DeflateBlock(const DeflateBlock&) = delete;
    DeflateBlock& operator=(const DeflateBlock&) = delete;

    unsigned char* Data() const { return input + DEFLATE_WINDOW_SIZE; }
    void CloseSource();
};

// What a worker deflates a job with: zlib's raw deflate for the blocks of large files,
// the whole-file engine for whole files. Each worker makes its own when it first needs
// one; an engine that could not start fails each job it is given.
class DeflateEngine {
  public:
    virtual ~DeflateEngine() = default;

    // Deflates the job's input into its output: sets its result (a zlib code), its
    // output length and, for a block, the block's own Adler-32.
    virtual void Deflate(DeflateBlock* job) = 0;
};

// The jobs in flight and the workers that compress them. The one thread that reads
// and writes (the caller) fills free blocks and claims whole-file jobs in order, and
// takes them back compressed in the same order. Workers start only as jobs wait for
// them, each bringing two blocks' worth of memory; whole files in flight are bounded
// by a budget of bytes. When no worker can start, the caller compresses each job as
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

    // A whole-file job for a file of size bytes, with its budget reserved, or null
    // while the whole files in flight leave no room for it (a file larger than the
    // budget goes when no other whole file is in flight).
    DeflateBlock* FreeWhole(size_t size);

    // Waits until a job in flight is compressed, after FreeWhole found no room.
    void WaitForRoom();

    // Gives back a whole-file job FreeWhole gave, unused.
    void Unclaim();

    // Hands the job FreeBlock or FreeWhole gave to the workers, starting one if none is
    // free.
    void Submit();

    // The oldest job in flight once it is compressed (waiting for it when wait is set,
    // else null while it is still being compressed), or null when none is in flight.
    DeflateBlock* Oldest(bool wait);

    // Frees the oldest job once its output has been used, closing the descriptor it
    // holds.
    void Retire();

    // Lets the jobs being compressed finish, drops those not yet begun, and joins
    // the workers. Does nothing when they are stopped already.
    void Stop();

  private:
    // The engines of one thread that compresses, made as its jobs need them.
    struct Engines {
        std::unique_ptr<DeflateEngine> blocks;
        std::unique_ptr<DeflateEngine> whole;
    };

    void Work();
    bool StartWorker();
    DeflateBlock* NewBlock();
    void Run(Engines* engines, DeflateBlock* job) const;
    void Finish(DeflateBlock* job);

    std::mutex m_lock;
    std::condition_variable m_queued;    // a job was submitted, or the workers must stop
    std::condition_variable m_finished;  // a job is done
    std::vector<std::thread> m_workers;  // touched by the caller's thread only
    size_t m_maxWorkers = 0;             // lowered when the system gives no more
    size_t m_blocksPerWorker = 0;
    size_t m_capacity = 0;  // the most jobs there can ever be in flight
    std::unique_ptr<DeflateBlock[]> m_blocks;
    size_t m_made = 0;  // blocks given their memory so far
    std::unique_ptr<DeflateBlock*[]> m_free;
    size_t m_freeCount = 0;
    std::unique_ptr<DeflateBlock[]> m_wholeJobs;   // whole-file jobs, their bookkeeping only
    std::unique_ptr<DeflateBlock*[]> m_wholeFree;  // those not in flight
    size_t m_wholeFreeCount = 0;
    size_t m_reserved = 0;                        // bytes of the budget held
    uint64_t m_compressed = 0;                    // jobs compressed so far
    uint64_t m_compressedSeen = 0;                // ... when FreeWhole last found no room
    std::unique_ptr<DeflateBlock*[]> m_inFlight;  // a ring, in the order submitted
    DeflateBlock* m_claimed = nullptr;            // the job FreeBlock or FreeWhole gave last
    uint64_t m_submitted = 0;                     // jobs handed to the workers so far
    uint64_t m_taken = 0;                         // jobs a worker has begun
    uint64_t m_retired = 0;                       // jobs given back
    size_t m_idle = 0;                            // workers waiting for a block
    bool m_stopping = false;
    int m_level = Z_DEFAULT_COMPRESSION;
    size_t m_outputCapacity = 0;
    Engines m_own;  // the caller's, for when no worker could start
};
