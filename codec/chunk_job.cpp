// The chunk jobs' loops: segment after segment of input, each used up before the
// inflater's state is read, so that a stop between blocks is seen exactly where the
// input ends.
#include "codec/chunk_job.h"

#include <algorithm>
#include <new>

#include "codec/chunk_layout.h"
#include "platform/platform.h"

namespace {

// The run's output between writes: large writes, few system calls.
constexpr size_t RUN_OUTPUT_SIZE = size_t{256} * 1024;
constexpr int64_t CHUNK = static_cast<int64_t>(CHUNK_SIZE);

}  // namespace

bool ChunkWorkspace::Allocate(size_t outputSize) {
    if (!inflater) {
        inflater = MakeChunkInflater();
    }
    if (!output) {
        output.reset(new (std::nothrow) unsigned char[outputSize]);
    }
    return inflater && output && input.Allocate();
}

bool RunJob::Allocate() {
    return m_work.Allocate(RUN_OUTPUT_SIZE);
}

bool RunJob::Begin(const ChunkTarget& target, int64_t offset, int64_t produced, uint32_t adler,
                   const unsigned char* window, size_t windowLength) {
    m_target = target;
    m_work.input.Begin(target.inFd, offset, target.regionEnd);
    m_position = offset;
    m_produced = produced;
    m_adler = adler;
    m_pending = 0;
    return m_work.inflater->Begin(window, windowLength);
}

void RunJob::Run() {
    m_ended = JobEnd::QUIT;
    while (!m_round->quit.load(std::memory_order_relaxed)) {
        const unsigned char* data = nullptr;
        size_t length = 0;
        bool marked = false;
        if (!m_work.input.Segment(&data, &length, &marked) || length == 0) {
            m_ended = JobEnd::FAILED;  // a read failed, or the stream is cut short
            break;
        }
        ChunkState state = ChunkState::WITHIN;
        const JobEnd end = InflateSegment(data, length, &state);
        if (end != JobEnd::CHUNK_END) {
            m_ended = end;
            break;
        }
        m_work.input.Consume(length);
        m_position = m_work.input.Position();
        m_round->runAt.store(m_position, std::memory_order_relaxed);
        if (marked && StopsHere(state)) {
            m_ended = Flush() ? JobEnd::CHUNK_END : JobEnd::FAILED;
            break;
        }
    }
    if (m_ended != JobEnd::CHUNK_END || m_position != m_round->guessStart.load()) {
        m_round->guessUseless.store(true);
    }
}

// At a chunk end: the first at or past the guess's start, or the first at all while the
// guess has found none.
bool RunJob::StopsHere(ChunkState state) const {
    if (state != ChunkState::BETWEEN ||
        (m_produced + static_cast<int64_t>(m_pending)) % CHUNK != 0) {
        return false;
    }
    const int64_t guessStart = m_round->guessStart.load();
    return guessStart == ChunkRound::NOT_FOUND || m_position >= guessStart;
}

// Inflates the whole segment, writing whenever the output fills. Returns CHUNK_END when
// the segment is used up with the stream going on (state then says where it stands),
// FINISHED with the position at the trailer, or FAILED, also for output past the
// stream's recorded length.
JobEnd RunJob::InflateSegment(const unsigned char* data, size_t length, ChunkState* state) {
    size_t used = 0;
    for (;;) {
        const int64_t left = m_target.size - m_produced - static_cast<int64_t>(m_pending);
        // One byte more than the record allows, to tell a stream that is too long.
        const size_t room = left + 1 < static_cast<int64_t>(RUN_OUTPUT_SIZE - m_pending)
                                ? static_cast<size_t>(left + 1)
                                : RUN_OUTPUT_SIZE - m_pending;
        const ChunkStep step = m_work.inflater->Inflate(data + used, length - used,
                                                        m_work.output.get() + m_pending, room);
        used += step.consumed;
        m_pending += step.produced;
        if (step.consumed == 0 && step.produced == 0 && used < length) {
            return JobEnd::FAILED;  // stuck: no engine's right state
        }
        if (step.state == ChunkState::FAILED ||
            m_produced + static_cast<int64_t>(m_pending) > m_target.size) {
            return JobEnd::FAILED;
        }
        if ((m_pending == RUN_OUTPUT_SIZE || step.state == ChunkState::FINISHED) && !Flush()) {
            return JobEnd::FAILED;
        }
        if (step.state == ChunkState::FINISHED) {
            m_position = m_work.input.Position() + static_cast<int64_t>(used - step.unused);
            return JobEnd::FINISHED;
        }
        if (used == length && step.produced < room) {
            *state = step.state;
            return JobEnd::CHUNK_END;
        }
    }
}

