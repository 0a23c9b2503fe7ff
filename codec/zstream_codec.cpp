// The zlib streaming loops: files deflated into streams on one descriptor, and
// back-to-back streams inflated from one descriptor into descriptors of the caller's.
#include "codec/zstream_codec.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

constexpr int64_t PERCENT_EXACT_LIMIT = 10000000;
constexpr int FIGURE_COMPLETE = 100;

// The user's words for a stream that zlib gave up on, with zlib's own.
std::string StreamFailure(int code) {
    const char* what = code == Z_BUF_ERROR    ? "stream cut short"
                       : code == Z_MEM_ERROR  ? "out of memory"
                       : code == Z_DATA_ERROR ? "damaged stream"
                                              : "stream failed";
    return std::string(what) + " (zlib: " + zError(code) + ")";
}

}  // namespace

int Percent(int64_t done, int64_t total) {
    if (total == 0) {
        return FIGURE_COMPLETE;
    }
    if (total <= PERCENT_EXACT_LIMIT) {
        return static_cast<int>(static_cast<uint32_t>(done) * 100u / static_cast<uint32_t>(total));
    }
    return static_cast<int>(done / (total / 100));
}

// cppcheck-suppress uninitMemberVar ; the buffers are filled before every use
CZStreamCodec::CZStreamCodec() : z_stream() {
    zalloc = Z_NULL;
    zfree = Z_NULL;
    opaque = Z_NULL;
}

CZStreamCodec::~CZStreamCodec() {
    if (m_inflating) {
        inflateEnd(this);
    }
}

void CZStreamCodec::OnProgress(int) {}

void CZStreamCodec::ShowComplete() {
    OnProgress(FIGURE_COMPLETE);
}

void CZStreamCodec::BeginPack(int outFd, const char* outName, int level) {
    m_outFd = outFd;
    m_outName = outName;
    m_level = level;
    m_bAbort = 0;
}

int CZStreamCodec::FlushPackOutput() {
    size_t produced = CODEC_BUFSIZE - avail_out;
    int failure = WriteAll(m_outFd, m_outBuf, produced);
    if (failure != 0) {
        NoteFileError(m_outName, failure);
        return RESULT_FAIL;
    }
    next_out = m_outBuf;
    avail_out = CODEC_BUFSIZE;
    return RESULT_OK;
}

// Reads the next piece of a file that must hold size bytes, done of them read so far.
// Returns the bytes read (0 at its end), or a negative result with a note.
int64_t CZStreamCodec::ReadPiece(int inFd, int64_t size, int64_t done, const char* name) {
    // One byte past the size shows a file that grew.
    size_t want = static_cast<size_t>(std::min<int64_t>(size + 1 - done, CODEC_BUFSIZE));
    int64_t got = ReadFull(inFd, m_inBuf, want);
    if (got < 0) {
        NoteFileError(name, errno);
        return RESULT_OPEN;
    }
    if (done + got > size || (got == 0 && done != size)) {
        NoteFile(name, "file changed while being packed");
        return RESULT_LIMIT;
    }
    return got;
}

int CZStreamCodec::PackFile(int inFd, int64_t size, const char* name) {
    int result = deflateInit(this, m_level);
    if (result != Z_OK) {
        NoteFile(name, StreamFailure(result).c_str());
        return result;
    }
    next_out = m_outBuf;
    avail_out = CODEC_BUFSIZE;
    int64_t done = 0;
    int flush = Z_NO_FLUSH;
    while (result == Z_OK && !m_bAbort) {
        if (avail_in == 0 && flush == Z_NO_FLUSH) {
            int64_t got = ReadPiece(inFd, size, done, name);
            if (got < 0) {
                result = static_cast<int>(got);
                break;
            }
            done += got;
            next_in = m_inBuf;
            avail_in = static_cast<uInt>(got);
            flush = got == 0 ? Z_FINISH : Z_NO_FLUSH;
        }
        result = deflate(this, flush);
        if ((avail_out == 0 || result == Z_STREAM_END) && FlushPackOutput() != RESULT_OK) {
            result = RESULT_FAIL;
        } else if (result == Z_OK && avail_in == 0 && flush == Z_NO_FLUSH) {
            OnProgress(Percent(done, size));
        }
    }
    OnProgress(Percent(done, size));
    deflateEnd(this);
    if (m_bAbort) {
        return RESULT_ABORT;
    }
    return result == Z_STREAM_END ? RESULT_OK : result;
}

void CZStreamCodec::BeginUnpack(int inFd, int64_t offset, int64_t size, const char* inName) {
    m_inFd = inFd;
    m_inName = inName;
    m_readOffset = offset;
    m_inputEnd = offset + size;
    m_nTotal = size;
    m_consumed = 0;
    m_bAbort = 0;
    avail_in = 0;
}

// Refills the input buffer once it is empty, so that the unread rest of one stream's
// input is the start of the next. Returns the bytes waiting; 0 at the end of input.
int CZStreamCodec::FillInput() {
    if (avail_in == 0) {
        next_in = m_inBuf;
        int64_t got = ReadFullAt(m_inFd, m_inBuf, INFLATE_INPUT_SIZE, m_readOffset);
        if (got < 0) {
            // Ends the input like the end of the file; the note says why.
            NoteFileError(m_inName, errno);
            got = 0;
        }
        m_readOffset += got;
        avail_in = static_cast<uInt>(got);
    }
    return static_cast<int>(avail_in);
}

int CZStreamCodec::InflateStream(int outFd, int64_t size, const char* name) {
    int result = m_inflating ? inflateReset(this) : inflateInit(this);
    m_inflating = m_inflating || result == Z_OK;
    if (result != Z_OK) {
        NoteFile(name, StreamFailure(result).c_str());
        return result;
    }
    do {
        if (m_bAbort) {
            break;
        }
        bool atEnd = FillInput() == 0;
        next_out = m_outBuf;
        avail_out = INFLATE_OUTPUT_SIZE;
        result = inflate(this, Z_NO_FLUSH);
        size_t produced = INFLATE_OUTPUT_SIZE - avail_out;
        // A stream may never inflate past its record: a tiny archive must not fill the disk.
        if (static_cast<int64_t>(total_out) > size) {
            result = RESULT_DAMAGED;
            break;
        }
        int failure = outFd >= 0 ? WriteAll(outFd, m_outBuf, produced) : 0;
        if (failure != 0) {
            NoteFileError(name, failure);
            m_consumed += static_cast<int64_t>(total_in);
            return RESULT_FAIL;
        }
        if (atEnd && produced > 0 && result != Z_OK) {
            printf("\nVirhe: %d\n", result);
        }
        OnProgress(Percent(m_consumed + static_cast<int64_t>(total_in), m_nTotal));
    } while (result == Z_OK);
    m_consumed += static_cast<int64_t>(total_in);
    if (m_bAbort) {
        return RESULT_ABORT;
    }
    if (result == Z_STREAM_END && static_cast<int64_t>(total_out) == size) {
        return RESULT_OK;
    }
    if (result == Z_STREAM_END || result == RESULT_DAMAGED) {
        NoteFile(name, "damaged archive: the entry's stream has the wrong length");
        return RESULT_DAMAGED;
    }
    // No archive stream asks for a preset dictionary.
    result = result == Z_NEED_DICT ? Z_DATA_ERROR : result;
    NoteFile(name, StreamFailure(result).c_str());
    return result;
}

int64_t CZStreamCodec::UnreadBytes() const {
    return static_cast<int64_t>(avail_in) + (m_inputEnd - m_readOffset);
}
