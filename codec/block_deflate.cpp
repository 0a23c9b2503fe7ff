// The workers of block-parallel deflate and the ring of blocks they share with the
// thread that reads the files and writes the archive.
#include "codec/block_deflate.h"

#include <cstdlib>
#include <cstring>
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

}  // namespace

int BlockDeflater::Start(int workers, int blocksPerWorker, int level) {
    z_stream probe{};
    if (deflateInit2(&probe, level, Z_DEFLATED, RAW_WINDOW_BITS, MEMORY_LEVEL,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
        return Z_MEM_ERROR;
    }
    m_outputCapacity = deflateBound(&probe, DEFLATE_BLOCK_SIZE) + FLUSH_MARGIN;
    deflateEnd(&probe);
    m_level = level;
    m_count = static_cast<size_t>(workers) * static_cast<size_t>(blocksPerWorker);
    const size_t perBlock = DEFLATE_WINDOW_SIZE + DEFLATE_BLOCK_SIZE + m_outputCapacity;
    m_memory.reset(new (std::nothrow) unsigned char[m_count * perBlock]);
    m_blocks.reset(new (std::nothrow) DeflateBlock[m_count]);
    if (!m_memory || !m_blocks) {
        return Z_MEM_ERROR;
    }
    // Touched once, here: the run's memory is then the same whatever the files.
    memset(m_memory.get(), 0, m_count * perBlock);
    for (size_t i = 0; i < m_count; ++i) {
        m_blocks[i].input = m_memory.get() + i * perBlock;
        m_blocks[i].output = m_blocks[i].input + DEFLATE_WINDOW_SIZE + DEFLATE_BLOCK_SIZE;
    }
    m_stopping = false;
    for (int i = 0; i < workers; ++i) {
        m_workers.emplace_back(&BlockDeflater::Work, this);
    }
    return Z_OK;
}

DeflateBlock* BlockDeflater::FreeBlock() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_submitted - m_retired == m_count) {
        return nullptr;
    }
    DeflateBlock* block = &m_blocks[m_submitted % m_count];
    block->done = false;
    return block;
}

void BlockDeflater::Submit() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_submitted;
    }
    m_queued.notify_one();
}

DeflateBlock* BlockDeflater::Oldest(bool wait) {
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_retired == m_submitted) {
        return nullptr;
    }
    DeflateBlock* block = &m_blocks[m_retired % m_count];
    if (wait) {
        m_finished.wait(lock, [block] { return block->done; });
    }
    return block->done ? block : nullptr;
}

void BlockDeflater::Retire() {
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_retired;
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
}

void BlockDeflater::Work() {
    z_stream stream{};
    stream.zalloc = TouchedAlloc;
    stream.zfree = Release;
    const int init = deflateInit2(&stream, m_level, Z_DEFLATED, RAW_WINDOW_BITS, MEMORY_LEVEL,
                                  Z_DEFAULT_STRATEGY);
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_queued.wait(lock, [this] { return m_stopping || m_taken < m_submitted; });
        if (m_stopping) {
            break;
        }
        DeflateBlock* block = &m_blocks[m_taken++ % m_count];
        lock.unlock();
        if (init == Z_OK) {
            Compress(&stream, m_outputCapacity, block);
        } else {
            block->result = init;
        }
        lock.lock();
        block->done = true;
        m_finished.notify_all();
    }
    if (init == Z_OK) {
        deflateEnd(&stream);
    }
}
