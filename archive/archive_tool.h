// The archive operation: one call per run that packs, unpacks or lists an archive.
#pragma once

#include <string>
#include <vector>

#include "codec/console_codec.h"

constexpr int MODE_CREATE = 0;
constexpr int MODE_EXTRACT = 1;
constexpr int MODE_LIST = 2;

constexpr int COPY_CHUNK_SIZE = 10000;
extern unsigned char g_copyBuffer[COPY_CHUNK_SIZE];

class CArchiveTool {
  public:
    // Runs one mode on the archive; pattern is used by MODE_CREATE only.
    // Returns 0 or a result code (platform/result.h, or a negative zlib code).
    int Process(const char* pattern, const char* archive, int mode, int level);

    // Cuts the inflated contents into the entry files of the table, by their sizes,
    // and sets their last-write times; the temporary file is gone afterwards.
    // Returns 0 when every entry was extracted whole, otherwise the first failure:
    // RESULT_DAMAGED (unsafe name), RESULT_OPEN (entry not creatable), RESULT_FAIL
    // (short read or write), RESULT_ABORT (termination signal).
    int SplitToFiles(const char* tempPath);

  private:
    int Create(const char* pattern, const char* archive, int level, CConsoleCodec* codec);
    int Extract(const char* archive, CConsoleCodec* codec);
    void List(const char* archive);
};
