// Unpacking: the streamed inflate loop, through an engine, over one input buffer that
// all the streams share. A fast engine's attempt at a stream stands only when it ends
// the stream cleanly at exactly its recorded length; anything else, zlib inflates the
// stream again from its first byte, as a zlib-only build would have, and its verdict
// is the one the user sees.
#include "codec/unpacker.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "codec/zlib_codes.h"
#include "platform/platform.h"

namespace {

// Large pieces: the inflaters' fast paths then cover nearly all of the data, and the
// system calls cost nothing; no larger, so that with ISA-L's state and code the run
// stays under 4 MiB. Pieces are always read at multiples of INPUT_SIZE into the
// region, so a stream inflated again sees the same pieces.
constexpr size_t INPUT_SIZE = size_t{64} * 1024;
constexpr size_t OUTPUT_SIZE = size_t{64} * 1024;
// The most an engine leaves unconsumed when it asks for more input: a bit buffer.
constexpr size_t MAX_UNCONSUMED = 8;
constexpr size_t BUFFER_SIZE = MAX_UNCONSUMED + INPUT_SIZE;
// A fast engine may notice a damaged stream a little further on than zlib does (it
// gathers a block header whole, and reads ahead); its figures stay this far behind
// what it has inflated, so that none shows that zlib would not have reached.
constexpr int64_t ATTEMPT_FIGURE_LAG = int64_t{64} * 1024;

const char WRONG_LENGTH[] = "damaged archive: the entry's stream has the wrong length";

}  // namespace

Unpacker::Unpacker(ProgressSink& progress, InflateChoice choice)
    : m_progress(progress), m_choice(choice) {}

Result Unpacker::Begin(int inFd, int64_t offset, int64_t size, const char* inName) {
    m_inFd = inFd;
    m_inName = inName;
    m_regionStart = offset;
    m_regionEnd = offset + size;
    m_readOffset = offset;
    m_shownUpTo = offset;
    m_waiting = 0;
    m_buffer.reset(new (std::nothrow) unsigned char[BUFFER_SIZE]);
    m_output.reset(new (std::nothrow) unsigned char[OUTPUT_SIZE]);
    if (!m_buffer || !m_output) {
        Note("out of memory");
        return Result::MEMORY;
    }
    // Touched once, here: the run's memory is then the same whatever the archive.
    memset(m_buffer.get(), 0, BUFFER_SIZE);
    memset(m_output.get(), 0, OUTPUT_SIZE);
    m_next = m_buffer.get() + MAX_UNCONSUMED;
    return Result::OK;
}

Result Unpacker::InflateStream(int outFd, int64_t size, const char* name) {
#ifdef TOVRA_WITH_ISAL
    if (m_choice == InflateChoice::FASTEST) {
        const int64_t start = InputOffset();
        if (std::optional<Result> result = Inflate(m_isal, Role::ATTEMPT, outFd, size, name)) {
            return *result;
        }
        const int failure = outFd >= 0 ? EmptyFile(outFd) : 0;
        if (failure != 0) {
            NoteFileError(name, failure);
            return Result::FAIL;
        }
        RestartInputAt(start);
    }
#endif
    return *Inflate(m_zlib, Role::JUDGE, outFd, size, name);
}

// The stream that starts at InputOffset(), inflated through engine. An attempt gives
// no result when the stream does not end cleanly: it notes nothing and leaves the
// verdict to the judge.
std::optional<Result> Unpacker::Inflate(InflateEngine& engine, Role role, int outFd, int64_t size,
                                        const char* name) {
    const bool judge = role == Role::JUDGE;
    const int begun = engine.BeginStream();
    if (begun != Z_OK) {
        if (!judge) {
            return std::nullopt;
        }
        NoteFile(name, StreamFailure(begun).c_str());
        return FromZlib(begun);
    }
    int64_t inflated = 0;
    Call call;
    Progress answer = Progress::CONTINUE;
    do {
        call = InflateOnce(engine, call.wantsInput);
        inflated += static_cast<int64_t>(call.step.produced);
        const bool ended = call.step.outcome != InflateOutcome::MORE;
        const bool clean = call.step.outcome == InflateOutcome::STREAM_END && inflated == size;
        // A stream may never inflate past its record: a tiny archive must not fill the disk.
        if (!judge && (inflated > size || (ended && !clean))) {
            return std::nullopt;
        }
        if (inflated > size) {
            NoteFile(name, WRONG_LENGTH);
            return Result::DAMAGED;
        }
        if (Result written = Deliver(call, judge, outFd, name); written != Result::OK) {
            return written;
        }
        const int64_t upTo = judge || clean ? InputOffset() : InputOffset() - ATTEMPT_FIGURE_LAG;
        answer = ShowFigures(upTo, call.step.outcome == InflateOutcome::STREAM_END);
    } while (call.step.outcome == InflateOutcome::MORE && answer == Progress::CONTINUE);
    if (answer == Progress::STOP) {
        return Result::ABORT;
    }
    return Judge(call.step, inflated, size, name);
}

