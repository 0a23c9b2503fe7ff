// The two jobs that inflate one stream's chunks side by side, a round at a time. The
// run inflates on from a position known to be right, into the entry file at its offset,
// and stops at the first chunk end at or past where the guess began. The guess finds
// the first chunk-end marker past the run's start and inflates the chunk after it alone,
// into a buffer of one chunk, on the chance that the run stops exactly there. Neither
// decides anything: the caller accepts a guess only when every check holds.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "codec/chunk_inflate.h"
#include "codec/marked_input.h"
#include "codec/task_crew.h"

// What a round's jobs share, each field written by one job and read by the other.
struct ChunkRound {
    static constexpr int64_t NOT_FOUND = -1;
    // No guess this round: the run goes on to the stream's end.
    static constexpr int64_t NONE_COMING = INT64_MAX;
    std::atomic<int64_t> guessStart{NOT_FOUND};  // where the guess's chunk begins
    std::atomic<int64_t> runAt{0};               // how far the run has read, for the figures
    std::atomic<bool> guessUseless{false};       // the run did not stop where the guess began
    std::atomic<bool> quit{false};               // a stop was asked for
};

// Where a stream's chunks go: its entry file (-1 to discard them) and recorded length.
struct ChunkTarget {
    int inFd = -1;
    int64_t regionEnd = 0;  // nothing at or past it is read
    int outFd = -1;
    int64_t size = 0;
};

enum class JobEnd {
    CHUNK_END,  // between blocks on a byte boundary, at a multiple of the chunk size
    FINISHED,   // the stream's last block ended
    FAILED,     // the data, a read or a write failed: the caller inflates as before
    QUIT,
};

// What each job inflates with: its inflater, its input and its output buffer.
struct ChunkWorkspace {
    // Takes them, the output of outputSize bytes. Returns false when they cannot be had.
    bool Allocate(size_t outputSize);

    std::unique_ptr<ChunkInflater> inflater;
    MarkedInput input;
    std::unique_ptr<unsigned char[]> output;
};

class RunJob final : public CrewTask {
  public:
    // Takes the inflater and buffers. Returns false when they cannot be had.
    bool Allocate();

    // The job's next round goes on from the deflate data at offset, with window as the
    // data before it (none at the stream's start), the stream's bytes before it
    // produced and with checksum adler.
    bool Begin(const ChunkTarget& target, int64_t offset, int64_t produced, uint32_t adler,
               const unsigned char* window, size_t windowLength);

    void Prepare(ChunkRound* round) { m_round = round; }
    void Run() override;

    JobEnd Ended() const { return m_ended; }
    int64_t Position() const { return m_position; }  // after FINISHED: the trailer's
    int64_t Produced() const { return m_produced; }
    uint32_t Adler() const { return m_adler; }

  private:
    JobEnd InflateSegment(const unsigned char* data, size_t length, ChunkState* state);
    bool Flush();
    bool StopsHere(ChunkState state) const;

    ChunkWorkspace m_work;
    size_t m_pending = 0;  // output not yet written
    ChunkTarget m_target;
    ChunkRound* m_round = nullptr;
    JobEnd m_ended = JobEnd::FAILED;
    int64_t m_position = 0;
    int64_t m_produced = 0;  // written, at its offset
    uint32_t m_adler = ADLER_START;
};

class GuessJob final : public CrewTask {
  public:
    bool Allocate();

    // Takes a new stream, with no chunk accepted yet.
    void Begin(const ChunkTarget& target) {
        m_target = target;
        m_writeAt = -1;
        m_writeFailed = false;
        m_lastSpan = 0;
    }

    // The next round searches from offset, unless the round says no guess is coming:
    // it first writes the chunk accepted in the round before, if any.
    void Prepare(ChunkRound* round, int64_t offset) {
        m_round = round;
        m_from = offset;
    }
    void Run() override;

    // Writes the chunk the caller accepted at outOffset, now or at the next round's start.
    void Accept(int64_t outOffset) { m_writeAt = outOffset; }
    bool WriteAccepted();

    JobEnd Ended() const { return m_ended; }
    int64_t Start() const { return m_start; }
    int64_t Position() const { return m_position; }  // after FINISHED: the trailer's
    size_t Length() const { return m_length; }
    uint32_t Adler() const { return m_adler; }
    const unsigned char* Data() const { return m_work.output.get(); }
    bool WriteFailed() const { return m_writeFailed; }

  private:
    bool FindStart();
    JobEnd InflateChunk();

    ChunkWorkspace m_work;  // its output a chunk and one byte, to tell a longer one
    ChunkTarget m_target;
    ChunkRound* m_round = nullptr;
    int64_t m_from = 0;
    JobEnd m_ended = JobEnd::FAILED;
    int64_t m_start = ChunkRound::NOT_FOUND;
    int64_t m_position = 0;
    size_t m_length = 0;
    uint32_t m_adler = ADLER_START;
    int64_t m_lastSpan = 0;  // the compressed length of the last whole chunk guessed
    int64_t m_writeAt = -1;  // where the accepted chunk goes, until written
    bool m_writeFailed = false;
};
