// The zlib streaming loops: one file in, one stream out; or counted streams in, one file out.
#include "codec/zstream_codec.h"

#include <cerrno>

#include "archive/archive_entry.h"
#include "platform/platform.h"

namespace {

constexpr int64_t PERCENT_EXACT_LIMIT = 10000000;
constexpr int64_t NO_OUTPUT_LIMIT = INT64_MAX;

const char STATUS_ABORT[] = "User Abort";
const char STATUS_ERROR[] = "Zlib Error";
const char STATUS_SUCCESS[] = "Success";

// The files' own stdio buffers, larger than the codec's 4096-byte pieces: the kernel
// then reads and writes in large runs (and large page-cache folios) instead of a
// system call per piece. Static, as one operation at a time uses them.
constexpr size_t FILE_BUFFER_SIZE = size_t{64} * 1024;
char g_inFileBuffer[FILE_BUFFER_SIZE];
char g_outFileBuffer[FILE_BUFFER_SIZE];

}  // namespace

// The rest of the state is set by each operation at its start, before any use.
// cppcheck-suppress uninitMemberVar
CZStreamCodec::CZStreamCodec() : z_stream(), m_pIn(nullptr), m_pOut(nullptr) {
    zalloc = Z_NULL;
    zfree = Z_NULL;
    opaque = Z_NULL;
}

void CZStreamCodec::OnProgress(int) {}

void CZStreamCodec::OnStatus(const char*) {}

// Refills the input buffer only once it is empty, so that the unread rest of one
// stream's input is the start of the next. A read error ends input like end of file.
int CZStreamCodec::FillInput() {
    if (avail_in == 0) {
        next_in = m_inBuf;
        avail_in = static_cast<uInt>(fread(m_inBuf, 1, CODEC_BUFSIZE, m_pIn));
    }
    return static_cast<int>(avail_in);
}

// Writes what the library produced. Returns the bytes written, or 0 when there was
// nothing to write or the write failed (m_nResult and m_nFailure then say why).
int CZStreamCodec::FlushOutput() {
    int n = CODEC_BUFSIZE - static_cast<int>(avail_out);
    if (n == 0 || m_nFailure != 0) {
        return 0;
    }
    // A stream may never inflate past its record: a tiny archive must not fill the disk.
    if (static_cast<int64_t>(total_out) > m_nOutLimit) {
        m_nResult = m_nFailure = RESULT_DAMAGED;
        return 0;
    }
    if (fwrite(m_outBuf, 1, static_cast<size_t>(n), m_pOut) != static_cast<size_t>(n)) {
        m_nResult = m_nFailure = RESULT_FAIL;
        return 0;
    }
    next_out = m_outBuf;
    avail_out = CODEC_BUFSIZE;
    return n;
}

int CZStreamCodec::Percent() {
    if (m_nTotal == 0) {
        return 100;
    }
    if (m_nTotal <= PERCENT_EXACT_LIMIT) {
        // Unsigned 32-bit, as the figures have always been computed.
        return static_cast<int>(static_cast<uint32_t>(total_in) * 100u /
                                static_cast<uint32_t>(m_nTotal));
    }
    return static_cast<int>(static_cast<int64_t>(total_in) / (m_nTotal / 100));
}

void CZStreamCodec::BeginOperation() {
    m_nResult = 0;
    m_nFailure = 0;
    avail_in = 0;
    next_out = m_outBuf;
    avail_out = CODEC_BUFSIZE;
    m_bAbort = 0;
    m_nOutLimit = NO_OUTPUT_LIMIT;
}

// The source is opened first, so a missing source never creates the destination.
int CZStreamCodec::OpenFiles(const char* srcPath, const char* dstPath, bool append) {
    bool irregular = false;
    m_pIn = OpenRegularFile(srcPath, &irregular);
    if (m_pIn == nullptr) {
        if (irregular) {
            NoteFile(srcPath, "not a regular file");
        } else {
            NoteFileError(srcPath, errno);
        }
        return RESULT_OPEN;
    }
    // The extraction's temporary file arrives empty: truncating it again would make
    // ext4 write all of it to disk on close, only for it to be deleted.
    m_pOut = append ? fopen(dstPath, "ab") : OpenEmptiedFile(dstPath);
    if (m_pOut == nullptr) {
        NoteFileError(dstPath, errno);
        CloseFiles();
        return RESULT_OPEN;
    }
    setvbuf(m_pIn, g_inFileBuffer, _IOFBF, FILE_BUFFER_SIZE);
    setvbuf(m_pOut, g_outFileBuffer, _IOFBF, FILE_BUFFER_SIZE);
    return RESULT_OK;
}

