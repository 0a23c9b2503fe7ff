// Packing: the reader and writer's side of parallel deflate. Every file is read here,
// piece by piece, in order, and the workers' output is written back in the same order,
// one zlib stream per file.
#include "codec/packer.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "codec/zlib_codes.h"
#include "platform/platform.h"

namespace {

// The pieces progress is counted in: one figure per piece of a file.
constexpr size_t CODEC_BUFSIZE = 4096;
// Headers, blocks and trailers are gathered into writes of this size.
constexpr size_t STAGING_SIZE = size_t{256} * 1024;

// Once every byte of a file is read, it must still be the version opened: a rewrite in
// place at the same size would otherwise pack a mixture of old and new. Returns OK,
// LIMIT, or OPEN with errno (the file not named).
Result CheckUnchanged(int fd, const FileVersion& opened) {
    FileVersion now;
    Result read = VersionOf(fd, &now);
    if (!read.ok()) {
        return read;
    }
    return SameVersion(now, opened) ? Result::OK
                                    : Result(Result::LIMIT, FileNote("", CHANGED_WHILE_PACKED));
}

Result OutOfMemory(const char* name) {
    return ZlibResult(Z_MEM_ERROR).Naming(name);
}

}  // namespace

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
        return OutOfMemory(outName);
    }
    return Result::OK;
}

// Reads the piece of the file that starts at start into job, primed with the end of
// the piece before when the method wants a window. Returns OK, LIMIT, or OPEN with
// errno (the file not named).
Result Packer::FillPiece(PackJob* job, int inFd, int64_t size, int64_t start) {
    const size_t want = static_cast<size_t>(
        std::min<int64_t>(size - start, static_cast<int64_t>(m_method->PieceSize())));
    // The window first: the job may be the one read last, reused, and the window is
    // the end of what it held.
    job->primed = start > 0 && job->window > 0;
    if (job->primed) {
        memcpy(job->input, m_previous->Data() + m_previous->length - job->window, job->window);
    }
    size_t got = 0;
    Result read = ReadFullAt(inFd, job->Data(), want, start, &got);
    // The file ends where the read ended; one byte past the size shows a file that grew.
    const bool last = start + static_cast<int64_t>(got) == size;
    unsigned char beyond = 0;
    size_t more = 0;
    if (read.ok() && got == want && last) {
        read = ReadFullAt(inFd, &beyond, 1, size, &more);
    }
    if (!read.ok()) {
        return read.As(Result::OPEN);
    }
    if (got != want || more != 0) {
        return Result(Result::LIMIT, FileNote("", CHANGED_WHILE_PACKED));
    }
    job->length = want;
    job->last = last;
    job->start = start;
    job->fileSize = size;
    m_previous = job;
    return Result::OK;
}

Result Packer::Fail(const Result& failure) {
    Result earlier = WriteDone(true);
    return earlier.ok() ? failure : earlier;
}

// Finds a free job, writing the oldest ones out until one is.
Result Packer::ClaimJob(PackJob** job) {
    bool noMemory = false;
    while ((*job = m_ring->Claim(&noMemory)) == nullptr) {
        PackJob* oldest = m_ring->Oldest(true);
        if (oldest == nullptr || noMemory) {
            return OutOfMemory(m_outName);
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
    if (!job.result.ok()) {
        return job.result.Naming(job.name);
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
    if (result.ok() && job.last) {
        result = CheckUnchanged(job.source.get(), job.version).Naming(job.name);
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
    if (m_staged + size > STAGING_SIZE) {
        if (Result flushed = Flush(); !flushed.ok()) {
            return flushed;
        }
    }
    if (size >= STAGING_SIZE) {
        return WriteAll(m_outFd, data, size).Naming(m_outName);
    }
    memcpy(m_staging.get() + m_staged, data, size);
    m_staged += size;
    return Result::OK;
}

Result Packer::Flush() {
    Result written = WriteAll(m_outFd, m_staging.get(), m_staged).Naming(m_outName);
    m_staged = 0;
    return written;
}

// Reads the file here, piece by piece; its last piece takes its descriptor.
Result Packer::PackFile(OpenedFile source, int64_t size, const char* name) {
    int64_t start = 0;
    do {
        PackJob* job = nullptr;
        Result result = ClaimJob(&job);
        if (!result.ok()) {
            return result;
        }
        job->name = name;
        result = FillPiece(job, source.fd.get(), size, start);
        if (!result.ok()) {
            return Fail(result.Naming(name));
        }
        if (job->last) {
            job->version = source.version;
            job->source = std::move(source.fd);
        }
        m_ring->Submit();
        start += static_cast<int64_t>(job->length);
        // Keeps the output and the figures flowing while the reader runs ahead.
        result = WriteDone(false);
        if (!result.ok()) {
            return result;
        }
    } while (start < size);
    return Result::OK;
}

Result Packer::End() {
    Result result = WriteDone(true);
    if (result.ok()) {
        result = Flush();
    }
    m_ring->Stop();
    return result;
}
