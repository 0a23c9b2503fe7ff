// Unpacking a large stream on two cores: its chunks inflated side by side by a run and a
// guess (see chunk_job.h), the caller's thread showing the figures and hearing stops
// meanwhile. Every guess is checked before it counts, and the stream's Adler-32 at the
// end; anything that does not hold, and the stream is declined: its caller inflates it
// again as before, zlib judging, so that no user ever sees this path's verdict.
#pragma once

#include <cstdint>

#include "codec/chunk_job.h"
#include "codec/progress.h"
#include "codec/task_crew.h"

// Where the caller shows figures: every fixed point of the archive up to at.
class ChunkFigures {
  public:
    virtual Progress ShowUpTo(int64_t at) = 0;

  protected:
    ~ChunkFigures() = default;
};

enum class ChunkedOutcome {
    DONE,      // the stream inflated whole, its length and Adler-32 right
    STOPPED,   // a stop was asked for
    DECLINED,  // inflate it as before
};

class ChunkedInflate {
  public:
    // Makes the jobs and starts the crew on first use. Returns whether this build and
    // this machine can inflate side by side.
    bool Ready();

    // Inflates the stream starting at offset start into the target, from its empty
    // file's start. On DONE, *end is the offset after its trailer.
    ChunkedOutcome Inflate(const ChunkTarget& target, int64_t start, ChunkFigures* figures,
                           int64_t* end);

  private:
    ChunkedOutcome AwaitRound(bool guessing, ChunkFigures* figures);
    bool GuessFits(const ChunkTarget& target) const;

    bool m_tried = false;
    bool m_ready = false;
    RunJob m_run;
    GuessJob m_guess;
    ChunkRound m_round;
    TaskCrew m_crew;  // last: its threads stop before the jobs they run go
};
