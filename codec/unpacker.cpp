// Unpacking: the streamed inflate loop, through an engine, over the input that all the
// streams share. A fast engine's attempt at a stream stands only when it ends
// the stream cleanly at exactly its recorded length; anything else, zlib inflates the
// stream again from its first byte, as a zlib-only build would have, and its verdict
// is the one the user sees. With a thread to spare, that loop runs ahead of the
// caller's, which meanwhile writes the files, shows the figures and hears stops: the
// same bytes, figures and verdicts, in the same order, as on one thread.
#include "codec/unpacker.h"

#include <zlib.h>

#include <chrono>
#include <cstring>
#include <exception>
#include <new>
#include <utility>

#include "codec/chunk_layout.h"
#include "codec/zlib_codes.h"
#include "platform/platform.h"

namespace {

constexpr size_t OUTPUT_SIZE = size_t{64} * 1024;
// Blocks of OUTPUT_SIZE the thread inflating ahead may fill before the caller's thread
// writes them: a small stream takes two, and with eight the thread ahead waited while
// the caller created the files of a few (the corpus's small files 10% slower).
constexpr size_t AHEAD_BLOCKS = 32;
// How long the caller's thread waits for the next block before it asks whether to stop.
constexpr std::chrono::milliseconds POLL_INTERVAL{10};
// A fast engine may notice a damaged stream a little further on than zlib does (it
// gathers a block header whole, and reads ahead); its figures stay this far behind
// what it has inflated, so that none shows that zlib would not have reached.
constexpr int64_t ATTEMPT_FIGURE_LAG = int64_t{64} * 1024;

const char WRONG_LENGTH[] = "damaged archive: the entry's stream has the wrong length";

// A stream inflated on two cores, where the build and the machine allow.
bool TakesTwoCores(InflateChoice choice, int64_t size) {
    return choice == InflateChoice::FASTEST && size > static_cast<int64_t>(CHUNK_SIZE);
}

}  // namespace

class Unpacker::Sink {
  public:
    // Where the next call's output goes, OUTPUT_SIZE bytes; null when it is no longer
    // wanted.
    virtual unsigned char* Room() = 0;
    // Takes the output of the call whose room Room gave. Returns OK, or the failure of
    // a write; *answer says whether to go on.
    virtual Result Take(const Delivery& delivery, Progress* answer) = 0;
    // The stream's output so far is dropped: it is inflated again from its first byte.
    virtual Result Restart() = 0;

  protected:
    ~Sink() = default;
};

class Unpacker::HereSink final : public Sink {
  public:
    HereSink(Unpacker& unpacker, int outFd) : m_unpacker(unpacker), m_outFd(outFd) {}

    unsigned char* Room() override { return m_unpacker.m_output.get(); }
    Result Take(const Delivery& delivery, Progress* answer) override {
        return m_unpacker.Deliver(m_outFd, m_unpacker.m_output.get(), delivery, answer);
    }
    Result Restart() override { return m_outFd >= 0 ? EmptyFile(m_outFd) : Result::OK; }

  private:
    Unpacker& m_unpacker;
    const int m_outFd;
};

class Unpacker::AheadSink final : public Sink {
  public:
    explicit AheadSink(Unpacker& unpacker) : m_unpacker(unpacker) {}

    unsigned char* Room() override {
        Ring::Block* block = m_unpacker.m_ring.Claim();
        return block != nullptr ? block->data.get() : nullptr;
    }
    Result Take(const Delivery& delivery, Progress* answer) override {
        AheadEvent event;
        event.delivery = delivery;
        *answer = m_unpacker.HandOn(std::move(event)) ? Progress::CONTINUE : Progress::STOP;
        return Result::OK;
    }
    Result Restart() override {
        AheadEvent event;
        event.kind = AheadEvent::RESTART;
        return m_unpacker.HandOn(std::move(event)) ? Result::OK : Result::ABORT;
    }

  private:
    Unpacker& m_unpacker;
};

Unpacker::Unpacker(ProgressSink& progress, InflateChoice choice)
    : m_progress(progress), m_choice(choice) {}

Unpacker::~Unpacker() {
    m_ring.Close();
    if (m_ahead.joinable()) {
        m_ahead.join();
    }
}

Result Unpacker::Begin(int inFd, int64_t offset, int64_t size, std::vector<int64_t> sizes,
                       const char* inName) {
    m_inFd = inFd;
    m_inName = inName;
    m_sizes = std::move(sizes);
    m_regionStart = offset;
    m_regionEnd = offset + size;
    m_streamsEnd = offset;
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
    Result begun = m_input.Begin(inFd, offset, size);
    // Without a fast engine (a zlib-only build) the streams stay on this thread, as ever.
    if (begun.ok() && m_choice == InflateChoice::FASTEST && !m_attempts.empty() &&
        m_ring.Allocate(AHEAD_BLOCKS, OUTPUT_SIZE)) {
        // A thread the system will not give, or memory for it, is no failure: this one
        // inflates instead.
        try {
            m_ahead = std::thread(&Unpacker::InflateAhead, this);
        } catch (const std::exception&) {
        }
    }
    return begun;
}

