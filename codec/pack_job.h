// One job of packing and what runs it: a piece of a file, its raw deflate data, and the
// check that the data inflates back to the piece, made by an engine behind one
// interface. The engine is chosen once per run from what the build has; each thread
// that runs jobs has an engine of its own.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/platform.h"

class DeflateEngine;

// Where a piece's deflate data ends, as zlib's inflate found it.
struct PieceEnd {
    bool final = false;        // it ends in a block marked last
    size_t lastHeaderBit = 0;  // that block's header, in bits from the data's start
    unsigned padding = 0;      // the zero bits that fill its last byte
};

// The job: filled by the thread that reads the files, run by a worker (or by that
// thread when no worker could start), written back by the reader in order.
struct PackJob {
    // The reader's: window bytes of the file before the piece (used only when primed),
    // then the piece itself.
    unsigned char* input = nullptr;
    size_t window = 0;
    size_t length = 0;
    bool primed = false;  // deflated with the window as its dictionary
    bool last = false;    // the file's last piece: its data ends the deflate stream
    int64_t start = 0;    // the piece's offset in its file
    int64_t fileSize = 0;
    const char* name = "";
    // The file's descriptor, held by its last piece and closed when the job is retired,
    // and its version as opened, to compare once its stream is written.
    Descriptor source;
    FileVersion version;

    // The worker's: raw deflate data that, put after the file's pieces before it,
    // goes on the one stream; and the Adler-32 of the piece alone.
    unsigned char* output = nullptr;
    size_t capacity = 0;
    size_t outputLength = 0;
    uLong check = 0;
    Result result;  // the file not named

    bool done = false;  // guarded by the ring's lock
    PageBuffer memory;  // input and output

    PackJob() = default;
    PackJob(const PackJob&) = delete;
    PackJob& operator=(const PackJob&) = delete;

    unsigned char* Data() const { return input + window; }

    // Deflates the piece with the engine (null: none could be made), checks the data
    // with zlib's inflate, and makes data that ends in a last block go on when the
    // piece is not the file's last.
    void Run(DeflateEngine* engine);

  private:
    void Join(const PieceEnd& end);
};

// zlib's raw inflate, one per thread: walks a job's data block by block into a small
// buffer of its own.
class PieceWalker {
  public:
    PieceWalker() = default;
    ~PieceWalker();
    PieceWalker(const PieceWalker&) = delete;
    PieceWalker& operator=(const PieceWalker&) = delete;

    // Returns false when zlib's state cannot be had.
    bool Init();

    // True when the job's data inflates to exactly its piece (length and Adler-32),
    // uses all its bytes, and ends as the piece must: in a last block for a file's
    // last piece, else in one or at a block boundary on a byte. Sets *end.
    bool Walk(const PackJob& job, PieceEnd* end);

  private:
    z_stream m_stream{};
    bool m_ready = false;
    std::unique_ptr<unsigned char[]> m_buffer;
};

// What a thread deflates with: one engine's own state, and the walker that checks it.
class DeflateEngine {
  public:
    virtual ~DeflateEngine() = default;

    // Deflates the job's piece into its output as raw deflate, primed with the window
    // when the job is, ending in a last block when the piece is the file's last.
    // Sets the output length. Returns OK, or the library's failure mapped to a result
    // (the file not named).
    virtual Result Deflate(PackJob* job) = 0;

    PieceWalker& Walker() { return m_walker; }

  private:
    PieceWalker m_walker;
};

// How a run deflates: the pieces files are cut into and the memory their jobs take,
// and the engines, one per thread. Chosen once per run.
class DeflateMethod {
  public:
    virtual ~DeflateMethod() = default;

    // The bytes of a piece: every piece of a file but its last has exactly this many.
    virtual size_t PieceSize() const = 0;
    // The bytes of the file before a piece that prime it (0: pieces stand alone).
    virtual size_t WindowSize() const = 0;
    // The output room a piece of PieceSize bytes needs, joining bytes included.
    virtual size_t OutputCapacity() const = 0;
    // The most jobs in flight with this many workers started (at least one).
    virtual size_t JobsInFlight(size_t workers) const = 0;
    // A thread's engine, its walker ready; null when the memory cannot be had.
    virtual std::unique_ptr<DeflateEngine> MakeEngine() const = 0;
};

// The method of the build, chosen by which source the build compiles: libdeflate's
// chunks where it has libdeflate, else zlib's primed blocks. Null when the memory cannot
// be had.
std::unique_ptr<DeflateMethod> BuiltMethod(int level);

// The two bytes that open a zlib stream, as zlib writes them at level.
unsigned ZlibHeader(int level);
