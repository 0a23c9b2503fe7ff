// The rounds of a stream inflated side by side, and the checks a guess must pass.
#include "codec/chunked_inflate.h"

#include <zlib.h>

#include "codec/chunk_layout.h"
#include "codec/zlib_codes.h"
#include "platform/platform.h"

namespace {

constexpr size_t WORKERS = 2;
// How often the caller's thread shows figures and asks whether to stop while a round
// runs: well within what a user notices.
constexpr std::chrono::milliseconds POLL_INTERVAL{10};
// ISA-L may notice damage a little further on than zlib does; its figures stay this
// far behind, as on the one-thread path.
constexpr int64_t FIGURE_LAG = int64_t{64} * 1024;
constexpr size_t ADLER_SIZE = 4;
// Guesses that fail in a row before a stream's rounds go on with the run alone: a
// stream whose blocks refer back across the markers (the zlib-only build's) fails
// every one, and the wasted work would slow the run down. A guess the run overtook
// does not count: an archive of earlier builds, with a chunk end here and there that
// has no marker, has its guess land a chunk too far now and then, and the next one
// right.
constexpr int FAILED_GUESSES_BEFORE_RUN_ALONE = 2;

// The stream's end: all of its length made, and the trailer the Adler-32 of it.
ChunkedOutcome Finish(const ChunkTarget& target, int64_t trailer, int64_t produced, uint32_t adler,
                      int64_t* end) {
    unsigned char stored[ADLER_SIZE];
    size_t got = 0;
    if (produced != target.size || trailer + static_cast<int64_t>(ADLER_SIZE) > target.regionEnd ||
        !ReadFullAt(target.inFd, stored, sizeof stored, trailer, &got).ok() ||
        got != sizeof stored) {
        return ChunkedOutcome::DECLINED;
    }
    const uint32_t expected = (uint32_t{stored[0]} << 24) | (uint32_t{stored[1]} << 16) |
                              (uint32_t{stored[2]} << 8) | uint32_t{stored[3]};
    if (expected != adler) {
        return ChunkedOutcome::DECLINED;
    }
    *end = trailer + static_cast<int64_t>(ADLER_SIZE);
    return ChunkedOutcome::DONE;
}

}  // namespace

bool ChunkedInflate::Ready() {
    if (!m_tried) {
        m_tried = true;
        m_ready = m_run.Allocate() && m_guess.Allocate() && m_crew.Start(WORKERS);
    }
    return m_ready;
}

ChunkedOutcome ChunkedInflate::Inflate(const ChunkTarget& target, int64_t start,
                                       ChunkFigures* figures, int64_t* end) {
    unsigned char header[ZLIB_HEADER_SIZE];
    size_t got = 0;
    if (!ReadFullAt(target.inFd, header, sizeof header, start, &got).ok() || got != sizeof header ||
        !IsPlainZlibHeader(header) ||
        !m_run.Begin(target, start + static_cast<int64_t>(ZLIB_HEADER_SIZE), 0, ADLER_START,
                     nullptr, 0)) {
        return ChunkedOutcome::DECLINED;
    }
    m_guess.Begin(target);
    int failedInARow = 0;
    for (;;) {
        const ChunkedOutcome round =
            AwaitRound(failedInARow < FAILED_GUESSES_BEFORE_RUN_ALONE, figures);
        if (round != ChunkedOutcome::DONE) {
            return round;
        }
        if (m_run.Ended() == JobEnd::FINISHED) {
            return Finish(target, m_run.Position(), m_run.Produced(), m_run.Adler(), end);
        }
        if (GuessFits(target)) {
            failedInARow = 0;
            const size_t length = m_guess.Length();
            const int64_t produced = m_run.Produced() + static_cast<int64_t>(length);
            const uint32_t adler = static_cast<uint32_t>(
                adler32_combine64(m_run.Adler(), m_guess.Adler(), static_cast<z_off64_t>(length)));
            if (m_guess.Ended() == JobEnd::FINISHED) {
                return Finish(target, m_guess.Position(), produced, adler, end);
            }
            if (!m_run.Begin(target, m_guess.Position(), produced, adler, m_guess.Window(),
                             DEFLATE_WINDOW)) {
                return ChunkedOutcome::DECLINED;
            }
        } else if (m_guess.Ended() == JobEnd::FAILED) {
            ++failedInARow;
        }
        if (figures->ShowUpTo(m_run.Position() - FIGURE_LAG) == Progress::STOP) {
            return ChunkedOutcome::STOPPED;
        }
    }
}

// Runs one round, showing figures meanwhile. Returns DONE when the run stopped at a
// chunk end or finished the stream, STOPPED, or DECLINED for a failure of either job.
ChunkedOutcome ChunkedInflate::AwaitRound(bool guessing, ChunkFigures* figures) {
    m_round.guessStart.store(guessing ? ChunkRound::NOT_FOUND : ChunkRound::NONE_COMING);
    // The guess's chunk goes right after the run's, which begins at a chunk's start.
    m_round.guessPlace =
        guessing ? m_run.Produced() + static_cast<int64_t>(CHUNK_SIZE) : ChunkRound::NONE_COMING;
    m_round.runAt.store(m_run.Position());
    m_round.guessUseless.store(false);
    m_round.quit.store(false);
    m_run.Prepare(&m_round);
    m_guess.Prepare(&m_round, m_run.Position());
    CrewTask* const tasks[WORKERS] = {&m_run, &m_guess};
    m_crew.Launch(tasks);
    // Asked at once too: a key typed before the round reaches the jobs as they begin.
    bool stopped = false;
    do {
        if (!stopped && figures->ShowUpTo(m_round.runAt.load() - FIGURE_LAG) == Progress::STOP) {
            stopped = true;
            m_round.quit.store(true);
        }
    } while (!m_crew.WaitFor(POLL_INTERVAL));
    if (stopped) {
        return ChunkedOutcome::STOPPED;
    }
    const bool ran = m_run.Ended() == JobEnd::CHUNK_END || m_run.Ended() == JobEnd::FINISHED;
    return ran && !m_guess.WriteFailed() ? ChunkedOutcome::DONE : ChunkedOutcome::DECLINED;
}

// A guess counts only when the run stopped exactly at its first byte, having made
// exactly the bytes before the guess's place, and it is a whole chunk that leaves the
// stream going on, or exactly the stream's rest.
bool ChunkedInflate::GuessFits(const ChunkTarget& target) const {
    if (m_guess.Start() != m_run.Position() || m_run.Produced() != m_round.guessPlace) {
        return false;
    }
    const int64_t reaches = m_run.Produced() + static_cast<int64_t>(m_guess.Length());
    switch (m_guess.Ended()) {
        case JobEnd::CHUNK_END:
            return m_guess.Length() == CHUNK_SIZE && reaches <= target.size;
        case JobEnd::FINISHED:
            return reaches == target.size;
        default:
            return false;
    }
}