bool RunJob::Flush() {
    if (m_pending == 0) {
        return true;
    }
    if (m_target.outFd >= 0 &&
        !WriteAllAt(m_target.outFd, m_work.output.get(), m_pending, m_produced).ok()) {
        return false;
    }
    m_adler = m_work.inflater->Checksum(m_adler, m_work.output.get(), m_pending);
    m_produced += static_cast<int64_t>(m_pending);
    m_pending = 0;
    return true;
}

bool GuessJob::Allocate() {
    return m_work.Allocate(CHUNK_SIZE + 1);
}

bool GuessJob::WriteAccepted() {
    const int64_t at = m_writeAt;
    m_writeAt = -1;
    if (at >= 0 && m_target.outFd >= 0) {
        // In the run's write size: a write holds the file's lock throughout, and one of
        // a whole chunk would keep the run's writes waiting for it.
        for (size_t done = 0; done < m_length && !m_writeFailed; done += RUN_OUTPUT_SIZE) {
            const size_t part = std::min(RUN_OUTPUT_SIZE, m_length - done);
            m_writeFailed = !WriteAllAt(m_target.outFd, m_work.output.get() + done, part,
                                        at + static_cast<int64_t>(done))
                                 .ok();
        }
    }
    return !m_writeFailed;
}

void GuessJob::Run() {
    m_start = ChunkRound::NOT_FOUND;
    m_ended = JobEnd::FAILED;
    const bool guessing = m_round->guessStart.load() != ChunkRound::NONE_COMING;
    if (!WriteAccepted() || !guessing || !FindStart()) {
        return;
    }
    m_ended = InflateChunk();
    if (m_ended == JobEnd::CHUNK_END || m_ended == JobEnd::FINISHED) {
        m_adler = m_work.inflater->Checksum(ADLER_START, m_work.output.get(), m_length);
    }
}

// The first marker's end past where the run began: where the next chunk would begin.
bool GuessJob::FindStart() {
    // The run's chunk is most likely about as long as the last one guessed: no marker
    // is looked for in the first half of that.
    m_work.input.Begin(m_target.inFd, m_from + m_lastSpan / 2, m_target.regionEnd);
    // No further than a chunk's worth of stored data: past that the run is there first.
    const int64_t searched = m_from + CHUNK;
    while (m_work.input.Position() < searched && !m_round->guessUseless.load()) {
        const unsigned char* data = nullptr;
        size_t length = 0;
        bool marked = false;
        if (!m_work.input.Segment(&data, &length, &marked) || length == 0) {
            return false;
        }
        m_work.input.Consume(length);
        if (marked) {
            m_start = m_work.input.Position();
            m_round->guessStart.store(m_start);
            return true;
        }
    }
    return false;
}

// Inflates from the start found with no window, into the chunk buffer. Returns
// CHUNK_END for a whole chunk that ends between blocks just after a marker, FINISHED
// for the stream's last block ended, else FAILED: the data refers to what came before,
// it is longer than a chunk, or it is no deflate stream from there.
JobEnd GuessJob::InflateChunk() {
    if (!m_work.inflater->Begin(nullptr, 0)) {
        return JobEnd::FAILED;
    }
    m_length = 0;
    while (!m_round->guessUseless.load(std::memory_order_relaxed) &&
           !m_round->quit.load(std::memory_order_relaxed)) {
        const unsigned char* data = nullptr;
        size_t length = 0;
        bool marked = false;
        if (!m_work.input.Segment(&data, &length, &marked) || length == 0) {
            return JobEnd::FAILED;
        }
        size_t used = 0;
        ChunkStep step;
        do {
            step =
                m_work.inflater->Inflate(data + used, length - used, m_work.output.get() + m_length,
                                         CHUNK_SIZE + 1 - m_length);
            used += step.consumed;
            m_length += step.produced;
            if (step.consumed == 0 && step.produced == 0 && used < length) {
                return JobEnd::FAILED;
            }
            if (step.state == ChunkState::FAILED || m_length > CHUNK_SIZE) {
                return JobEnd::FAILED;
            }
            if (step.state == ChunkState::FINISHED) {
                m_position = m_work.input.Position() + static_cast<int64_t>(used - step.unused);
                return JobEnd::FINISHED;
            }
        } while (used < length);
        m_work.input.Consume(length);
        if (marked && step.state == ChunkState::BETWEEN && m_length == CHUNK_SIZE) {
            m_position = m_work.input.Position();
            m_lastSpan = m_position - m_start;
            return JobEnd::CHUNK_END;
        }
    }
    return JobEnd::FAILED;
}
