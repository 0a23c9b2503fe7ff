// zlib's primed blocks: one zlib deflate stream per thread, reset for every block.
#include "codec/block_deflate.h"

#include <zlib.h>

#include "codec/zlib_codes.h"

#include <new>

namespace {

constexpr int RAW_WINDOW_BITS = -15;
constexpr int MEMORY_LEVEL = 8;
// What a sync flush may add beyond deflateBound's figure for one finishing call: an
// empty stored block and the bits before it.
constexpr size_t FLUSH_MARGIN = 16;
// Blocks in flight per worker: one being compressed, one waiting, so that no worker
// waits for the reader.
constexpr size_t BLOCKS_PER_WORKER = 2;

static_assert(DEFLATE_BLOCK_SIZE >= DEFLATE_WINDOW_SIZE,
              "a block must hold the whole window of the block after it");

// Deflates blocks on one zlib stream of its own.
class ZlibBlockEngine : public DeflateEngine {
  public:
    explicit ZlibBlockEngine(int level) {
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

    int Started() const { return m_init; }

    Result Deflate(PackJob* job) override {
        int result = deflateReset(&m_stream);
        if (result == Z_OK && job->primed) {
            result = deflateSetDictionary(&m_stream, job->input, static_cast<uInt>(job->window));
        }
        if (result != Z_OK) {
            return ZlibResult(result);
        }
        m_stream.next_in = job->Data();
        m_stream.avail_in = static_cast<uInt>(job->length);
        m_stream.next_out = job->output;
        m_stream.avail_out = static_cast<uInt>(job->capacity);
        // A sync flush ends a block on a byte boundary, so the next one can follow it.
        result = deflate(&m_stream, job->last ? Z_FINISH : Z_SYNC_FLUSH);
        job->outputLength = job->capacity - m_stream.avail_out;
        const bool whole = job->last
                               ? result == Z_STREAM_END
                               : result == Z_OK && m_stream.avail_in == 0 && m_stream.avail_out > 0;
        return ZlibResult(whole ? Z_OK : (result < 0 ? result : Z_BUF_ERROR));
    }

  private:
    z_stream m_stream{};
    int m_init = Z_OK;
};

class BlockMethod : public DeflateMethod {
  public:
    BlockMethod(int level, size_t capacity) : m_level(level), m_capacity(capacity) {}

    size_t PieceSize() const override { return DEFLATE_BLOCK_SIZE; }
    size_t WindowSize() const override { return DEFLATE_WINDOW_SIZE; }
    size_t OutputCapacity() const override { return m_capacity; }
    size_t JobsInFlight(size_t workers) const override { return BLOCKS_PER_WORKER * workers; }

    std::unique_ptr<DeflateEngine> MakeEngine() const override {
        std::unique_ptr<DeflateEngine> engine = MakeZlibEngine(m_level);
        return engine && engine->Walker().Init() ? std::move(engine) : nullptr;
    }

  private:
    int m_level;
    size_t m_capacity;
};

}  // namespace

std::unique_ptr<DeflateEngine> MakeZlibEngine(int level) {
    std::unique_ptr<ZlibBlockEngine> engine(new (std::nothrow) ZlibBlockEngine(level));
    if (!engine || engine->Started() != Z_OK) {
        return nullptr;
    }
    return engine;
}

std::unique_ptr<DeflateMethod> MakeBlockMethod(int level) {
    z_stream probe{};
    if (deflateInit2(&probe, level, Z_DEFLATED, RAW_WINDOW_BITS, MEMORY_LEVEL,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
        return nullptr;
    }
    const size_t capacity = deflateBound(&probe, DEFLATE_BLOCK_SIZE) + FLUSH_MARGIN;
    deflateEnd(&probe);
    return std::unique_ptr<DeflateMethod>(new (std::nothrow) BlockMethod(level, capacity));
}
