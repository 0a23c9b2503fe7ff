// Packing: the reader and writer's side of parallel deflate. Blocks of large files
// are read here and whole files handed over unread, in order, and the workers' output
// is written back in the same order, one zlib stream per file.
#include "codec/packer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "codec/whole_deflate.h"
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

// Once every byte of a file is read, it must still be the version opened: a rewrite in
// place at the same size would otherwise pack a mixture of old and new. Returns OK,
// LIMIT, or OPEN with *errnum set.
Result CheckUnchanged(int fd, const FileVersion& opened, int* errnum) {
    FileVersion now;
    *errnum = VersionOf(fd, &now);
    if (*errnum != 0) {
        return Result::OPEN;
    }
    return SameVersion(now, opened) ? Result::OK : Result::LIMIT;
}

// Notes a failure met in reading the file name: OPEN with errnum, or LIMIT.
Result NoteReading(const char* name, Result result, int errnum) {
    if (result == Result::OPEN) {
        NoteFileError(name, errnum);
    } else {
        NoteFile(name, CHANGED_WHILE_PACKED);
    }
    return result;
}

}  // namespace

// A file's descriptor, closed unless a job takes it.
class HeldSource {
  public:
    explicit HeldSource(int fd) : m_fd(fd) {}
    ~HeldSource() {
        if (m_fd >= 0) {
            CloseReadOnly(m_fd);
        }
    }
    HeldSource(const HeldSource&) = delete;
    HeldSource& operator=(const HeldSource&) = delete;

    int fd() const { return m_fd; }
    int Release() {
        const int taken = m_fd;
        m_fd = -1;
        return taken;
    }

  private:
    int m_fd;
};

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
// of the block before. Returns OK, LIMIT, or OPEN with *errnum set.
Result Packer::FillBlock(DeflateBlock* block, int inFd, int64_t size, int64_t start, int* errnum) {
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
        *errnum = errno;
        return Result::OPEN;
    }
    if (got != static_cast<int64_t>(want) || more != 0) {
        return Result::LIMIT;
    }
    block->length = want;
    block->last = start + got == size;
    block->start = start;
    block->fileSize = size;
    m_previous = block;
    return Result::OK;
}

// A failure met in reading the file name (OPEN with errnum, or LIMIT), told once every
// job before it is written: the run ends with the first failure in file order.
Result Packer::FailReading(const char* name, Result result, int errnum) {
    const Result earlier = WriteDone(true);
    return earlier == Result::OK ? NoteReading(name, result, errnum) : earlier;
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

// Claims a whole-file job for a file of size bytes and its memory, writing the jobs
// done while the whole files in flight leave no room. *job stays null when the memory
// cannot be had: the file then goes in blocks, as a larger one.
Result Packer::ClaimWhole(size_t size, DeflateBlock** job) {
    while ((*job = m_deflater.FreeWhole(size)) == nullptr) {
        const DeflateBlock* oldest = m_deflater.Oldest(false);
        if (oldest == nullptr) {
            m_deflater.WaitForRoom();
            continue;
        }
        Result result = WriteBlock(*oldest);
        m_deflater.Retire();
        if (result != Result::OK) {
            return result;
        }
    }
    if ((*job)->wholeInput.Allocate(size) != 0 ||
        (*job)->wholeOutput.Allocate(WholeStreamBound(size)) != 0) {
        (*job)->wholeInput.Free();
        m_deflater.Unclaim();
        *job = nullptr;
    }
    return Result::OK;
}

// Writes the jobs done, in order; with wait set, every job in flight.
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
// last blocks, or a whole file's stream, and shows its figures.
Result Packer::WriteBlock(const DeflateBlock& block) {
    if (block.whole) {
        return WriteWhole(block);
    }
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
    return result == Result::OK ? EndPiece(block) : result;
}

// Shows a job's figures, and after a file's last ones checks that the file is still the
// version opened: until its stream is written, it is being packed.
Result Packer::EndPiece(const DeflateBlock& job) {
    Result result = ShowFigures(job);
    int errnum = 0;
    if (result == Result::OK && job.last) {
        result = CheckUnchanged(job.source, job.version, &errnum);
        result = result == Result::OK ? result : NoteReading(job.name, result, errnum);
    }
    return result;
}

// Writes a whole file's stream and all its figures.
Result Packer::WriteWhole(const DeflateBlock& job) {
    // The oldest job: no failure of an earlier file can be waiting.
    if (job.readResult != Result::OK) {
        return NoteReading(job.name, job.readResult, job.readErrno);
    }
    if (job.result != Z_OK) {
        NoteFile(job.name, StreamFailure(job.result).c_str());
        return FromZlib(job.result);
    }
    const Result result = Put(job.wholeOutput.data(), job.outputLength);
    return result == Result::OK ? EndPiece(job) : result;
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

Result Packer::PackFile(const OpenedFile& source, int64_t size, const char* name) {
    HeldSource held(source.fd);
    DeflateBlock* job = nullptr;
    Result result = PacksWhole(size) ? ClaimWhole(static_cast<size_t>(size), &job) : Result::OK;
    if (result != Result::OK) {
        return result;
    }
    if (job == nullptr) {
        return PackBlocks(&held, source.version, size, name);
    }
    job->length = static_cast<size_t>(size);
    job->start = 0;
    job->last = true;
    job->fileSize = size;
    job->name = name;
    job->version = source.version;
    job->source = held.Release();
    m_deflater.Submit();
    return WriteDone(false);
}

// Reads the file here, block by block; its last block takes its descriptor.
Result Packer::PackBlocks(HeldSource* source, const FileVersion& version, int64_t size,
                          const char* name) {
    int64_t start = 0;
    do {
        DeflateBlock* block = nullptr;
        int errnum = 0;
        Result result = ClaimBlock(&block);
        if (result != Result::OK) {
            return result;
        }
        block->name = name;
        result = FillBlock(block, source->fd(), size, start, &errnum);
        if (result != Result::OK) {
            return FailReading(name, result, errnum);
        }
        if (block->last) {
            block->version = version;
            block->source = source->Release();
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

Result Packer::Settle() {
    return WriteDone(true);
}

Result Packer::End() {
    Result result = WriteDone(true);
    if (result == Result::OK) {
        result = Flush();
    }
    m_deflater.Stop();
    return result;
}
