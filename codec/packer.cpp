// Packing: the reader and writer's side of parallel deflate. Every file is read here,
// piece by piece, in order, and the workers' output is written back in the same order,
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
// Headers, blocks and trailers are gathered into writes of this size.
constexpr size_t STAGING_SIZE = size_t{256} * 1024;

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
    m_method = BuiltMethod(m_level);
    if (m_method) {
        m_ring.reset(new (std::nothrow) JobRing(*m_method));
    }
    if (!m_staging || !m_ring || !m_ring->Start(m_workers)) {
        NoteFile(outName, StreamFailure(Z_MEM_ERROR).c_str());
        return Result::MEMORY;
    }
    return Result::OK;
}

// Reads the piece of the file that starts at start into job, primed with the end of
// the piece before when the method wants a window. Returns OK, LIMIT, or OPEN with
// *errnum set.
Result Packer::FillPiece(PackJob* job, int inFd, int64_t size, int64_t start, int* errnum) {
    const size_t want = static_cast<size_t>(
        std::min<int64_t>(size - start, static_cast<int64_t>(m_method->PieceSize())));
    // The window first: the job may be the one read last, reused, and the window is
    // the end of what it held.
    job->primed = start > 0 && job->window > 0;
    if (job->primed) {
        memcpy(job->input, m_previous->Data() + m_previous->length - job->window, job->window);
    }
    int64_t got = ReadFullAt(inFd, job->Data(), want, start);
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
    job->length = want;
    job->last = start + got == size;
    job->start = start;
    job->fileSize = size;
    m_previous = job;
    return Result::OK;
}

// A failure met in reading the file name (OPEN with errnum, or LIMIT), told once every
// job before it is written: the run ends with the first failure in file order.
Result Packer::FailReading(const char* name, Result result, int errnum) {
    const Result earlier = WriteDone(true);
    return earlier == Result::OK ? NoteReading(name, result, errnum) : earlier;
}

// Finds a free job, writing the oldest ones out until one is.
Result Packer::ClaimJob(PackJob** job) {
    bool noMemory = false;
    while ((*job = m_ring->Claim(&noMemory)) == nullptr) {
        PackJob* oldest = m_ring->Oldest(true);
        if (oldest == nullptr || noMemory) {
            NoteFile(m_outName, StreamFailure(Z_MEM_ERROR).c_str());
            return Result::MEMORY;
        }
        Result result = WriteJob(*oldest);
        m_ring->Retire();
        if (result != Result::OK) {
            return result;
        }
    }
    return Result::OK;
}

// Writes the jobs done, in order; with wait set, every job in flight.
Result Packer::WriteDone(bool wait) {
    while (const PackJob* job = m_ring->Oldest(wait)) {
        Result result = WriteJob(*job);
        m_ring->Retire();
        if (result != Result::OK) {
            return result;
        }
    }
    return Result::OK;
}

// Writes one piece's deflate data, framed as a zlib stream at the file's first and
// last pieces, and shows its figures.
Result Packer::WriteJob(const PackJob& job) {
    if (job.faulty) {
        NoteFile(job.name, FAILED_ITS_CHECK);
        return Result::STREAM;
    }
    if (job.result != Z_OK) {
        NoteFile(job.name, StreamFailure(job.result).c_str());
        return FromZlib(job.result);
    }
    Result result = Result::OK;
    if (job.start == 0) {
        const unsigned header = ZlibHeader(m_level);
        const unsigned char bytes[] = {static_cast<unsigned char>(header >> 8),
                                       static_cast<unsigned char>(header)};
        result = Put(bytes, sizeof bytes);
        m_check = adler32(0, Z_NULL, 0);
    }
    m_check = adler32_combine(m_check, job.check, static_cast<z_off_t>(job.length));
    if (result == Result::OK) {
        result = Put(job.output, job.outputLength);
    }
    if (result == Result::OK && job.last) {
        const unsigned char trailer[] = {
            static_cast<unsigned char>(m_check >> 24), static_cast<unsigned char>(m_check >> 16),
            static_cast<unsigned char>(m_check >> 8), static_cast<unsigned char>(m_check)};
        result = Put(trailer, sizeof trailer);
    }
    return result == Result::OK ? EndPiece(job) : result;
}

// Shows a job's figures, and after a file's last ones checks that the file is still the
// version opened: until its stream is written, it is being packed.
Result Packer::EndPiece(const PackJob& job) {
    Result result = ShowFigures(job);
    int errnum = 0;
    if (result == Result::OK && job.last) {
        result = CheckUnchanged(job.source, job.version, &errnum);
        result = result == Result::OK ? result : NoteReading(job.name, result, errnum);
    }
    return result;
}

// One figure per 4096 bytes of the file the job ends, then the file's closing one; a
// stop asked for at a figure is answered with one closing figure more.
Result Packer::ShowFigures(const PackJob& job) {
    const int64_t end = job.start + static_cast<int64_t>(job.length);
    int64_t shown = job.start;
    bool stopped = false;
    while (shown < end && !stopped) {
        shown = std::min<int64_t>(shown + static_cast<int64_t>(CODEC_BUFSIZE), end);
        stopped = m_progress.OnProgress(Percent(shown, job.fileSize)) == Progress::STOP;
    }
    if (job.last || stopped) {
        const Progress closing = m_progress.OnProgress(Percent(shown, job.fileSize));
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

// Reads the file here, piece by piece; its last piece takes its descriptor.
Result Packer::PackFile(const OpenedFile& source, int64_t size, const char* name) {
    HeldSource held(source.fd);
    int64_t start = 0;
    do {
        PackJob* job = nullptr;
        int errnum = 0;
        Result result = ClaimJob(&job);
        if (result != Result::OK) {
            return result;
        }
        job->name = name;
        result = FillPiece(job, held.fd(), size, start, &errnum);
        if (result != Result::OK) {
            return FailReading(name, result, errnum);
        }
        if (job->last) {
            job->version = source.version;
            job->source = held.Release();
        }
        m_ring->Submit();
        start += static_cast<int64_t>(job->length);
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
    m_ring->Stop();
    return result;
}
