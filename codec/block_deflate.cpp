// The workers of parallel deflate and the ring of jobs, blocks and whole files, they
// share with the thread that reads the files and writes the archive.
#include "codec/block_deflate.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include "codec/whole_deflate.h"

namespace {

// Raw deflate: the caller writes the zlib header and trailer around the blocks.
constexpr int RAW_WINDOW_BITS = -15;
constexpr int MEMORY_LEVEL = 8;
// What a sync flush may add beyond deflateBound's figure for one finishing call: an
// empty stored block and the bits before it.
constexpr size_t FLUSH_MARGIN = 16;

// Each whole file in flight is over a block and reserves its input and its output, so
// no more than this many fit the budget at once.
constexpr size_t WHOLE_JOBS = WHOLE_FILE_BUDGET / (2 * DEFLATE_BLOCK_SIZE) + 1;

static_assert(DEFLATE_BLOCK_SIZE >= DEFLATE_WINDOW_SIZE,
              "a block must hold the whole window of the block after it");

// zlib's allocator for the workers: memory is touched as it is taken, so that a
// worker's state costs the same whatever it compresses, as the blocks do.
voidpf TouchedAlloc(voidpf, uInt items, uInt size) {
    const size_t bytes = static_cast<size_t>(items) * size;
    void* memory = malloc(bytes);
    if (memory != nullptr) {
        memset(memory, 0, bytes);
    }
    return memory;
}

void Release(voidpf, voidpf memory) {
    free(memory);
}

// Compresses one block on a worker's own stream.
void Compress(z_stream* stream, size_t capacity, DeflateBlock* block) {
    block->check = adler32(adler32(0, Z_NULL, 0), block->Data(), static_cast<uInt>(block->length));
    block->result = deflateReset(stream);
    if (block->result == Z_OK && block->primed) {
        block->result = deflateSetDictionary(stream, block->input, DEFLATE_WINDOW_SIZE);
    }
    if (block->result != Z_OK) {
        return;
    }
    stream->next_in = block->Data();
    stream->avail_in = static_cast<uInt>(block->length);
    stream->next_out = block->output;
    stream->avail_out = static_cast<uInt>(capacity);
    // A sync flush ends a block on a byte boundary, so the next one can follow it.
    int result = deflate(stream, block->last ? Z_FINISH : Z_SYNC_FLUSH);
    block->outputLength = capacity - stream->avail_out;
    bool whole = block->last ? result == Z_STREAM_END
                             : result == Z_OK && stream->avail_in == 0 && stream->avail_out > 0;
    block->result = whole ? Z_OK : (result < 0 ? result : Z_BUF_ERROR);
}

// Deflates blocks on one zlib stream of its own: raw deflate, memory touched as taken.
class ZlibBlockEngine : public DeflateEngine {
  public:
    ZlibBlockEngine(int level, size_t capacity) : m_capacity(capacity) {
        m_stream.zalloc = TouchedAlloc;
        m_stream.zfree = Release;
        m_init = deflateInit2(&m_stream, level, Z_DEFLATED, RAW_WINDOW_BITS, MEMORY_LEVEL,
                              Z_DEFAULT_STRATEGY);
    }
    ~ZlibBlockEngine() override {
        if (m_init == Z_OK) {
            deflateEnd(&m_stream);
        }
    }
    ZlibBlockEngine(const ZlibBlockEngine&) = delete;
    ZlibBlockEngine& operator=(const ZlibBlockEngine&) = delete;

    void Deflate(DeflateBlock* job) override {
        if (m_init == Z_OK) {
            Compress(&m_stream, m_capacity, job);
        } else {
            job->result = m_init;
        }
    }

  private:
    z_stream m_stream{};
    int m_init = Z_OK;
    size_t m_capacity;
};

// Reads a whole file's job from its source: exactly its length, with one byte more
// tried to see a file that grew.
void ReadWhole(DeflateBlock* job) {
    const int64_t want = static_cast<int64_t>(job->length);
    const int64_t got = ReadFullAt(job->source, job->wholeInput.data(), job->length, 0);
    unsigned char beyond = 0;
    const int64_t more = got == want ? ReadFullAt(job->source, &beyond, 1, want) : 0;
    if (got < 0 || more < 0) {
        job->readErrno = errno;
        job->readResult = Result::OPEN;
    } else if (got != want || more != 0) {
        job->readResult = Result::LIMIT;
    }
}

}  // namespace

