// The two jobs that inflate one stream's chunks side by side, a round at a time. The
// run inflates on from a position known to be right, into the entry file at its offset,
// and stops at the first chunk end at or past where the guess began. The guess finds
// the first chunk-end marker past the run's start and inflates the chunk after it alone,
// into the entry file where the chunk after the run's belongs, on the chance that the
// run stops exactly there. Neither decides anything: the caller accepts a guess only
// when every check holds, and the run's bytes replace any the guess wrote in vain.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

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
    std::atomic<bool> guessUseless{false};       // the run stops elsewhere, or writes there
    std::atomic<bool> quit{false};               // a stop was asked for
    // Where the guess writes its chunk in the entry file: right after the run's. Set
    // before the round.
    int64_t guessPlace = NONE_COMING;
    // Held by each write of the guess, and by the run as it gives the guess up before it
    // writes there itself: no byte of a guess lands after the run's.
    std::mutex guessWriting;

    // The run's word that the guess is of no use: it writes nothing more.
    void GiveUpGuess() {
        std::lock_guard<std::mutex> lock(guessWriting);
        guessUseless.store(true);
    }
};

// Deflate's window: how far back the data after a chunk end may refer.
constexpr size_t DEFLATE_WINDOW = size_t{32} * 1024;

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
    ABANDONED,  // the guess, once the run said it is of no use
    QUIT,
};

// What each job inflates with: its inflater, its input, and its output: the last
// window's worth of what it wrote, then room for its next write.
struct ChunkWorkspace {
    // Takes them. Returns false when they cannot be had.
    bool Allocate();
    // Where the next output goes, after what is pending.
    unsigned char* Room(size_t pending) const;
    // Writes the pending bytes at offset of fd (none when fd is -1) and adds them to
    // *adler. Returns false when the write fails.
    bool Flush(int fd, int64_t offset, size_t pending, uint32_t* adler) const;
    // Keeps the last window's worth of output after a write of written bytes.
    void KeepWindow(size_t written) const;
    // The last window's worth of output kept: valid once a window's worth was written.
    const unsigned char* Window() const { return output.get(); }

    std::unique_ptr<ChunkInflater> inflater;
    MarkedInput input;
    std::unique_ptr<unsigned char[]> output;
};

// What the run and the guess share: their workspace, where they write, their round,
// and the output made: in all, of which some is pending, not yet written, and at most
// a limit.
class ChunkJob : public CrewTask {
  public:
    // Takes the inflater and buffers. Returns false when they cannot be had.
    bool Allocate() { return m_work.Allocate(); }

    JobEnd Ended() const { return m_ended; }
    int64_t Position() const { return m_position; }  // after FINISHED: the trailer's
    uint32_t Adler() const { return m_adler; }

  protected:
    ~ChunkJob() = default;

    // Inflates the whole segment, writing whenever the output fills. Returns CHUNK_END
    // when the segment is used up with the stream going on (state then says where it
    // stands), FINISHED with the position at the trailer, or why the job ends: FAILED
    // also for output past the limit.
    JobEnd InflateSegment(const unsigned char* data, size_t length, ChunkState* state);
    // Writes the pending output. Returns whether it did; when not, *end says why.
    virtual bool WritePending(JobEnd* end) = 0;

    ChunkWorkspace m_work;
    ChunkTarget m_target;
    ChunkRound* m_round = nullptr;
    JobEnd m_ended = JobEnd::FAILED;
    int64_t m_position = 0;
    int64_t m_made = 0;    // pending or written
    int64_t m_limit = 0;   // the most it may make
    size_t m_pending = 0;  // made, not yet written
    uint32_t m_adler = ADLER_START;
};

// Counts what it makes as the stream's bytes, up to the stream's recorded length.
class RunJob final : public ChunkJob {
  public:
    // The job's next round goes on from the deflate data at offset, with window as the
    // data before it (none at the stream's start), the stream's bytes before it
    // produced and with checksum adler.
    bool Begin(const ChunkTarget& target, int64_t offset, int64_t produced, uint32_t adler,
               const unsigned char* window, size_t windowLength);

    void Prepare(ChunkRound* round) { m_round = round; }
    void Run() override;

    int64_t Produced() const { return m_made - static_cast<int64_t>(m_pending); }  // written

  private:
    bool WritePending(JobEnd* end) override;
    bool StopsHere(ChunkState state) const;
};

// Counts what it makes as its chunk's bytes, up to a chunk and never past the record.
class GuessJob final : public ChunkJob {
  public:
    // Takes a new stream.
    void Begin(const ChunkTarget& target) {
        m_target = target;
        m_lastSpan = 0;
    }

    // The next round searches from offset, unless the round says no guess is coming,
    // and writes at the round's place for the guess.
    void Prepare(ChunkRound* round, int64_t offset) {
        m_round = round;
        m_from = offset;
    }
    void Run() override;

    int64_t Start() const { return m_start; }
    size_t Length() const { return static_cast<size_t>(m_made); }
    // The chunk's last window's worth, after CHUNK_END.
    const unsigned char* Window() const { return m_work.Window(); }
    bool WriteFailed() const { return m_writeFailed; }

  private:
    bool FindStart();
    JobEnd InflateChunk();
    bool WritePending(JobEnd* end) override;

    int64_t m_from = 0;
    int64_t m_start = ChunkRound::NOT_FOUND;
    int64_t m_lastSpan = 0;  // the compressed length of the last whole chunk guessed
    bool m_writeFailed = false;
};
