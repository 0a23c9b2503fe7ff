// The console side of a run: the percentage shown in place, a key press or a
// termination signal turned into a stop, and the inflate message line.
#pragma once

#include "codec/progress.h"

class CConsoleCodec final : public ProgressSink {
  public:
    Progress OnProgress(int percent) override;
    Progress CheckStop() override;
    void OnStreamMessage(int zlibCode) override;
};
