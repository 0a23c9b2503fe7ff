// Unpacking: back-to-back zlib streams read from one descriptor, each inflated into the
// descriptor its caller gives and held to its recorded length. The figures mark the
// share of the compressed region inflated: one at every 64 KiB of it and one at every
// stream's end, the same whichever engine inflates. Its caller owns every descriptor:
// the unpacker opens, creates and names nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "codec/inflate_engine.h"
#include "codec/progress.h"
#include "codec/zlib_inflate.h"
#include "platform/result.h"
#ifdef TOVRA_WITH_ISAL
#include "codec/isal_inflate.h"
#endif

// Which engines inflate: the fastest the build has, zlib judging every stream it does
// not end cleanly, or zlib alone, whose results the fast path must match.
enum class InflateChoice { FASTEST, ZLIB_ONLY };

class Unpacker {
  public:
    // Figures go to progress, which may ask for a stop.
    Unpacker(ProgressSink& progress, InflateChoice choice);
    Unpacker(const Unpacker&) = delete;
    Unpacker& operator=(const Unpacker&) = delete;

    // Takes the run's memory and starts reading streams from inFd at offset; size is
    // the compressed region's length, for the figures; inName names the source in
    // notes. Returns OK, or MEMORY with a note.
    Result Begin(int inFd, int64_t offset, int64_t size, const char* inName);

    // Inflates the next stream into outFd, which is empty and at its start, or discards
    // it when outFd is -1; it must inflate to exactly size bytes. name names the entry
    // in notes. Returns OK, ABORT, FAIL when a write or a rewind falls short, DAMAGED
    // for a stream of another length (nothing is written past size), or zlib's failure.
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
    bool FillInput();
    void RestartInputAt(int64_t offset);
    int64_t InputOffset() const;
    Progress ShowFigures(int64_t upTo, bool streamEnded);

    ProgressSink& m_progress;
    const InflateChoice m_choice;
    ZlibInflate m_zlib;
#ifdef TOVRA_WITH_ISAL
    IsalInflate m_isal;
#endif
    // The bytes an engine left unconsumed go before each new piece: room for them.
    std::unique_ptr<unsigned char[]> m_buffer;
    std::unique_ptr<unsigned char[]> m_output;
    // The input read but not yet inflated: the rest of one stream is the start of the
    // next.
    const unsigned char* m_next = nullptr;
    size_t m_waiting = 0;
    int m_inFd = -1;
    const char* m_inName = "";
    bool m_readFailed = false;  // noted once: a stream inflated again reads it again
    int64_t m_regionStart = 0;  // where the compressed region begins in m_inFd
    int64_t m_regionEnd = 0;
    int64_t m_readOffset = 0;  // of the next piece to read from m_inFd
    int64_t m_shownUpTo = 0;   // the position of the last figure shown
};
