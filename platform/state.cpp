// The process-wide state declared in platform/state.h.
#include "platform/state.h"

volatile sig_atomic_t g_stopSignal = 0;
bool g_outputEndsLine = true;

void ResetProcessState() {
    g_stopSignal = 0;
    g_outputEndsLine = true;
}