Result Unpacker::InflateStream(int outFd, const char* name) {
    const int64_t size = m_sizes[m_next++];
    Result result = m_ahead.joinable() ? TakeAhead(outFd, size) : InflateHere(outFd, size);
    if (!result.ok()) {
        // Nothing more will be asked for: the thread ahead need not go on.
        m_ring.Close();
    }
    return result.Naming(name);
}

// The stream at the input's offset, inflated from this thread: on two cores when it can,
// else through the engines here.
Result Unpacker::InflateHere(int outFd, int64_t size) {
    std::optional<Result> result = InflateSideBySide(outFd, size);
    if (!result) {
        HereSink sink(*this, outFd);
        result = InflateThroughEngines(sink, size);
    }
    m_streamsEnd = m_input.Offset();
    return *result;
}

// The next stream as the thread ahead hands it on, written into outFd and its figures
// shown, block by block, until its verdict; or, when it is the caller's own, inflated
// here.
Result Unpacker::TakeAhead(int outFd, int64_t size) {
    for (;;) {
        Ring::Block* block = m_ring.Next(POLL_INTERVAL);
        if (block == nullptr) {
            if (m_progress.CheckStop() == Progress::STOP) {
                return Result::ABORT;
            }
            continue;
        }
        AheadEvent& event = block->event;
        Result result;
        Progress answer = Progress::CONTINUE;
        switch (event.kind) {
            case AheadEvent::OUTPUT:
                result = Deliver(outFd, block->data.get(), event.delivery, &answer);
                break;
            case AheadEvent::RESTART:
                result = outFd >= 0 ? EmptyFile(outFd) : Result::OK;
                break;
            case AheadEvent::VERDICT:
                m_streamsEnd = event.end;
                result = std::move(event.verdict);
                m_ring.GiveBack();
                return result;
            case AheadEvent::CALLERS_OWN:
                result = InflateHere(outFd, size);
                // The input goes back to the thread ahead.
                m_ring.GiveBack();
                return result;
        }
        m_ring.GiveBack();
        if (!result.ok()) {
            return result;
        }
        if (answer == Progress::STOP) {
            return Result::ABORT;
        }
    }
}

// The thread ahead: every stream in turn through the engines onto the ring, each
// followed by its verdict, up to the first that fails; a large stream is left to the
// caller's thread, which has the input meanwhile.
void Unpacker::InflateAhead() {
    for (int64_t size : m_sizes) {
        if (TakesTwoCores(m_choice, size)) {
            AheadEvent callers;
            callers.kind = AheadEvent::CALLERS_OWN;
            if (!HandOn(std::move(callers)) || !m_ring.AwaitAllGivenBack()) {
                return;
            }
            continue;
        }
        AheadSink sink(*this);
        AheadEvent over;
        over.kind = AheadEvent::VERDICT;
        over.verdict = InflateThroughEngines(sink, size);
        over.end = m_input.Offset();
        const bool failed = !over.verdict.ok();
        if (!HandOn(std::move(over)) || failed) {
            return;
        }
    }
}

// Hands event on in the next block. Returns false once the ring is closed.
bool Unpacker::HandOn(AheadEvent event) {
    Ring::Block* block = m_ring.Claim();
    if (block == nullptr) {
        return false;
    }
    block->event = std::move(event);
    m_ring.HandOn();
    return true;
}

// The stream at the input's offset through each fast engine, its output dropped after
// each one that does not end it cleanly, and at last through zlib, the judge.
Result Unpacker::InflateThroughEngines(Sink& sink, int64_t size) {
    const int64_t start = m_input.Offset();
    for (const std::unique_ptr<InflateEngine>& engine : m_attempts) {
        if (std::optional<Result> result = Inflate(*engine, Role::ATTEMPT, sink, size)) {
            return *result;
        }
        Result emptied = sink.Restart();
        if (!emptied.ok()) {
            return emptied;
        }
        m_input.RestartAt(start);
    }
    return *Inflate(m_zlib, Role::JUDGE, sink, size);
}

