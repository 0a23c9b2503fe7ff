// Console progress: the figure is rewritten in place; a key press or a
// termination signal raises the abort flag that the codec tests before its next call.
#include "codec/console_codec.h"

#include <cstdio>

#include "platform/platform.h"

void CConsoleCodec::OnProgress(int percent) {
    printf("%3d%%\b\b\b\b", percent);
    fflush(stdout);
    if (PollStopRequest()) {
        m_bAbort = 1;
    }
}
