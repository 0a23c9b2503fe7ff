// The zlib streaming loops: files deflated into streams on one descriptor, and
// back-to-back streams inflated from one descriptor into descriptors of the caller's.
#include "codec/zstream_codec.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "codec/zlib_codes.h"
#include "platform/platform.h"

namespace {

// The pieces progress is counted in while packing: one figure per piece of a file.
constexpr size_t CODEC_BUFSIZE = 4096;
// Blocks in flight per worker: one being compressed, one waiting, so that no worker
// waits for the reader.
constexpr int BLOCKS_PER_WORKER = 2;

// The two bytes that open a zlib stream, as deflate itself writes them: deflate with a
// 32 KiB window, the level's class, and check bits that make them a multiple of 31.
unsigned ZlibHeader(int level) {
    constexpr unsigned DEFLATE_32K = 0x78;
    level = level == Z_DEFAULT_COMPRESSION ? 6 : level;
    const unsigned levelClass = level < 2 ? 0 : level < 6 ? 1 : level == 6 ? 2 : 3;
    const unsigned header = (DEFLATE_32K << 8) | (levelClass << 6);
    return header + 31 - header % 31;
}

}  // namespace

// cppcheck-suppress uninitMemberVar ; the buffers are filled before every use
CZStreamCodec::CZStreamCodec(ProgressSink& progress) : z_stream(), m_progress(progress) {
    zalloc = Z_NULL;
    zfree = Z_NULL;
    opaque = Z_NULL;
}

CZStreamCodec::~CZStreamCodec() {
    if (m_inflating) {
        inflateEnd(this);
    }
}

void CZStreamCodec::ShowComplete() {
    // Every stream is whole by now: a stop asked for at this figure changes nothing.
    (void)m_progress.OnProgress(FIGURE_COMPLETE);
}

Result CZStreamCodec::BeginPack(int outFd, const char* outName, int level, int workers) {
    m_outFd = outFd;
    m_outName = outName;
    m_level = level;
    m_staged = 0;
    m_previous = nullptr;
    // Touched once, here: the run's memory is then the same whatever the files.
    memset(m_outBuf, 0, sizeof m_outBuf);
    const int started = m_deflater.Start(workers, BLOCKS_PER_WORKER, level);
    if (started != Z_OK) {
        NoteFile(outName, StreamFailure(started).c_str());
    }
    return FromZlib(started);
}

// Reads the block of the file that starts at start into block, primed with the end
// of the block before. Returns OK, or LIMIT or OPEN with a note.
Result CZStreamCodec::FillBlock(DeflateBlock* block, int inFd, int64_t size, int64_t start,
                                const char* name) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(size - start, DEFLATE_BLOCK_SIZE));
    int64_t got = ReadFullAt(inFd, block->Data(), want, start);
    // One byte past the size shows a file that grew.
    unsigned char beyond = 0;
    int64_t more = got == static_cast<int64_t>(want) && start + got == size
                       ? ReadFullAt(inFd, &beyond, 1, size)
                       : 0;
    if (got < 0 || more < 0) {
        NoteFileError(name, errno);
        return Result::OPEN;
    }
    if (got != static_cast<int64_t>(want) || more != 0) {
        NoteFile(name, "file changed while being packed");
        return Result::LIMIT;
    }
    block->primed = start > 0;
    if (block->primed) {
        memcpy(block->input, m_previous->Data() + m_previous->length - DEFLATE_WINDOW_SIZE,
               DEFLATE_WINDOW_SIZE);
    }
    block->length = want;
    block->last = start + got == size;
    block->start = start;
    block->fileSize = size;
    block->name = name;
    m_previous = block;
    return Result::OK;
}

// Finds a free block, writing the oldest ones out until one is.
Result CZStreamCodec::ClaimBlock(DeflateBlock** block) {
    while ((*block = m_deflater.FreeBlock()) == nullptr) {
        DeflateBlock* oldest = m_deflater.Oldest(true);
        Result result = WriteBlock(*oldest);
        m_deflater.Retire();
        if (result != Result::OK) {
            return result;
        }
    }
    return Result::OK;
}

// Writes the blocks done, in order; with wait set, every block in flight.
Result CZStreamCodec::WriteDone(bool wait) {
    while (const DeflateBlock* block = m_deflater.Oldest(wait)) {
        Result result = WriteBlock(*block);
        m_deflater.Retire();
        if (result != Result::OK) {
            return result;
        }
    }
    return Result::OK;
}

// Writes one block's deflate data, framed as a zlib stream at the file's first and
// last blocks, and shows its figures.
Result CZStreamCodec::WriteBlock(const DeflateBlock& block) {
    if (block.result != Z_OK) {
        NoteFile(block.name, StreamFailure(block.result).c_str());
        return FromZlib(block.result);
    }
    Result result = Result::OK;
    if (!block.primed) {
        const unsigned header = ZlibHeader(m_level);
        const unsigned char bytes[] = {static_cast<unsigned char>(header >> 8),
                                       static_cast<unsigned char>(header)};
        result = Put(bytes, sizeof bytes);
        m_check = adler32(0, Z_NULL, 0);
    }
    m_check = adler32_combine(m_check, block.check, static_cast<z_off_t>(block.length));
    if (result == Result::OK) {
        result = Put(block.output, block.outputLength);
    }
    if (result == Result::OK && block.last) {
        const unsigned char trailer[] = {
            static_cast<unsigned char>(m_check >> 24), static_cast<unsigned char>(m_check >> 16),
            static_cast<unsigned char>(m_check >> 8), static_cast<unsigned char>(m_check)};
        result = Put(trailer, sizeof trailer);
    }
    return result == Result::OK ? ShowFigures(block) : result;
}

