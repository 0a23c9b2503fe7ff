// Unpacking: the streamed inflate loop, through an engine, over the input that all the
// streams share. A fast engine's attempt at a stream stands only when it ends
// the stream cleanly at exactly its recorded length; anything else, zlib inflates the
// stream again from its first byte, as a zlib-only build would have, and its verdict
// is the one the user sees.
#include "codec/unpacker.h"

#include <zlib.h>

#include <cstring>
#include <new>

#include "codec/chunk_layout.h"
#include "codec/zlib_codes.h"
#include "platform/platform.h"

namespace {

constexpr size_t OUTPUT_SIZE = size_t{64} * 1024;
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
    m_shownUpTo = offset;
    if (m_choice != InflateChoice::ZLIB_ONLY) {
        m_attempts = FastInflaters();
    }
    m_output.reset(new (std::nothrow) unsigned char[OUTPUT_SIZE]);
    if (!m_output) {
        return OutOfMemory();
    }
    // Touched once, here: the run's memory is then the same whatever the archive.
    memset(m_output.get(), 0, OUTPUT_SIZE);
    return m_input.Begin(inFd, offset, size);
}

Result Unpacker::InflateStream(int outFd, int64_t size, const char* name) {
    if (std::optional<Result> result = InflateSideBySide(outFd, size, name)) {
        return *result;
    }
    const int64_t start = m_input.Offset();
    for (const std::unique_ptr<InflateEngine>& engine : m_attempts) {
        if (std::optional<Result> result = Inflate(*engine, Role::ATTEMPT, outFd, size, name)) {
            return *result;
        }
        Result emptied = outFd >= 0 ? EmptyFile(outFd) : Result::OK;
        if (!emptied.ok()) {
            return emptied.Naming(name);
        }
        m_input.RestartAt(start);
    }
    return *Inflate(m_zlib, Role::JUDGE, outFd, size, name);
}

// A stream of more than one chunk, on two cores where the build and the machine allow.
// Gives no result when the stream is declined: its file is emptied for the path of one
// thread, which then inflates it from its first byte.
std::optional<Result> Unpacker::InflateSideBySide(int outFd, int64_t size, const char* name) {
    if (m_choice != InflateChoice::FASTEST || size <= static_cast<int64_t>(CHUNK_SIZE) ||
        !m_chunked.Ready()) {
        return std::nullopt;
    }
    const ChunkTarget target{m_inFd, m_input.RegionEnd(), outFd, size};
    int64_t end = 0;
    switch (m_chunked.Inflate(target, m_input.Offset(), this, &end)) {
        case ChunkedOutcome::DONE:
            m_input.RestartAt(end);
            return ShowFigures(end, true) == Progress::STOP ? Result::ABORT : Result::OK;
        case ChunkedOutcome::STOPPED:
            return Result(Result::ABORT);
        case ChunkedOutcome::DECLINED:
            break;
    }
    Result emptied = outFd >= 0 ? EmptyFile(outFd) : Result::OK;
    return emptied.ok() ? std::nullopt : std::optional<Result>(emptied.Naming(name));
}

// The stream that starts at the input's offset, inflated through engine. An attempt gives
// no result when the stream does not end cleanly: it notes nothing and leaves the
// verdict to the judge.
std::optional<Result> Unpacker::Inflate(InflateEngine& engine, Role role, int outFd, int64_t size,
                                        const char* name) {
    const bool judge = role == Role::JUDGE;
    Result begun = engine.BeginStream();
    if (!begun.ok()) {
        return judge ? std::optional<Result>(begun.Naming(name)) : std::nullopt;
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
            return Result(Result::DAMAGED, FileNote(name, WRONG_LENGTH));
        }
        if (Result written = Deliver(call, judge, outFd, name); !written.ok()) {
            return written;
        }
        const int64_t at = m_input.Offset();
        const int64_t upTo = judge || clean ? at : at - ATTEMPT_FIGURE_LAG;
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
    const bool fresh = (wantsInput || m_input.Waiting() == 0) && m_input.Refill();
    call.noInput = m_input.Waiting() == 0;
    InflateStep& step = call.step;
    step = engine.Inflate(m_input.Next(), m_input.Waiting(), m_output.get(), OUTPUT_SIZE);
    m_input.Consume(step.consumed);
    const bool stalled = step.consumed == 0 && step.produced == 0;
    if (step.outcome == InflateOutcome::MORE && wantsInput && !fresh && stalled) {
        // Asked for input that the archive does not have: zlib's verdict on a stream
        // cut short.
        step.outcome = InflateOutcome::FAILED;
        step.zlibCode = Z_BUF_ERROR;
        step.failure = ZlibResult(Z_BUF_ERROR);
    }
    call.wantsInput = step.outcome == InflateOutcome::MORE && step.produced < OUTPUT_SIZE;
    return call;
}

// Writes what the call produced to outFd, if any, and for the judge the message of a
// stream that ended or failed with its input run out. Returns OK, or FAIL with a note.
Result Unpacker::Deliver(const Call& call, bool judge, int outFd, const char* name) {
    Result written = outFd >= 0 ? WriteAll(outFd, m_output.get(), call.step.produced) : Result::OK;
    if (!written.ok()) {
        return written.Naming(name);
    }
    if (judge && call.noInput && call.step.produced > 0 &&
        call.step.outcome != InflateOutcome::MORE) {
        m_progress.OnStreamMessage(call.step.zlibCode);
    }
    return Result::OK;
}

// The verdict on a stream the judge inflated to its end or its failure, told after a
// read of the archive that failed: that is why the stream ended.
Result Unpacker::Judge(const InflateStep& step, int64_t inflated, int64_t size, const char* name) {
    if (step.outcome == InflateOutcome::STREAM_END && inflated == size) {
        return Result::OK;
    }
    Result verdict = step.outcome == InflateOutcome::STREAM_END
                         ? Result(Result::DAMAGED, FileNote(name, WRONG_LENGTH))
                         : step.failure.Naming(name);
    return verdict.After(m_input.ReadFailure().Naming(m_inName));
}

// Shows the figure of every piece boundary up to upTo not shown yet, and of upTo itself
// when a stream ended there; without a new figure, still asks whether to stop.
Progress Unpacker::ShowFigures(int64_t upTo, bool streamEnded) {
    const int64_t piece = static_cast<int64_t>(PieceReader::PIECE_SIZE);
    const int64_t regionStart = m_input.RegionStart();
    const int64_t regionEnd = m_input.RegionEnd();
    Progress answer = Progress::CONTINUE;
    bool shown = false;
    auto show = [&](int64_t at) {
        m_shownUpTo = at;
        shown = true;
        const int percent = Percent(at - regionStart, regionEnd - regionStart);
        answer = m_progress.OnProgress(percent) == Progress::STOP ? Progress::STOP : answer;
    };
    for (;;) {
        const int64_t next = regionStart + ((m_shownUpTo - regionStart) / piece + 1) * piece;
        if (next > upTo || next > regionEnd) {
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
    return m_input.RegionEnd() - m_input.Offset();
}

void Unpacker::ShowComplete() {
    // Every stream is whole by now: a stop asked for at this figure changes nothing.
    (void)m_progress.OnProgress(FIGURE_COMPLETE);
}
