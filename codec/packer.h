// Packing: files cut into pieces deflated on worker threads through the build's method,
// joined into one zlib stream per file appended to one descriptor, with a figure for
// every 4096 bytes of each file. The packer opens, creates and names nothing: it writes
// to its caller's descriptor, and reads and closes the files its caller hands it. Every
// failure it returns is the first in file order, its note naming the file.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "codec/job_ring.h"
#include "codec/pack_job.h"
#include "codec/progress.h"
#include "platform/platform.h"
#include "platform/result.h"

// The reason for a file that is not the version opened, or not of its recorded size.
constexpr char CHANGED_WHILE_PACKED[] = "file changed while being packed";

// A packer destroyed before End, after a failure or a stop, lets the jobs being
// compressed finish, writes nothing more, closes the files it holds, and joins the
// workers.
class Packer {
  public:
    // Figures go to progress, which may ask for a stop; the streams are deflated at
    // level on the given number of worker threads.
    Packer(ProgressSink& progress, int level, int workers);
    Packer(const Packer&) = delete;
    Packer& operator=(const Packer&) = delete;

    // Chooses the method and takes the run's bookkeeping; the streams go to outFd,
    // which outName names in notes. Returns OK, or MEMORY with a note.
    Result Begin(int outFd, const char* outName);

    // Reads the size bytes the source holds, piece by piece, and hands them to the
    // workers as one zlib stream, while writing the streams and figures of the jobs
    // already done; the file may still be in flight on return. Takes the source, and
    // closes it once the file's stream is written and the file found still the version
    // opened. name names the file in notes and must stay valid until End.
    // Returns OK, ABORT, LIMIT when the file does not hold exactly size bytes or is not
    // the version opened, OPEN when it cannot be read, FAIL when a write falls short,
    // STREAM when deflate's data fails its check, or the engine's failure: the first in
    // file order, this file's or an earlier one's.
    Result PackFile(OpenedFile source, int64_t size, const char* name);

    // Ends the files with a failure met before the next file could be handed over: the
    // jobs in flight are written first, and a failure an earlier file meets there is
    // the one returned, else failure.
    Result Fail(const Result& failure);

    // Writes every job still in flight and stops the workers. Returns OK, or a
    // failure as PackFile's.
    Result End();

  private:
    Result FillPiece(PackJob* job, int inFd, int64_t size, int64_t start);
    Result ClaimJob(PackJob** job);
    Result WriteDone(bool wait);
    Result WriteJob(const PackJob& job);
    Result EndPiece(const PackJob& job);
    Result ShowFigures(const PackJob& job);
    Result Put(const unsigned char* data, size_t size);
    Result Flush();

    ProgressSink& m_progress;
    const int m_level;
    const int m_workers;
    std::unique_ptr<DeflateMethod> m_method;
    std::unique_ptr<JobRing> m_ring;             // after the method, which it runs
    const PackJob* m_previous = nullptr;         // the piece read last, the next one's window
    uLong m_check = 0;                           // Adler-32 of the current file so far
    std::unique_ptr<unsigned char[]> m_staging;  // small writes gathered into large ones
    size_t m_staged = 0;                         // bytes waiting in m_staging
    int m_outFd = -1;
    const char* m_outName = "";
};