void DeflateBlock::CloseSource() {
    if (source >= 0) {
        CloseReadOnly(source);
    }
    source = -1;
}

int BlockDeflater::Start(int maxWorkers, int blocksPerWorker, int level) {
    z_stream probe{};
    if (deflateInit2(&probe, level, Z_DEFLATED, RAW_WINDOW_BITS, MEMORY_LEVEL,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
        return Z_MEM_ERROR;
    }
    m_outputCapacity = deflateBound(&probe, DEFLATE_BLOCK_SIZE) + FLUSH_MARGIN;
    deflateEnd(&probe);
    m_level = level;
    m_maxWorkers = static_cast<size_t>(std::max(maxWorkers, 1));
    m_blocksPerWorker = static_cast<size_t>(std::max(blocksPerWorker, 1));
    m_capacity = m_maxWorkers * m_blocksPerWorker + WHOLE_JOBS;
    // Only the jobs' bookkeeping is taken now; each block's memory when first used,
    // each whole file's when claimed.
    m_blocks.reset(new (std::nothrow) DeflateBlock[m_maxWorkers * m_blocksPerWorker]);
    m_free.reset(new (std::nothrow) DeflateBlock*[m_maxWorkers * m_blocksPerWorker]);
    m_wholeJobs.reset(new (std::nothrow) DeflateBlock[WHOLE_JOBS]);
    m_wholeFree.reset(new (std::nothrow) DeflateBlock*[WHOLE_JOBS]);
    m_inFlight.reset(new (std::nothrow) DeflateBlock*[m_capacity]);
    if (!m_blocks || !m_free || !m_wholeJobs || !m_wholeFree || !m_inFlight) {
        return Z_MEM_ERROR;
    }
    for (m_wholeFreeCount = 0; m_wholeFreeCount < WHOLE_JOBS; ++m_wholeFreeCount) {
        m_wholeJobs[m_wholeFreeCount].whole = true;
        m_wholeFree[m_wholeFreeCount] = &m_wholeJobs[m_wholeFreeCount];
    }
    m_stopping = false;
    return Z_OK;
}

// Gives the next block never used its memory, touched once, here: a block then costs
// the same whatever it compresses. Returns null when the memory cannot be had.
DeflateBlock* BlockDeflater::NewBlock() {
    DeflateBlock* block = &m_blocks[m_made];
    const size_t bytes = DEFLATE_WINDOW_SIZE + DEFLATE_BLOCK_SIZE + m_outputCapacity;
    block->memory.reset(new (std::nothrow) unsigned char[bytes]);
    if (!block->memory) {
        return nullptr;
    }
    memset(block->memory.get(), 0, bytes);
    block->input = block->memory.get();
    block->output = block->input + DEFLATE_WINDOW_SIZE + DEFLATE_BLOCK_SIZE;
    ++m_made;
    return block;
}

DeflateBlock* BlockDeflater::FreeBlock(int* result) {
    std::lock_guard<std::mutex> lock(m_lock);
    DeflateBlock* block = nullptr;
    if (m_freeCount > 0) {
        block = m_free[--m_freeCount];
    } else if (m_made < m_blocksPerWorker * std::max<size_t>(m_workers.size(), 1)) {
        block = NewBlock();
        // With jobs in flight, waiting for one is as good; with none, it is the end.
        if (block == nullptr && m_submitted == m_retired) {
            *result = Z_MEM_ERROR;
        }
    }
    if (block != nullptr) {
        block->done = false;
        m_claimed = block;
    }
    return block;
}

DeflateBlock* BlockDeflater::FreeWhole(size_t size) {
    const size_t cost = PageBuffer::Held(size) + PageBuffer::Held(WholeStreamBound(size));
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_wholeFreeCount == 0 || (m_reserved > 0 && m_reserved + cost > WHOLE_FILE_BUDGET)) {
        m_compressedSeen = m_compressed;
        return nullptr;
    }
    DeflateBlock* job = m_wholeFree[--m_wholeFreeCount];
    m_reserved += cost;
    job->reserved = cost;
    job->done = false;
    job->result = Z_OK;
    job->outputLength = 0;
    job->readResult = Result::OK;
    job->readErrno = 0;
    m_claimed = job;
    return job;
}

