// Packing: the reader and writer's side of block-parallel deflate. Blocks are read
// and handed to the workers in order, and written back in the same order, framed as
// one zlib stream per file.
#include "codec/packer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "codec/zlib_codes.h"
#include "platform/platform.h"

namespace {

// The pieces progress is counted in: one figure per piece of a file.
constexpr size_t CODEC_BUFSIZE = 4096;
// Blocks in flight per worker: one being compressed, one waiting, so that no worker
// waits for the reader.
constexpr int BLOCKS_PER_WORKER = 2;
// Headers, blocks and trailers are gathered into writes of this size.
constexpr size_t STAGING_SIZE = size_t{256} * 1024;

// The two bytes that open a zlib stream, as deflate itself writes them: deflate with a
// 32 KiB window, the level's class, and check bits that make them a multiple of 31.
unsigned ZlibHeader(int level) {
    constexpr unsigned DEFLATE_32K = 0x78;
    level = level == Z_DEFAULT_COMPRESSION ? 6 : level;
    const unsigned levelClass = level < 2 ? 0 : level < 6 ? 1 : level == 6 ? 2 : 3;
    const unsigned header = (DEFLATE_32K << 8) | (levelClass << 6);
    return header + 31 - header % 31;
}

}  // namespace

Packer::Packer(ProgressSink& progress, int level, int workers)
    : m_progress(progress), m_level(level), m_workers(workers) {}

Result Packer::Begin(int outFd, const char* outName) {
    m_outFd = outFd;
    m_outName = outName;
    m_staging.reset(new (std::nothrow) unsigned char[STAGING_SIZE]);
    if (!m_staging) {
        Note("out of memory");
        return Result::MEMORY;
    }
    // Touched once, here: the run's memory is then the same whatever the files.
    memset(m_staging.get(), 0, STAGING_SIZE);
    const int started = m_deflater.Start(m_workers, BLOCKS_PER_WORKER, m_level);
    if (started != Z_OK) {
        NoteFile(outName, StreamFailure(started).c_str());
    }
    return FromZlib(started);
}

// Reads the block of the file that starts at start into block, primed with the end
// of the block before. Returns OK, or LIMIT or OPEN with a note.
Result Packer::FillBlock(DeflateBlock* block, int inFd, int64_t size, int64_t start,
                         const char* name) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(size - start, DEFLATE_BLOCK_SIZE));
    // The window first: the block may be the one read last, reused, and the window
    // is the end of what it held.
    block->primed = start > 0;
    if (block->primed) {
        memcpy(block->input, m_previous->Data() + m_previous->length - DEFLATE_WINDOW_SIZE,
               DEFLATE_WINDOW_SIZE);
    }
    int64_t got = ReadFullAt(inFd, block->Data(), want, start);
    // One byte past the size shows a file that grew.
    unsigned char beyond = 0;
    int64_t more = got == static_cast<int64_t>(want) && start + got == size
                       ? ReadFullAt(inFd, &beyond, 1, size)
                       : 0;
    if (got < 0 || more < 0) {
        NoteFileError(name, errno);
        return Result::OPEN;
    }
    if (got != static_cast<int64_t>(want) || more != 0) {
        NoteFile(name, "file changed while being packed");
        return Result::LIMIT;
    }
    block->length = want;
    block->last = start + got == size;
    block->start = start;
    block->fileSize = size;
    block->name = name;
    m_previous = block;
    return Result::OK;
}

// Finds a free block, writing the oldest ones out until one is.
Result Packer::ClaimBlock(DeflateBlock** block) {
    int shortage = Z_OK;
    while ((*block = m_deflater.FreeBlock(&shortage)) == nullptr) {
        DeflateBlock* oldest = m_deflater.Oldest(true);
        if (oldest == nullptr) {
            NoteFile(m_outName, StreamFailure(shortage).c_str());
            return FromZlib(shortage);
        }
        Result result = WriteBlock(*oldest);
        m_deflater.Retire();
        if (result != Result::OK) {
            return result;
        }
    }
    return Result::OK;
}

