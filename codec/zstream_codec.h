// The stream codec: deflates one file into one zlib stream appended to another,
// and inflates a counted run of back-to-back zlib streams into one file, through
// fixed buffers, reporting progress through a hook that may ask it to stop.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdio>

constexpr int CODEC_BUFSIZE = 4096;

class CZStreamCodec : public z_stream {
  public:
    CZStreamCodec();

    // Appends one zlib stream holding the whole of srcPath to dstPath.
    // Returns 0, RESULT_ABORT, RESULT_OPEN when a file cannot be opened, RESULT_FAIL
    // after a short write, or the negative zlib code that ended the stream.
    int CompressFile(const char* srcPath, const char* dstPath, int level);

    // Inflates g_nEntries streams, found back to back from g_lDataOffset of srcPath,
    // into dstPath (created or truncated), and leaves g_nEntries at 0. Each stream must
    // inflate to exactly its record's size. Returns 0, RESULT_ABORT, RESULT_OPEN,
    // RESULT_FAIL after a short write, RESULT_DAMAGED for a stream of the wrong length,
    // or the zlib code of the first stream that failed.
    int DecompressStreams(const char* srcPath, const char* dstPath);

  protected:
    ~CZStreamCodec() = default;

    virtual void OnProgress(int percent);
    virtual void OnStatus(const char* text);

    int FillInput();
    int FlushOutput();
    int Percent();

    int m_bAbort;
    FILE* m_pIn;
    FILE* m_pOut;
    int64_t m_nTotal;  // 64 bits: a compressed region can exceed 2 GiB
    int m_nResult;
    unsigned char m_inBuf[CODEC_BUFSIZE];
    unsigned char m_outBuf[CODEC_BUFSIZE];

  private:
    void BeginOperation();
    int OpenFiles(const char* srcPath, const char* dstPath, bool append);
    void CloseFiles();
    int FinishOperation(int result);
    int InflateOneStream(int32_t expectedSize);

    int m_nFailure;       // a write failure that no later library result may replace
    int64_t m_nOutLimit;  // output bytes allowed for the current stream
};
