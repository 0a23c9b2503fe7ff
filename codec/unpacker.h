// Unpacking: back-to-back zlib streams read from one descriptor, each inflated into the
// descriptor its caller gives and held to its recorded length. The figures mark the
// share of the compressed region inflated: one at every piece boundary of it and one
// at every stream's end, the same whichever engine inflates. Its caller owns every
// descriptor: the unpacker opens, creates and names nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "codec/chunked_inflate.h"
#include "codec/inflate_engine.h"
#include "codec/piece_reader.h"
#include "codec/progress.h"
#include "codec/zlib_inflate.h"
#include "platform/result.h"

// Which engines inflate: the fastest the build has, a large stream's chunks on two
// cores where it can, zlib judging every stream they do not end cleanly; the same on
// one thread; or zlib alone, whose results the fast paths must match.
enum class InflateChoice { FASTEST, SEQUENTIAL, ZLIB_ONLY };

class Unpacker final : private ChunkFigures {
  public:
    // Figures go to progress, which may ask for a stop.
    Unpacker(ProgressSink& progress, InflateChoice choice);
    Unpacker(const Unpacker&) = delete;
    Unpacker& operator=(const Unpacker&) = delete;

    // Takes the run's memory and engines and starts reading streams from inFd at
    // offset; size is the compressed region's length, for the figures; inName names
    // the source in notes. Returns OK, or MEMORY with a note.
    Result Begin(int inFd, int64_t offset, int64_t size, const char* inName);

    // Inflates the next stream into outFd, which is empty and at its start, or discards
    // it when outFd is -1; it must inflate to exactly size bytes. name names the entry
    // in notes. Returns OK, ABORT, FAIL when a write or a rewind falls short, DAMAGED
    // for a stream of another length (nothing is written past size), or zlib's failure,
    // after a note for a read of the archive that failed.
    Result InflateStream(int outFd, int64_t size, const char* name);

    // The bytes after the streams inflated so far.
    int64_t UnreadBytes() const;

    // Shows the closing figure of a run that completed.
    void ShowComplete();

  private:
    enum class Role { ATTEMPT, JUDGE };
    // One call of an engine, and what the next needs.
    struct Call {
        InflateStep step;
        bool noInput = false;     // the archive had no byte left for it
        bool wantsInput = false;  // it asked for more input
    };
    std::optional<Result> Inflate(InflateEngine& engine, Role role, int outFd, int64_t size,
                                  const char* name);
    Call InflateOnce(InflateEngine& engine, bool wantsInput);
    Result Deliver(const Call& call, bool judge, int outFd, const char* name);
    Result Judge(const InflateStep& step, int64_t inflated, int64_t size, const char* name);
    std::optional<Result> InflateSideBySide(int outFd, int64_t size, const char* name);
    Progress ShowFigures(int64_t upTo, bool streamEnded);
    Progress ShowUpTo(int64_t at) override { return ShowFigures(at, false); }

    ProgressSink& m_progress;
    const InflateChoice m_choice;
    std::vector<std::unique_ptr<InflateEngine>> m_attempts;  // before zlib, in order
    ZlibInflate m_zlib;                                      // the judge
    PieceReader m_input;
    std::unique_ptr<unsigned char[]> m_output;
    ChunkedInflate m_chunked;
    int m_inFd = -1;
    const char* m_inName = "";
    int64_t m_shownUpTo = 0;  // the position of the last figure shown
};
