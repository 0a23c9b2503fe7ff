// The chunk jobs' loops: segment after segment of input, each used up before the
// inflater's state is read, so that a stop between blocks is seen exactly where the
// input ends.
#include "codec/chunk_job.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "codec/chunk_layout.h"
#include "platform/platform.h"

namespace {

// What a job inflates between writes: large writes, few system calls, and output that
// stays in the core's cache until it is written.
constexpr size_t WRITE_SIZE = size_t{256} * 1024;
constexpr int64_t CHUNK = static_cast<int64_t>(CHUNK_SIZE);

}  // namespace

bool ChunkWorkspace::Allocate() {
    if (!inflater) {
        inflater = MakeChunkInflater();
    }
    if (!output) {
        output.reset(new (std::nothrow) unsigned char[DEFLATE_WINDOW + WRITE_SIZE]);
    }
    return inflater && output && input.Allocate();
}

unsigned char* ChunkWorkspace::Room(size_t pending) const {
    return output.get() + DEFLATE_WINDOW + pending;
}

bool ChunkWorkspace::Flush(int fd, int64_t offset, size_t pending, uint32_t* adler) const {
    const unsigned char* data = output.get() + DEFLATE_WINDOW;
    if (fd >= 0 && !WriteAllAt(fd, data, pending, offset).ok()) {
        return false;
    }
    *adler = inflater->Checksum(*adler, data, pending);
    return true;
}

void ChunkWorkspace::KeepWindow(size_t written) const {
    // The end of the old window and all that was written.
    memmove(output.get(), output.get() + written, DEFLATE_WINDOW);
}

bool RunJob::Begin(const ChunkTarget& target, int64_t offset, int64_t produced, uint32_t adler,
                   const unsigned char* window, size_t windowLength) {
    m_target = target;
    m_work.input.Begin(target.inFd, offset, target.regionEnd);
    m_position = offset;
    m_made = produced;
    m_limit = target.size;
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
            JobEnd unwritten = JobEnd::FAILED;
            m_ended = WritePending(&unwritten) ? JobEnd::CHUNK_END : unwritten;
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
    if (state != ChunkState::BETWEEN || m_made % CHUNK != 0) {
        return false;
    }
    const int64_t guessStart = m_round->guessStart.load();
    return guessStart == ChunkRound::NOT_FOUND || m_position >= guessStart;
}

JobEnd ChunkJob::InflateSegment(const unsigned char* data, size_t length, ChunkState* state) {
    size_t used = 0;
    for (;;) {
        // One byte more than the limit allows, to tell a longer stream or chunk.
        const size_t room = static_cast<size_t>(
            std::min(static_cast<int64_t>(WRITE_SIZE - m_pending), m_limit - m_made + 1));
        const ChunkStep step =
            m_work.inflater->Inflate(data + used, length - used, m_work.Room(m_pending), room);
        used += step.consumed;
        m_pending += step.produced;
        m_made += static_cast<int64_t>(step.produced);
        if (step.consumed == 0 && step.produced == 0 && used < length) {
            return JobEnd::FAILED;  // stuck: no engine's right state
        }
        if (step.state == ChunkState::FAILED || m_made > m_limit) {
            return JobEnd::FAILED;
        }
        JobEnd unwritten = JobEnd::FAILED;
        if ((m_pending == WRITE_SIZE || step.state == ChunkState::FINISHED) &&
            !WritePending(&unwritten)) {
            return unwritten;
        }
        if (step.state == ChunkState::FINISHED) {
            m_position = m_work.input.Position() + static_cast<int64_t>(used - step.unused);
            return JobEnd::FINISHED;
        }
        // Output that filled the room: called again to learn where the inflater stands.
        if (used == length && step.produced < room) {
            *state = step.state;
            return JobEnd::CHUNK_END;
        }
    }
}

// Writes the pending output at its offset; past the guess's place, only once the guess
// writes no more.
bool RunJob::WritePending(JobEnd* end) {
    if (m_pending == 0) {
        return true;
    }
    if (m_made > m_round->guessPlace && !m_round->guessUseless.load()) {
        m_round->GiveUpGuess();
    }
    if (!m_work.Flush(m_target.outFd, Produced(), m_pending, &m_adler)) {
        *end = JobEnd::FAILED;
        return false;
    }
    m_pending = 0;
    return true;
}

void GuessJob::Run() {
    m_start = ChunkRound::NOT_FOUND;
    m_ended = JobEnd::FAILED;
    m_writeFailed = false;
    if (m_round->guessStart.load() == ChunkRound::NONE_COMING || !FindStart()) {
        return;
    }
    m_ended = InflateChunk();
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

// Inflates from the start found with no window, writing at the guess's place. Returns
// CHUNK_END for a whole chunk that ends between blocks just after a marker, FINISHED
// for the stream's last block ended, ABANDONED once the run says the guess is of no
// use, else FAILED: the data refers to what came before, it is longer than a chunk or
// than the stream's record, it is no deflate stream from there, or a write failed.
JobEnd GuessJob::InflateChunk() {
    if (!m_work.inflater->Begin(nullptr, 0)) {
        return JobEnd::FAILED;
    }
    m_made = 0;
    // A chunk, and no byte past the stream's record from the guess's place.
    m_limit = std::max<int64_t>(0, std::min(CHUNK, m_target.size - m_round->guessPlace));
    m_pending = 0;
    m_adler = ADLER_START;
    while (!m_round->guessUseless.load(std::memory_order_relaxed) &&
           !m_round->quit.load(std::memory_order_relaxed)) {
        const unsigned char* data = nullptr;
        size_t length = 0;
        bool marked = false;
        if (!m_work.input.Segment(&data, &length, &marked) || length == 0) {
            return JobEnd::FAILED;
        }
        ChunkState state = ChunkState::WITHIN;
        const JobEnd end = InflateSegment(data, length, &state);
        if (end != JobEnd::CHUNK_END) {
            return end;
        }
        m_work.input.Consume(length);
        if (marked && state == ChunkState::BETWEEN && m_made == CHUNK) {
            JobEnd unwritten = JobEnd::FAILED;
            if (!WritePending(&unwritten)) {
                return unwritten;
            }
            m_position = m_work.input.Position();
            m_lastSpan = m_position - m_start;
            return JobEnd::CHUNK_END;
        }
    }
    return JobEnd::ABANDONED;
}

// Writes the pending output at the guess's place, unless the run has given the guess
// up. Returns whether it wrote; when not, *end is ABANDONED or FAILED.
bool GuessJob::WritePending(JobEnd* end) {
    std::lock_guard<std::mutex> lock(m_round->guessWriting);
    if (m_round->guessUseless.load()) {
        *end = JobEnd::ABANDONED;
        return false;
    }
    const int64_t at = m_round->guessPlace + m_made - static_cast<int64_t>(m_pending);
    if (!m_work.Flush(m_target.outFd, at, m_pending, &m_adler)) {
        m_writeFailed = true;
        *end = JobEnd::FAILED;
        return false;
    }
    m_work.KeepWindow(m_pending);
    m_pending = 0;
    return true;
}
