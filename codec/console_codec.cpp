// Console progress: the figure is rewritten in place; a key press or a
// termination signal raises the abort flag that the codec tests before its next call.
#include "codec/console_codec.h"

#include <cstdio>

#include "platform/platform.h"
#include "platform/state.h"

void CConsoleCodec::OnProgress(int percent) {
    // Flushed so that each figure shows at once; output thrown away unseen needs no
    // system call per figure.
    char figure[16];
    snprintf(figure, sizeof figure, "%3d%%\b\b\b\b", percent);
    PrintOut(figure);
    if (!g_stdoutDiscarded) {
        fflush(stdout);
    }
    if (PollStopRequest()) {
        m_bAbort = 1;
    }
}
