// The archive operation: one call per run that packs, unpacks or lists an archive.
#pragma once

#include "codec/progress.h"
#include "platform/platform.h"

constexpr int MODE_CREATE = 0;
constexpr int MODE_EXTRACT = 1;
constexpr int MODE_LIST = 2;

class CArchiveTool {
  public:
    // Runs one mode on the archive; pattern is used by MODE_CREATE only.
    // Returns OK or the failure that ended the run.
    Result Process(const char* pattern, const char* archive, int mode, int level);

  private:
    // Modes 1 and 2: reads the archive's directory, then unpacks or lists it.
    Result Read(const char* archive, int mode, ProgressSink* progress);
    Result Create(const char* pattern, const char* archive, int level, ProgressSink* progress);
    Result Extract(const OpenedFile& archive, const char* archiveName, ProgressSink* progress);
    Result List(const char* archive);
};