void CZStreamCodec::CloseFiles() {
    if (m_pIn != nullptr) {
        fclose(m_pIn);  // NOLINT(cert-err33-c): read only, nothing to lose
        m_pIn = nullptr;
    }
    if (m_pOut != nullptr) {
        // A full disk often shows only when the last buffered bytes go out.
        if (fclose(m_pOut) != 0 && m_nFailure == 0) {
            m_nFailure = RESULT_FAIL;
        }
        m_pOut = nullptr;
    }
}

// Reports the outcome, closes both files and gives the operation's result.
int CZStreamCodec::FinishOperation(int result) {
    CloseFiles();
    // A failure met on closing counts only when nothing failed before it: the result
    // stays that of the first failure.
    if (result == RESULT_OK && m_nFailure != 0 && !m_bAbort) {
        result = m_nFailure;
    }
    if (m_bAbort) {
        OnStatus(STATUS_ABORT);
        return RESULT_ABORT;
    }
    OnStatus(result == RESULT_OK ? STATUS_SUCCESS : STATUS_ERROR);
    return result;
}

int CZStreamCodec::CompressFile(const char* srcPath, const char* dstPath, int level) {
    BeginOperation();
    int opened = OpenFiles(srcPath, dstPath, true);
    if (opened != RESULT_OK) {
        return opened;
    }
    m_nTotal = FileLength(m_pIn);
    int init = deflateInit(this, level);
    if (init != Z_OK) {
        CloseFiles();
        return init;
    }
    while (!m_bAbort && FillInput() != 0) {
        m_nResult = deflate(this, Z_NO_FLUSH);
        FlushOutput();
        if (m_nResult != Z_OK) {
            break;
        }
        OnProgress(Percent());
    }
    while (!m_bAbort && m_nFailure == 0) {
        m_nResult = deflate(this, Z_FINISH);
        if (FlushOutput() == 0 || m_nResult != Z_OK) {
            break;
        }
    }
    OnProgress(Percent());
    deflateEnd(this);
    int result = (m_nResult == Z_OK || m_nResult == Z_STREAM_END) ? RESULT_OK : m_nResult;
    return FinishOperation(result);
}

// Inflates the next stream, whose input may already wait in the buffer.
// Returns 0, or the stream's failure code.
int CZStreamCodec::InflateOneStream(int32_t expectedSize) {
    int init = inflateInit(this);
    if (init != Z_OK) {
        return init;
    }
    m_nOutLimit = expectedSize;
    while (!m_bAbort && m_nFailure == 0 && FillInput() != 0) {
        m_nResult = inflate(this, Z_NO_FLUSH);
        FlushOutput();
        if (m_nResult != Z_OK) {
            break;
        }
        OnProgress(Percent());
    }
    while (!m_bAbort && m_nFailure == 0) {
        // Z_NO_FLUSH here too: Z_FINISH would turn a call still making progress into -5.
        m_nResult = inflate(this, Z_NO_FLUSH);
        if (FlushOutput() == 0) {
            break;
        }
        if (m_nResult != Z_OK) {
            printf("\nVirhe: %d\n", m_nResult);
            break;
        }
    }
    OnProgress(Percent());
    // The last bytes of the stream may still sit in the buffer; they count too.
    bool tooLong = static_cast<int64_t>(total_out) > m_nOutLimit;
    bool tooShort = static_cast<int64_t>(total_out) < m_nOutLimit;
    inflateEnd(this);
    if (m_nFailure != 0) {
        return m_nFailure;
    }
    if (m_nResult == Z_STREAM_END) {
        return (tooLong || tooShort) ? RESULT_DAMAGED : RESULT_OK;
    }
    if (m_nResult == Z_OK || m_nResult == Z_NEED_DICT) {
        return m_nResult == Z_OK ? Z_BUF_ERROR : Z_DATA_ERROR;
    }
    return m_nResult;
}

int CZStreamCodec::DecompressStreams(const char* srcPath, const char* dstPath) {
    BeginOperation();
    int streams = g_nEntries;
    g_nEntries = 0;
    int opened = OpenFiles(srcPath, dstPath, false);
    if (opened != RESULT_OK) {
        return opened;
    }
    if (fseeko(m_pIn, g_lDataOffset, SEEK_SET) != 0) {
        NoteFileError(srcPath, errno);
        CloseFiles();
        return RESULT_FAIL;
    }
    m_nTotal = FileLength(m_pIn) - g_lDataOffset;
    int firstFailure = RESULT_OK;
    for (int stream = 0; stream < streams; ++stream) {
        int result = InflateOneStream(g_entries[stream].m_size);
        if (result != RESULT_OK && firstFailure == RESULT_OK) {
            firstFailure = result;
            if (result == RESULT_DAMAGED) {
                NoteFile(EntryName(g_entries[stream]).c_str(),
                         "damaged archive: the entry's stream has the wrong length");
            }
        }
    }
    return FinishOperation(firstFailure);
}
