// The archive operation: one call per run that packs, unpacks or lists an archive.
#pragma once

#include "archive/directory.h"
#include "codec/console_codec.h"
#include "platform/platform.h"

constexpr int MODE_CREATE = 0;
constexpr int MODE_EXTRACT = 1;
constexpr int MODE_LIST = 2;

class CArchiveTool {
  public:
    // Runs one mode on the archive; pattern is used by MODE_CREATE only.
    // Returns 0 or a result code (platform/result.h, or a negative zlib code).
    int Process(const char* pattern, const char* archive, int mode, int level);

  private:
    // Modes 1 and 2: reads the archive's directory, then unpacks or lists it.
    int Read(const char* archive, int mode, CConsoleCodec* codec);
    int Create(const char* pattern, const char* archive, int level, CConsoleCodec* codec);
    int Extract(const Directory& directory, const OpenedFile& archive, const char* archiveName,
                CConsoleCodec* codec);
    int List(const Directory& directory, const char* archive);
};