// A stream of more than one chunk, on two cores where the build and the machine allow.
// Gives no result when the stream is declined: its file is emptied for the path of one
// thread, which then inflates it from its first byte.
std::optional<Result> Unpacker::InflateSideBySide(int outFd, int64_t size) {
    if (!TakesTwoCores(m_choice, size) || !m_chunked.Ready()) {
        return std::nullopt;
    }
    const ChunkTarget target{m_inFd, m_regionEnd, outFd, size};
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
    return emptied.ok() ? std::nullopt : std::optional<Result>(emptied);
}

// The stream that starts at the input's offset, inflated through engine into sink. An
// attempt gives no result when the stream does not end cleanly: it notes nothing and
// leaves the verdict to the judge. The notes name no entry: the caller names them.
std::optional<Result> Unpacker::Inflate(InflateEngine& engine, Role role, Sink& sink,
                                        int64_t size) {
    const bool judge = role == Role::JUDGE;
    Result begun = engine.BeginStream();
    if (!begun.ok()) {
        return judge ? std::optional<Result>(begun) : std::nullopt;
    }
    int64_t inflated = 0;
    Call call;
    Progress answer = Progress::CONTINUE;
    do {
        unsigned char* room = sink.Room();
        if (room == nullptr) {
            return Result(Result::ABORT);
        }
        call = InflateOnce(engine, call.wantsInput, room);
        inflated += static_cast<int64_t>(call.step.produced);
        const bool ended = call.step.outcome != InflateOutcome::MORE;
        const bool clean = call.step.outcome == InflateOutcome::STREAM_END && inflated == size;
        // A stream may never inflate past its record: a tiny archive must not fill the disk.
        if (!judge && (inflated > size || (ended && !clean))) {
            return std::nullopt;
        }
        if (inflated > size) {
            return Result(Result::DAMAGED, FileNote("", WRONG_LENGTH));
        }
        Delivery delivery;
        delivery.length = call.step.produced;
        const int64_t at = m_input.Offset();
        delivery.figuresUpTo = judge || clean ? at : at - ATTEMPT_FIGURE_LAG;
        delivery.streamEnded = call.step.outcome == InflateOutcome::STREAM_END;
        delivery.messageShown = judge && call.noInput && call.step.produced > 0 && ended;
        delivery.zlibCode = call.step.zlibCode;
        if (Result taken = sink.Take(delivery, &answer); !taken.ok()) {
            return taken;
        }
    } while (call.step.outcome == InflateOutcome::MORE && answer == Progress::CONTINUE);
    if (answer == Progress::STOP) {
        return Result::ABORT;
    }
    return Judge(call.step, inflated, size);
}

// One call of engine into output, the input refilled first when the engine asked for
// more or none is waiting.
Unpacker::Call Unpacker::InflateOnce(InflateEngine& engine, bool wantsInput,
                                     unsigned char* output) {
    Call call;
    const bool fresh = (wantsInput || m_input.Waiting() == 0) && m_input.Refill();
    call.noInput = m_input.Waiting() == 0;
    InflateStep& step = call.step;
    step = engine.Inflate(m_input.Next(), m_input.Waiting(), output, OUTPUT_SIZE);
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

// Writes what a call produced to outFd, if any, tells the judge's message of a stream
// that ended or failed with its input run out, and shows the figures. Returns OK, or
// FAIL with a note; *answer says whether to go on.
Result Unpacker::Deliver(int outFd, const unsigned char* data, const Delivery& delivery,
                         Progress* answer) {
    Result written = outFd >= 0 ? WriteAll(outFd, data, delivery.length) : Result::OK;
    if (!written.ok()) {
        return written;
    }
    if (delivery.messageShown) {
        m_progress.OnStreamMessage(delivery.zlibCode);
    }
    *answer = ShowFigures(delivery.figuresUpTo, delivery.streamEnded);
    return Result::OK;
}

// The verdict on a stream the judge inflated to its end or its failure, told after a
// read of the archive that failed: that is why the stream ended.
Result Unpacker::Judge(const InflateStep& step, int64_t inflated, int64_t size) {
    if (step.outcome == InflateOutcome::STREAM_END && inflated == size) {
        return Result::OK;
    }
    Result verdict = step.outcome == InflateOutcome::STREAM_END
                         ? Result(Result::DAMAGED, FileNote("", WRONG_LENGTH))
                         : step.failure;
    return verdict.After(m_input.ReadFailure().Naming(m_inName));
}

// Shows the figure of every piece boundary up to upTo not shown yet, and of upTo itself
// when a stream ended there; without a new figure, still asks whether to stop.
Progress Unpacker::ShowFigures(int64_t upTo, bool streamEnded) {
    const int64_t piece = static_cast<int64_t>(PieceReader::PIECE_SIZE);
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

void Unpacker::ShowComplete() {
    // Every stream is whole by now: a stop asked for at this figure changes nothing.
    (void)m_progress.OnProgress(FIGURE_COMPLETE);
}
