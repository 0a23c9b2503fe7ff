// The console side of a run: the percentage shown in place, a key press or a
// termination signal turned into a stop, and the inflate message line.
#pragma once

#include "codec/progress.h"
#include "platform/platform.h"

class CConsoleCodec final : public ProgressSink {
  public:
    // Stops are asked of run; figures are flushed unless standard output is discarded.
    CConsoleCodec(StoppableRun& run, bool stdoutDiscarded)
        : m_run(run), m_stdoutDiscarded(stdoutDiscarded) {}

    Progress OnProgress(int percent) override;
    Progress CheckStop() override;
    void OnStreamMessage(int zlibCode) override;

  private:
    StoppableRun& m_run;
    const bool m_stdoutDiscarded;
};
