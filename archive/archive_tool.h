// The archive operation: one call per run that packs, unpacks or lists an archive.
#pragma once

#include "archive/directory.h"
#include "codec/unpacker.h"
#include "platform/platform.h"

constexpr int MODE_CREATE = 0;
constexpr int MODE_EXTRACT = 1;
constexpr int MODE_LIST = 2;

// How packing runs, as the command line's side decides it; no other mode uses it.
struct PackOptions {
    int level = 0;    // deflate's level
    int workers = 0;  // the threads that deflate
};

class CArchiveTool {
  public:
    // start is what the process found at its start; report, which must outlive the
    // tool, hears the run's warnings.
    CArchiveTool(const ProcessStart& start, Report* report) : m_start(start), m_report(report) {}

    // Runs one mode on the archive; pattern and pack are used by MODE_CREATE only,
    // inflate by MODE_EXTRACT only. Returns OK or the failure that ended the run, with
    // its notes.
    Result Process(const char* pattern, const char* archive, int mode, const PackOptions& pack,
                   InflateChoice inflate = InflateChoice::FASTEST);

  private:
    // Modes 1 and 2: reads the archive's directory, then unpacks or lists it.
    Result Read(const char* archive, int mode, InflateChoice inflate);
    Result Create(const char* pattern, const char* archive, const PackOptions& pack);
    Result Extract(const Directory& directory, const OpenedFile& archive, const char* archiveName,
                   InflateChoice inflate);
    Result List(const Directory& directory, const char* archive) const;

    const ProcessStart m_start;
    Report* m_report;
};
