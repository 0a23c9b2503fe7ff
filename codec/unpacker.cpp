// Unpacking: the streamed inflate loop, through an engine, over one input buffer that
// all the streams share.
#include "codec/unpacker.h"

#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "codec/zlib_codes.h"
#include "platform/platform.h"

namespace {

// Large pieces: zlib's fast path then covers nearly all of the data, and the system
// calls cost nothing.
constexpr size_t INPUT_SIZE = size_t{256} * 1024;
constexpr size_t OUTPUT_SIZE = size_t{256} * 1024;

const char WRONG_LENGTH[] = "damaged archive: the entry's stream has the wrong length";

}  // namespace

Unpacker::Unpacker(ProgressSink& progress) : m_progress(progress) {}

Result Unpacker::Begin(int inFd, int64_t offset, int64_t size, const char* inName) {
    m_inFd = inFd;
    m_inName = inName;
    m_regionStart = offset;
    m_regionEnd = offset + size;
    m_readOffset = offset;
    m_waiting = 0;
    m_input.reset(new (std::nothrow) unsigned char[INPUT_SIZE]);
    m_output.reset(new (std::nothrow) unsigned char[OUTPUT_SIZE]);
    if (!m_input || !m_output) {
        Note("out of memory");
        return Result::MEMORY;
    }
    // Touched once, here: the run's memory is then the same whatever the archive.
    memset(m_input.get(), 0, INPUT_SIZE);
    memset(m_output.get(), 0, OUTPUT_SIZE);
    return Result::OK;
}

Result Unpacker::InflateStream(int outFd, int64_t size, const char* name) {
    return Inflate(m_zlib, outFd, size, name);
}

// The stream that starts at InputOffset(), inflated through engine.
Result Unpacker::Inflate(InflateEngine& engine, int outFd, int64_t size, const char* name) {
    const int begun = engine.BeginStream();
    if (begun != Z_OK) {
        NoteFile(name, StreamFailure(begun).c_str());
        return FromZlib(begun);
    }
    int64_t inflated = 0;
    InflateStep step;
    Progress answer = Progress::CONTINUE;
    do {
        const bool atEnd = FillInput() == 0;
        step = engine.Inflate(m_next, m_waiting, m_output.get(), OUTPUT_SIZE);
        m_next += step.consumed;
        m_waiting -= step.consumed;
        inflated += static_cast<int64_t>(step.produced);
        // A stream may never inflate past its record: a tiny archive must not fill the disk.
        if (inflated > size) {
            NoteFile(name, WRONG_LENGTH);
            return Result::DAMAGED;
        }
        int failure = outFd >= 0 ? WriteAll(outFd, m_output.get(), step.produced) : 0;
        if (failure != 0) {
            NoteFileError(name, failure);
            return Result::FAIL;
        }
        if (atEnd && step.produced > 0 && step.outcome != InflateOutcome::MORE) {
            m_progress.OnStreamMessage(step.zlibCode);
        }
        answer = m_progress.OnProgress(
            Percent(InputOffset() - m_regionStart, m_regionEnd - m_regionStart));
    } while (step.outcome == InflateOutcome::MORE && answer == Progress::CONTINUE);
    if (answer == Progress::STOP) {
        return Result::ABORT;
    }
    if (step.outcome == InflateOutcome::STREAM_END && inflated == size) {
        return Result::OK;
    }
    if (step.outcome == InflateOutcome::STREAM_END) {
        NoteFile(name, WRONG_LENGTH);
        return Result::DAMAGED;
    }
    NoteFile(name, StreamFailure(step.zlibCode).c_str());
    return FromZlib(step.zlibCode);
}

// Refills the input once all of it is inflated. Returns the bytes waiting; 0 at the
// end of the input.
size_t Unpacker::FillInput() {
    if (m_waiting == 0) {
        int64_t got = ReadFullAt(m_inFd, m_input.get(), INPUT_SIZE, m_readOffset);
        if (got < 0) {
            // Ends the input like the end of the file; the note says why.
            NoteFileError(m_inName, errno);
            got = 0;
        }
        m_next = m_input.get();
        m_readOffset += got;
        m_waiting = static_cast<size_t>(got);
    }
    return m_waiting;
}

// Where the next byte to inflate lies in the input: the start of the next stream
// between streams.
int64_t Unpacker::InputOffset() const {
    return m_readOffset - static_cast<int64_t>(m_waiting);
}

int64_t Unpacker::UnreadBytes() const {
    return m_regionEnd - InputOffset();
}

void Unpacker::ShowComplete() {
    // Every stream is whole by now: a stop asked for at this figure changes nothing.
    (void)m_progress.OnProgress(FIGURE_COMPLETE);
}