// One call of engine, the input refilled first when the engine asked for more or none
// is waiting.
Unpacker::Call Unpacker::InflateOnce(InflateEngine& engine, bool wantsInput) {
    Call call;
    const bool fresh = (wantsInput || m_waiting == 0) && FillInput();
    call.noInput = m_waiting == 0;
    InflateStep& step = call.step;
    step = engine.Inflate(m_next, m_waiting, m_output.get(), OUTPUT_SIZE);
    m_next += step.consumed;
    m_waiting -= step.consumed;
    const bool stalled = step.consumed == 0 && step.produced == 0;
    if (step.outcome == InflateOutcome::MORE && wantsInput && !fresh && stalled) {
        // Asked for input that the archive does not have.
        step.outcome = InflateOutcome::FAILED;
        step.zlibCode = Z_BUF_ERROR;
    }
    call.wantsInput = step.outcome == InflateOutcome::MORE && step.produced < OUTPUT_SIZE;
    return call;
}

// Writes what the call produced to outFd, if any, and for the judge the message of a
// stream that ended or failed with its input run out. Returns OK, or FAIL with a note.
Result Unpacker::Deliver(const Call& call, bool judge, int outFd, const char* name) {
    const int failure = outFd >= 0 ? WriteAll(outFd, m_output.get(), call.step.produced) : 0;
    if (failure != 0) {
        NoteFileError(name, failure);
        return Result::FAIL;
    }
    if (judge && call.noInput && call.step.produced > 0 &&
        call.step.outcome != InflateOutcome::MORE) {
        m_progress.OnStreamMessage(call.step.zlibCode);
    }
    return Result::OK;
}

// The verdict on a stream the judge inflated to its end or its failure.
Result Unpacker::Judge(const InflateStep& step, int64_t inflated, int64_t size, const char* name) {
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

// Reads the next piece behind the bytes still waiting, which an engine that asks for
// input has left unconsumed. Returns whether any new byte came.
bool Unpacker::FillInput() {
    if (m_waiting > MAX_UNCONSUMED) {
        return false;  // no engine leaves more; it cannot be given more either
    }
    unsigned char* piece = m_buffer.get() + MAX_UNCONSUMED;
    memmove(piece - m_waiting, m_next, m_waiting);
    int64_t got = ReadFullAt(m_inFd, piece, INPUT_SIZE, m_readOffset);
    if (got < 0) {
        // Ends the input like the end of the file; the note says why.
        if (!m_readFailed) {
            NoteFileError(m_inName, errno);
        }
        m_readFailed = true;
        got = 0;
    }
    m_next = piece - m_waiting;
    m_readOffset += got;
    m_waiting += static_cast<size_t>(got);
    return got > 0;
}

// Makes offset the next byte to inflate, with the input in the same pieces as when it
// was first read.
void Unpacker::RestartInputAt(int64_t offset) {
    const int64_t pieces = (offset - m_regionStart) / static_cast<int64_t>(INPUT_SIZE);
    m_readOffset = m_regionStart + pieces * static_cast<int64_t>(INPUT_SIZE);
    m_waiting = 0;
    m_next = m_buffer.get() + MAX_UNCONSUMED;
    if (offset > m_readOffset) {
        FillInput();
        const size_t skipped = static_cast<size_t>(offset - (m_readOffset - m_waiting));
        // Fewer bytes than before means the archive shrank: the judge finds it cut short.
        const size_t kept = std::min(skipped, m_waiting);
        m_next += kept;
        m_waiting -= kept;
    }
}

// Where the next byte to inflate lies in the input: the start of the next stream
// between streams.
int64_t Unpacker::InputOffset() const {
    return m_readOffset - static_cast<int64_t>(m_waiting);
}

// Shows the figure of every piece boundary up to upTo not shown yet, and of upTo itself
// when a stream ended there; without a new figure, still asks whether to stop.
Progress Unpacker::ShowFigures(int64_t upTo, bool streamEnded) {
    const int64_t piece = static_cast<int64_t>(INPUT_SIZE);
    Progress answer = Progress::CONTINUE;
    bool shown = false;
    auto show = [&](int64_t at) {
        m_shownUpTo = at;
        shown = true;
        const int percent = Percent(at - m_regionStart, m_regionEnd - m_regionStart);
        answer = m_progress.OnProgress(percent) == Progress::STOP ? Progress::STOP : answer;
    };
    for (;;) {
        const int64_t next = m_regionStart + ((m_shownUpTo - m_regionStart) / piece + 1) * piece;
        if (next > upTo || next > m_regionEnd) {
            break;
        }
        show(next);
    }
    if (streamEnded && upTo > m_shownUpTo) {
        show(upTo);
    }
    return shown ? answer : m_progress.CheckStop();
}

int64_t Unpacker::UnreadBytes() const {
    return m_regionEnd - InputOffset();
}

void Unpacker::ShowComplete() {
    // Every stream is whole by now: a stop asked for at this figure changes nothing.
    (void)m_progress.OnProgress(FIGURE_COMPLETE);
}