// Writes the blocks done, in order; with wait set, every block in flight.
Result Packer::WriteDone(bool wait) {
    while (const DeflateBlock* block = m_deflater.Oldest(wait)) {
        Result result = WriteBlock(*block);
        m_deflater.Retire();
        if (result != Result::OK) {
            return result;
        }
    }
    return Result::OK;
}

// Writes one block's deflate data, framed as a zlib stream at the file's first and
// last blocks, and shows its figures.
Result Packer::WriteBlock(const DeflateBlock& block) {
    if (block.result != Z_OK) {
        NoteFile(block.name, StreamFailure(block.result).c_str());
        return FromZlib(block.result);
    }
    Result result = Result::OK;
    if (!block.primed) {
        const unsigned header = ZlibHeader(m_level);
        const unsigned char bytes[] = {static_cast<unsigned char>(header >> 8),
                                       static_cast<unsigned char>(header)};
        result = Put(bytes, sizeof bytes);
        m_check = adler32(0, Z_NULL, 0);
    }
    m_check = adler32_combine(m_check, block.check, static_cast<z_off_t>(block.length));
    if (result == Result::OK) {
        result = Put(block.output, block.outputLength);
    }
    if (result == Result::OK && block.last) {
        const unsigned char trailer[] = {
            static_cast<unsigned char>(m_check >> 24), static_cast<unsigned char>(m_check >> 16),
            static_cast<unsigned char>(m_check >> 8), static_cast<unsigned char>(m_check)};
        result = Put(trailer, sizeof trailer);
    }
    return result == Result::OK ? ShowFigures(block) : result;
}

// One figure per piece of the file the block ends, then the file's closing one; a
// stop asked for at a figure is answered with one closing figure more.
Result Packer::ShowFigures(const DeflateBlock& block) {
    const int64_t end = block.start + static_cast<int64_t>(block.length);
    int64_t shown = block.start;
    bool stopped = false;
    while (shown < end && !stopped) {
        shown = std::min<int64_t>(shown + static_cast<int64_t>(CODEC_BUFSIZE), end);
        stopped = m_progress.OnProgress(Percent(shown, block.fileSize)) == Progress::STOP;
    }
    if (block.last || stopped) {
        const Progress closing = m_progress.OnProgress(Percent(shown, block.fileSize));
        stopped = stopped || closing == Progress::STOP;
    }
    return stopped ? Result::ABORT : Result::OK;
}

Result Packer::Put(const unsigned char* data, size_t size) {
    if (m_staged + size > STAGING_SIZE && Flush() != Result::OK) {
        return Result::FAIL;
    }
    if (size >= STAGING_SIZE) {
        int failure = WriteAll(m_outFd, data, size);
        if (failure != 0) {
            NoteFileError(m_outName, failure);
            return Result::FAIL;
        }
        return Result::OK;
    }
    memcpy(m_staging.get() + m_staged, data, size);
    m_staged += size;
    return Result::OK;
}

Result Packer::Flush() {
    int failure = WriteAll(m_outFd, m_staging.get(), m_staged);
    m_staged = 0;
    if (failure != 0) {
        NoteFileError(m_outName, failure);
        return Result::FAIL;
    }
    return Result::OK;
}

Result Packer::PackFile(int inFd, int64_t size, const char* name) {
    int64_t start = 0;
    do {
        DeflateBlock* block = nullptr;
        Result result = ClaimBlock(&block);
        if (result == Result::OK) {
            result = FillBlock(block, inFd, size, start, name);
        }
        if (result != Result::OK) {
            return result;
        }
        m_deflater.Submit();
        start += static_cast<int64_t>(block->length);
        // Keeps the output and the figures flowing while the reader runs ahead.
        result = WriteDone(false);
        if (result != Result::OK) {
            return result;
        }
    } while (start < size);
    return Result::OK;
}

Result Packer::End() {
    Result result = WriteDone(true);
    if (result == Result::OK) {
        result = Flush();
    }
    m_deflater.Stop();
    return result;
}
