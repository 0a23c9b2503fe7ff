// The console side of a run: each figure is rewritten in place, and the keyboard and
// the stop signals are looked at once per figure.
#include "archive/console_codec.h"

#include <cstdio>
#include <string>

#include "platform/platform.h"

Progress CConsoleCodec::OnProgress(int percent) {
    // Flushed so that each figure shows at once; output thrown away unseen needs no
    // system call per figure.
    char figure[16];
    snprintf(figure, sizeof figure, "%3d%%\b\b\b\b", percent);
    PrintOut(figure);
    if (!m_stdoutDiscarded) {
        fflush(stdout);
    }
    return CheckStop();
}

Progress CConsoleCodec::CheckStop() {
    return m_run.StopRequested() ? Progress::STOP : Progress::CONTINUE;
}

void CConsoleCodec::OnStreamMessage(int zlibCode) {
    // A line this program has always printed, which users' scripts may look for: zlib's
    // code for a stream that ended or failed while its last input was being inflated
    // and still produced output.
    PrintOut("\nVirhe: " + std::to_string(zlibCode) + "\n");
}
