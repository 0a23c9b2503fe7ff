// The whole-file engine on libdeflate, or its absence in a build without it.
#include "codec/whole_deflate.h"

#include <zlib.h>

#include <new>

#ifdef TOVRA_LIBDEFLATE
#include <libdeflate.h>
#endif

#ifdef TOVRA_LIBDEFLATE

namespace {

// Deflates whole files with one libdeflate compressor, kept for all the worker's files.
class LibdeflateEngine : public DeflateEngine {
  public:
    explicit LibdeflateEngine(libdeflate_compressor* compressor) : m_compressor(compressor) {}
    ~LibdeflateEngine() override { libdeflate_free_compressor(m_compressor); }
    LibdeflateEngine(const LibdeflateEngine&) = delete;
    LibdeflateEngine& operator=(const LibdeflateEngine&) = delete;

    void Deflate(DeflateBlock* job) override {
        job->outputLength =
            libdeflate_zlib_compress(m_compressor, job->wholeInput.data(), job->length,
                                     job->wholeOutput.data(), job->wholeOutput.held());
        // Only an output too small for the stream gives 0; the buffer holds the bound.
        job->result = job->outputLength > 0 ? Z_OK : Z_BUF_ERROR;
    }

  private:
    libdeflate_compressor* m_compressor;
};

}  // namespace

bool PacksWhole(int64_t size) {
    return size > static_cast<int64_t>(DEFLATE_BLOCK_SIZE) && size <= WHOLE_FILE_LIMIT;
}

size_t WholeStreamBound(size_t size) {
    return libdeflate_zlib_compress_bound(nullptr, size);
}

std::unique_ptr<DeflateEngine> MakeWholeEngine(int level) {
    // zlib's default level is 6, and libdeflate's 6 writes the same header, 78 9C.
    constexpr int DEFAULT_LEVEL = 6;
    libdeflate_compressor* compressor =
        libdeflate_alloc_compressor(level == Z_DEFAULT_COMPRESSION ? DEFAULT_LEVEL : level);
    if (compressor == nullptr) {
        return nullptr;
    }
    std::unique_ptr<DeflateEngine> engine(new (std::nothrow) LibdeflateEngine(compressor));
    if (!engine) {
        libdeflate_free_compressor(compressor);
    }
    return engine;
}

#else

bool PacksWhole(int64_t) {
    return false;
}

size_t WholeStreamBound(size_t size) {
    return size;
}

std::unique_ptr<DeflateEngine> MakeWholeEngine(int) {
    return nullptr;
}

#endif
