// libdeflate's chunks: one libdeflate compressor per thread, kept for all its chunks.
#include "codec/chunk_deflate.h"

#include "codec/block_deflate.h"

#include <libdeflate.h>
#include <zlib.h>

#include <new>
#include <utility>

namespace {

// zlib's default level is 6, and so is the one libdeflate's archives are measured at.
constexpr int DEFAULT_LEVEL = 6;
// The most bytes the join adds after a chunk: an empty stored block past the padding.
constexpr size_t JOIN_MARGIN = 5;
// A job per worker and one more, being read or written, so that no worker waits for
// the reader: chunks take long to deflate and little to read.
constexpr size_t SPARE_JOBS = 1;

class ChunkEngine : public DeflateEngine {
  public:
    ChunkEngine(libdeflate_compressor* compressor, std::unique_ptr<DeflateEngine> small)
        : m_compressor(compressor), m_small(std::move(small)) {}
    ~ChunkEngine() override { libdeflate_free_compressor(m_compressor); }
    ChunkEngine(const ChunkEngine&) = delete;
    ChunkEngine& operator=(const ChunkEngine&) = delete;

    Result Deflate(PackJob* job) override {
        if (job->start == 0 && job->last && job->length <= SMALL_FILE_SIZE) {
            return m_small->Deflate(job);
        }
        job->outputLength = libdeflate_deflate_compress(m_compressor, job->Data(), job->length,
                                                        job->output, job->capacity - JOIN_MARGIN);
        // Only an output too small for the data gives 0; the buffer holds the bound.
        return job->outputLength > 0
                   ? Result::OK
                   : Result(Result::STREAM, FileNote("", "deflate failed (libdeflate: no room)"));
    }

  private:
    libdeflate_compressor* m_compressor;
    std::unique_ptr<DeflateEngine> m_small;  // zlib's, for the smallest files
};

class ChunkMethod : public DeflateMethod {
  public:
    explicit ChunkMethod(int level) : m_level(level) {}

    size_t PieceSize() const override { return CHUNK_SIZE; }
    size_t WindowSize() const override { return 0; }
    size_t OutputCapacity() const override {
        return libdeflate_deflate_compress_bound(nullptr, CHUNK_SIZE) + JOIN_MARGIN;
    }
    size_t JobsInFlight(size_t workers) const override { return workers + SPARE_JOBS; }

    std::unique_ptr<DeflateEngine> MakeEngine() const override {
        std::unique_ptr<DeflateEngine> small = MakeZlibEngine(m_level);
        libdeflate_compressor* compressor = small ? libdeflate_alloc_compressor(m_level) : nullptr;
        if (compressor == nullptr) {
            return nullptr;
        }
        std::unique_ptr<DeflateEngine> engine(new (std::nothrow)
                                                  ChunkEngine(compressor, std::move(small)));
        if (!engine) {
            libdeflate_free_compressor(compressor);
            return nullptr;
        }
        return engine->Walker().Init() ? std::move(engine) : nullptr;
    }

  private:
    int m_level;
};

}  // namespace

std::unique_ptr<DeflateMethod> BuiltMethod(int level) {
    return std::unique_ptr<DeflateMethod>(
        new (std::nothrow) ChunkMethod(level == Z_DEFAULT_COMPRESSION ? DEFAULT_LEVEL : level));
}
