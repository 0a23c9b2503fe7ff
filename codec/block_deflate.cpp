// The workers of block-parallel deflate and the ring of blocks they share with the
// thread that reads the files and writes the archive.
#include "codec/block_deflate.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

namespace {

// Raw deflate: the caller writes the zlib header and trailer around the blocks.
constexpr int RAW_WINDOW_BITS = -15;
constexpr int MEMORY_LEVEL = 8;
// What a sync flush may add beyond deflateBound's figure for one finishing call: an
// empty stored block and the bits before it.
constexpr size_t FLUSH_MARGIN = 16;

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

// A compressing stream as the workers use one: raw deflate, memory touched as taken.
int InitStream(z_stream* stream, int level) {
    *stream = z_stream{};
    stream->zalloc = TouchedAlloc;
    stream->zfree = Release;
    return deflateInit2(stream, level, Z_DEFLATED, RAW_WINDOW_BITS, MEMORY_LEVEL,
                        Z_DEFAULT_STRATEGY);
}

// Compresses the block on stream, or marks it failed when the stream could not start.
void CompressOrFail(z_stream* stream, int init, size_t capacity, DeflateBlock* block) {
    if (init == Z_OK) {
        Compress(stream, capacity, block);
    } else {
        block->result = init;
    }
}

}  // namespace

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
    m_capacity = m_maxWorkers * m_blocksPerWorker;
    // Only the blocks' bookkeeping is taken now; each block's memory when first used.
    m_blocks.reset(new (std::nothrow) DeflateBlock[m_capacity]);
    m_free.reset(new (std::nothrow) DeflateBlock*[m_capacity]);
    m_inFlight.reset(new (std::nothrow) DeflateBlock*[m_capacity]);
    m_stopping = false;
    return m_blocks && m_free && m_inFlight ? Z_OK : Z_MEM_ERROR;
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
        // With blocks in flight, waiting for one is as good; with none, it is the end.
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
    DeflateBlock* block = m_claimed;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_taken;
    }
    if (!m_ownStarted) {
        m_ownResult = InitStream(&m_ownStream, m_level);
        m_ownStarted = true;
    }
    CompressOrFail(&m_ownStream, m_ownResult, m_outputCapacity, block);
    std::lock_guard<std::mutex> lock(m_lock);
    block->done = true;
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
    m_free[m_freeCount++] = m_inFlight[m_retired++ % m_capacity];
}

void BlockDeflater::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stopping = true;
        // Blocks never begun are dropped; the ones being compressed still finish.
        m_submitted = m_taken;
        m_retired = m_taken;
    }
    m_queued.notify_all();
    for (std::thread& worker : m_workers) {
        worker.join();
    }
    m_workers.clear();
    if (m_ownStarted && m_ownResult == Z_OK) {
        deflateEnd(&m_ownStream);
    }
    m_ownStarted = false;
}

void BlockDeflater::Work() {
    z_stream stream{};
    const int init = InitStream(&stream, m_level);
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        ++m_idle;
        m_queued.wait(lock, [this] { return m_stopping || m_taken < m_submitted; });
        --m_idle;
        if (m_stopping) {
            break;
        }
        DeflateBlock* block = m_inFlight[m_taken++ % m_capacity];
        lock.unlock();
        CompressOrFail(&stream, init, m_outputCapacity, block);
        lock.lock();
        block->done = true;
        m_finished.notify_all();
    }
    if (init == Z_OK) {
        deflateEnd(&stream);
    }
}