// One figure per piece of the file the block ends, then the file's closing one; a
// stop asked for at a figure is answered with one closing figure more.
Result CZStreamCodec::ShowFigures(const DeflateBlock& block) {
    const int64_t end = block.start + static_cast<int64_t>(block.length);
    int64_t shown = block.start;
    bool stopped = false;
    while (shown < end && !stopped) {
        shown = std::min<int64_t>(shown + static_cast<int64_t>(CODEC_BUFSIZE), end);
        stopped = m_progress.OnProgress(Percent(shown, block.fileSize)) == Progress::STOP;
    }
    if (block.last || stopped) {
        const Progress closing = m_progress.OnProgress(Percent(shown, block.fileSize));
        stopped = stopped || closing == Progress::STOP;
    }
    return stopped ? Result::ABORT : Result::OK;
}

Result CZStreamCodec::Put(const unsigned char* data, size_t size) {
    if (m_staged + size > CODEC_OUTPUT_SIZE && Flush() != Result::OK) {
        return Result::FAIL;
    }
    if (size >= CODEC_OUTPUT_SIZE) {
        int failure = WriteAll(m_outFd, data, size);
        if (failure != 0) {
            NoteFileError(m_outName, failure);
            return Result::FAIL;
        }
        return Result::OK;
    }
    memcpy(m_outBuf + m_staged, data, size);
    m_staged += size;
    return Result::OK;
}

Result CZStreamCodec::Flush() {
    int failure = WriteAll(m_outFd, m_outBuf, m_staged);
    m_staged = 0;
    if (failure != 0) {
        NoteFileError(m_outName, failure);
        return Result::FAIL;
    }
    return Result::OK;
}

Result CZStreamCodec::PackFile(int inFd, int64_t size, const char* name) {
    int64_t start = 0;
    do {
        DeflateBlock* block = nullptr;
        Result result = ClaimBlock(&block);
        if (result == Result::OK) {
            result = FillBlock(block, inFd, size, start, name);
        }
        if (result != Result::OK) {
            return result;
        }
        m_deflater.Submit();
        start += static_cast<int64_t>(block->length);
        // Keeps the output and the figures flowing while the reader runs ahead.
        result = WriteDone(false);
        if (result != Result::OK) {
            return result;
        }
    } while (start < size);
    return Result::OK;
}

Result CZStreamCodec::EndPack() {
    Result result = WriteDone(true);
    if (result == Result::OK) {
        result = Flush();
    }
    m_deflater.Stop();
    return result;
}

void CZStreamCodec::CancelPack() {
    m_deflater.Stop();
}

void CZStreamCodec::BeginUnpack(int inFd, int64_t offset, int64_t size, const char* inName) {
    m_inFd = inFd;
    m_inName = inName;
    m_readOffset = offset;
    m_inputEnd = offset + size;
    m_nTotal = size;
    m_consumed = 0;
    avail_in = 0;
    // Touched once, here: the run's memory is then the same whatever the archive.
    memset(m_inBuf, 0, sizeof m_inBuf);
    memset(m_outBuf, 0, sizeof m_outBuf);
}

// Refills the input buffer once it is empty, so that the unread rest of one stream's
// input is the start of the next. Returns the bytes waiting; 0 at the end of input.
int CZStreamCodec::FillInput() {
    if (avail_in == 0) {
        next_in = m_inBuf;
        int64_t got = ReadFullAt(m_inFd, m_inBuf, CODEC_INPUT_SIZE, m_readOffset);
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

Result CZStreamCodec::InflateStream(int outFd, int64_t size, const char* name) {
    int result = m_inflating ? inflateReset(this) : inflateInit(this);
    m_inflating = m_inflating || result == Z_OK;
    if (result != Z_OK) {
        NoteFile(name, StreamFailure(result).c_str());
        return FromZlib(result);
    }
    bool tooLong = false;
    Progress answer = Progress::CONTINUE;
    do {
        bool atEnd = FillInput() == 0;
        next_out = m_outBuf;
        avail_out = CODEC_OUTPUT_SIZE;
        result = inflate(this, Z_NO_FLUSH);
        size_t produced = CODEC_OUTPUT_SIZE - avail_out;
        // A stream may never inflate past its record: a tiny archive must not fill the disk.
        if (static_cast<int64_t>(total_out) > size) {
            tooLong = true;
            break;
        }
        int failure = outFd >= 0 ? WriteAll(outFd, m_outBuf, produced) : 0;
        if (failure != 0) {
            NoteFileError(name, failure);
            m_consumed += static_cast<int64_t>(total_in);
            return Result::FAIL;
        }
        if (atEnd && produced > 0 && result != Z_OK) {
            m_progress.OnStreamMessage(result);
        }
        answer =
            m_progress.OnProgress(Percent(m_consumed + static_cast<int64_t>(total_in), m_nTotal));
    } while (result == Z_OK && answer == Progress::CONTINUE);
    m_consumed += static_cast<int64_t>(total_in);
    if (answer == Progress::STOP) {
        return Result::ABORT;
    }
    if (result == Z_STREAM_END && static_cast<int64_t>(total_out) == size) {
        return Result::OK;
    }
    if (result == Z_STREAM_END || tooLong) {
        NoteFile(name, "damaged archive: the entry's stream has the wrong length");
        return Result::DAMAGED;
    }
    NoteFile(name, StreamFailure(result).c_str());
    return FromZlib(result);
}

int64_t CZStreamCodec::UnreadBytes() const {
    return static_cast<int64_t>(avail_in) + (m_inputEnd - m_readOffset);
}
