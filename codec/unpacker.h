// Unpacking: back-to-back zlib streams read from one descriptor, each inflated into the
// descriptor its caller gives and held to its recorded length. The figures mark the
// share of the compressed region inflated: one at every piece boundary of it and one
// at every stream's end, the same whichever engine inflates and whichever thread. Its
// caller owns every descriptor: the unpacker opens, creates and names nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "codec/chunked_inflate.h"
#include "codec/hand_off_ring.h"
#include "codec/inflate_engine.h"
#include "codec/piece_reader.h"
#include "codec/progress.h"
#include "codec/zlib_inflate.h"
#include "platform/result.h"

// Which engines inflate: the fastest the build has, on a thread of their own a stream or
// more ahead of the caller's (which writes the files), a large stream's chunks on two
// cores where it can, zlib judging every stream they do not end cleanly; the fastest
// on the caller's thread alone; or zlib alone, whose results the fast paths must match.
enum class InflateChoice { FASTEST, SEQUENTIAL, ZLIB_ONLY };

// What one engine call made of a stream, for the thread that writes it and shows it.
struct Delivery {
    size_t length = 0;          // bytes inflated
    int64_t figuresUpTo = 0;    // the archive's offset the figures may show up to
    bool streamEnded = false;   // the stream's trailer checked out there
    bool messageShown = false;  // the judge's call ran out of input: its code is shown
    int zlibCode = 0;
};

// What the thread that inflates ahead hands to the caller's, in order.
struct AheadEvent {
    enum Kind {
        OUTPUT,      // the block's bytes, as delivery says
        RESTART,     // the stream's bytes so far are dropped: it is inflated again
        VERDICT,     // the stream is over: verdict, and where the next one begins
        CALLERS_OWN  // a large stream, for the caller's thread and two cores: the input is
                     // the caller's until it gives this block back
    };
    Kind kind = OUTPUT;
    Delivery delivery;
    Result verdict;
    int64_t end = 0;
};

class Unpacker final : private ChunkFigures {
  public:
    // Figures go to progress, which may ask for a stop.
    Unpacker(ProgressSink& progress, InflateChoice choice);
    ~Unpacker();
    Unpacker(const Unpacker&) = delete;
    Unpacker& operator=(const Unpacker&) = delete;

    // Takes the run's memory and engines and starts reading streams from inFd at
    // offset; size is the compressed region's length, for the figures; sizes are the
    // streams' recorded lengths, in order; inName names the source in notes. Returns OK,
    // or MEMORY with a note.
    Result Begin(int inFd, int64_t offset, int64_t size, std::vector<int64_t> sizes,
                 const char* inName);

    // Inflates the next stream into outFd, which is empty and at its start, or discards
    // it when outFd is -1; it must inflate to exactly its recorded size. name names the
    // entry in notes. Returns OK, ABORT, FAIL when a write or a rewind falls short,
    // DAMAGED for a stream of another length (nothing is written past its size), or
    // zlib's failure, after a note for a read of the archive that failed.
    Result InflateStream(int outFd, const char* name);

    // The bytes after the streams inflated so far.
    int64_t UnreadBytes() const { return m_regionEnd - m_streamsEnd; }

    // Shows the closing figure of a run that completed.
    void ShowComplete();

  private:
    class Sink;       // where a stream's output goes as it is inflated
    class HereSink;   // into the entry file, the figures shown at once
    class AheadSink;  // onto the ring, for the caller's thread
    using Ring = HandOffRing<AheadEvent>;
    enum class Role { ATTEMPT, JUDGE };
    // One call of an engine, and what the next needs.
    struct Call {
        InflateStep step;
        bool noInput = false;     // the archive had no byte left for it
        bool wantsInput = false;  // it asked for more input
    };

    Result InflateHere(int outFd, int64_t size);
    Result TakeAhead(int outFd, int64_t size);
    void InflateAhead();
    bool HandOn(AheadEvent event);
    Result InflateThroughEngines(Sink& sink, int64_t size);
    std::optional<Result> Inflate(InflateEngine& engine, Role role, Sink& sink, int64_t size);
    Call InflateOnce(InflateEngine& engine, bool wantsInput, unsigned char* output);
    Result Deliver(int outFd, const unsigned char* data, const Delivery& delivery,
                   Progress* answer);
    Result Judge(const InflateStep& step, int64_t inflated, int64_t size);
    std::optional<Result> InflateSideBySide(int outFd, int64_t size);
    Progress ShowFigures(int64_t upTo, bool streamEnded);
    Progress ShowUpTo(int64_t at) override { return ShowFigures(at, false); }

    ProgressSink& m_progress;
    const InflateChoice m_choice;
    std::vector<std::unique_ptr<InflateEngine>> m_attempts;  // before zlib, in order
    ZlibInflate m_zlib;                                      // the judge
    PieceReader m_input;  // the thread inflating ahead's, but while the caller has a stream
    std::unique_ptr<unsigned char[]> m_output;
    ChunkedInflate m_chunked;
    std::vector<int64_t> m_sizes;
    size_t m_next = 0;  // the stream the caller takes next
    int m_inFd = -1;
    const char* m_inName = "";
    int64_t m_regionStart = 0;
    int64_t m_regionEnd = 0;
    int64_t m_streamsEnd = 0;  // where the streams the caller has taken end
    int64_t m_shownUpTo = 0;   // the position of the last figure shown
    Ring m_ring;
    std::thread m_ahead;  // joined before the rest goes
};
