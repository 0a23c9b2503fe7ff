// A packing job's run: deflate through the thread's engine, the check by zlib's
// inflate, and the join that lets a piece deflated on its own go on into the next.
#include "codec/pack_job.h"

#include "codec/zlib_codes.h"

namespace {

// Raw deflate: the packer writes the zlib header and trailer around the pieces.
constexpr int RAW_WINDOW_BITS = -15;
// What the walker inflates into at a time: the data is checked, never kept.
constexpr size_t WALK_BUFFER_SIZE = size_t{64} * 1024;
// inflate's data_type after a Z_BLOCK call: the unused bits of the last byte taken, a
// flag for the last block, and one for a stop at a block boundary.
constexpr int UNUSED_BITS = 7;
constexpr int IN_LAST_BLOCK = 64;
constexpr int AT_BOUNDARY = 128;
// An empty stored block after the last block: its three header bits fit in three or
// more padding bits, else (none included) they take a byte more; then the byte
// boundary and the lengths 0 and ~0, the marker where unpacking finds a chunk's end.
constexpr unsigned char STORED_IN_PADDING[] = {0x00, 0x00, 0xff, 0xff};
constexpr unsigned char STORED_PAST_PADDING[] = {0x00, 0x00, 0x00, 0xff, 0xff};
constexpr unsigned STORED_HEADER_BITS = 3;
// The reason for data that did not inflate back to its piece: nothing of it is written.
const char FAILED_ITS_CHECK[] =
    "packed stream does not inflate back to the file (zlib: stream error)";

}  // namespace

void PackJob::Run(DeflateEngine* engine) {
    if (engine == nullptr) {
        result = ZlibResult(Z_MEM_ERROR);
        return;
    }
    check = adler32_z(adler32(0, Z_NULL, 0), Data(), length);
    result = engine->Deflate(this);
    if (!result.ok()) {
        return;
    }
    PieceEnd end;
    if (!engine->Walker().Walk(*this, &end)) {
        result = Result(Result::STREAM, FileNote("", FAILED_ITS_CHECK));
        return;
    }
    if (!last && end.final) {
        Join(end);
    }
}

// The last block made an ordinary one, then an empty stored block, so that the next
// piece's first block follows on a byte boundary. The block goes in even where the data
// ends on a byte already: every chunk then ends in the marker, and unpacking can find
// every chunk's start.
void PackJob::Join(const PieceEnd& end) {
    output[end.lastHeaderBit / 8] &= static_cast<unsigned char>(~(1u << (end.lastHeaderBit % 8)));
    // The padding becomes the stored block's header: it must be zeros.
    if (end.padding > 0) {
        output[outputLength - 1] &= static_cast<unsigned char>(0xffu >> end.padding);
    }
    const bool fits = end.padding >= STORED_HEADER_BITS;
    const unsigned char* suffix = fits ? STORED_IN_PADDING : STORED_PAST_PADDING;
    const size_t bytes = fits ? sizeof STORED_IN_PADDING : sizeof STORED_PAST_PADDING;
    for (size_t k = 0; k < bytes; ++k) {
        output[outputLength++] = suffix[k];
    }
}

PieceWalker::~PieceWalker() {
    if (m_ready) {
        inflateEnd(&m_stream);
    }
}

bool PieceWalker::Init() {
    m_buffer.reset(new (std::nothrow) unsigned char[WALK_BUFFER_SIZE]);
    m_ready = m_buffer && inflateInit2(&m_stream, RAW_WINDOW_BITS) == Z_OK;
    return m_ready;
}

bool PieceWalker::Walk(const PackJob& job, PieceEnd* end) {
    if (inflateReset(&m_stream) != Z_OK ||
        (job.primed && job.window > 0 &&
         inflateSetDictionary(&m_stream, job.input, static_cast<uInt>(job.window)) != Z_OK)) {
        return false;
    }
    m_stream.next_in = job.output;
    m_stream.avail_in = static_cast<uInt>(job.outputLength);
    uLong check = adler32(0, Z_NULL, 0);
    size_t produced = 0;
    size_t boundary = 0;   // the last block boundary passed, in bits
    bool aligned = false;  // the walk stopped last at a boundary on a byte
    int status = Z_OK;
    *end = PieceEnd{};
    while (status == Z_OK && produced <= job.length) {
        m_stream.next_out = m_buffer.get();
        m_stream.avail_out = static_cast<uInt>(WALK_BUFFER_SIZE);
        status = inflate(&m_stream, Z_BLOCK);
        const size_t got = WALK_BUFFER_SIZE - m_stream.avail_out;
        check = adler32_z(check, m_buffer.get(), got);
        produced += got;
        const bool atBoundary = (m_stream.data_type & AT_BOUNDARY) != 0;
        const size_t bit = m_stream.total_in * 8 - (m_stream.data_type & UNUSED_BITS);
        if (status != Z_OK) {
            break;  // the end, or no progress: what the call before found stands
        }
        aligned = atBoundary && bit == job.outputLength * 8;
        if (atBoundary && (m_stream.data_type & IN_LAST_BLOCK) != 0) {
            // The block that just ended was the last: its header is at the boundary before.
            end->final = true;
            end->lastHeaderBit = boundary;
            end->padding = static_cast<unsigned>(job.outputLength * 8 - bit);
        } else if (atBoundary) {
            boundary = bit;
        }
    }
    const bool whole = produced == job.length && check == job.check && m_stream.avail_in == 0;
    const bool ended =
        status == Z_STREAM_END ? end->final : status == Z_BUF_ERROR && !job.last && aligned;
    return whole && ended;
}

// Deflate with a 32 KiB window, the level's class, and check bits that make the two
// bytes a multiple of 31.
unsigned ZlibHeader(int level) {
    constexpr unsigned DEFLATE_32K = 0x78;
    level = level == Z_DEFAULT_COMPRESSION ? 6 : level;
    const unsigned levelClass = level < 2 ? 0 : level < 6 ? 1 : level == 6 ? 2 : 3;
    const unsigned header = (DEFLATE_32K << 8) | (levelClass << 6);
    return header + 31 - header % 31;
}
