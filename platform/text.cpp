// Text services: local-time formatting.
#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace {
const char TIME_PLACEHOLDER[] = "??.??.???? ??:??:??";
}

int FormatLocalTime(int64_t seconds, const char* pattern, char* out, size_t size) {
    time_t when = static_cast<time_t>(seconds);
    struct tm local;
    if (localtime_r(&when, &local) != nullptr && strftime(out, size, pattern, &local) != 0) {
        return 0;
    }
    snprintf(out, size, "%s", TIME_PLACEHOLDER);
    return -1;
}