void BlockDeflater::WaitForRoom() {
    std::unique_lock<std::mutex> lock(m_lock);
    m_finished.wait(lock, [this] { return m_compressed != m_compressedSeen; });
}

void BlockDeflater::Unclaim() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_reserved -= m_claimed->reserved;
    m_claimed->reserved = 0;
    m_wholeFree[m_wholeFreeCount++] = m_claimed;
    m_claimed = nullptr;
}

bool BlockDeflater::StartWorker() {
    // A thread the system will not give is no failure: the run goes on with the
    // workers it has, or with none.
    try {
        m_workers.emplace_back(&BlockDeflater::Work, this);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Compresses a job with the engine its kind needs, made on first use; a whole file is
// read first.
void BlockDeflater::Run(Engines* engines, DeflateBlock* job) const {
    std::unique_ptr<DeflateEngine>& engine = job->whole ? engines->whole : engines->blocks;
    if (!engine) {
        engine = job->whole ? MakeWholeEngine(m_level)
                            : std::unique_ptr<DeflateEngine>(
                                  new (std::nothrow) ZlibBlockEngine(m_level, m_outputCapacity));
    }
    if (job->whole) {
        ReadWhole(job);
        if (job->readResult != Result::OK) {
            return;
        }
    }
    if (engine) {
        engine->Deflate(job);
    } else {
        job->result = Z_MEM_ERROR;
    }
}

// Marks a job compressed; a whole file gives back its input and the unused end of its
// output at once. Called with the lock held.
void BlockDeflater::Finish(DeflateBlock* job) {
    if (job->whole) {
        job->wholeInput.Free();
        job->wholeOutput.Shrink(job->outputLength);
        m_reserved -= job->reserved - job->wholeOutput.held();
        job->reserved = job->wholeOutput.held();
    }
    job->done = true;
    ++m_compressed;
}

void BlockDeflater::Submit() {
    bool wanting = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_inFlight[m_submitted++ % m_capacity] = m_claimed;
        wanting = m_submitted - m_taken > m_idle;
    }
    if (wanting && m_workers.size() < m_maxWorkers && !StartWorker()) {
        m_maxWorkers = m_workers.size();
    }
    if (!m_workers.empty()) {
        m_queued.notify_one();
        return;
    }
    DeflateBlock* job = m_claimed;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_taken;
    }
    Run(&m_own, job);
    std::lock_guard<std::mutex> lock(m_lock);
    Finish(job);
}

DeflateBlock* BlockDeflater::Oldest(bool wait) {
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_retired == m_submitted) {
        return nullptr;
    }
    DeflateBlock* block = m_inFlight[m_retired % m_capacity];
    if (wait) {
        m_finished.wait(lock, [block] { return block->done; });
    }
    return block->done ? block : nullptr;
}

void BlockDeflater::Retire() {
    std::lock_guard<std::mutex> lock(m_lock);
    DeflateBlock* job = m_inFlight[m_retired++ % m_capacity];
    job->CloseSource();
    if (!job->whole) {
        m_free[m_freeCount++] = job;
        return;
    }
    job->wholeOutput.Free();
    m_reserved -= job->reserved;
    job->reserved = 0;
    m_wholeFree[m_wholeFreeCount++] = job;
}

void BlockDeflater::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stopping = true;
        // Jobs never begun are dropped; the ones being compressed still finish.
        m_submitted = m_taken;
        m_retired = m_taken;
    }
    m_queued.notify_all();
    for (std::thread& worker : m_workers) {
        worker.join();
    }
    m_workers.clear();
    m_own = Engines{};
}

void BlockDeflater::Work() {
    Engines engines;
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        ++m_idle;
        m_queued.wait(lock, [this] { return m_stopping || m_taken < m_submitted; });
        --m_idle;
        if (m_stopping) {
            break;
        }
        DeflateBlock* job = m_inFlight[m_taken++ % m_capacity];
        lock.unlock();
        Run(&engines, job);
        lock.lock();
        Finish(job);
        m_finished.notify_all();
    }
}
