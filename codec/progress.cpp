// The figures the codec reports.
#include "codec/progress.h"

namespace {

constexpr int64_t PERCENT_EXACT_LIMIT = 10000000;

}  // namespace

int Percent(int64_t done, int64_t total) {
    if (total == 0) {
        return FIGURE_COMPLETE;
    }
    if (total <= PERCENT_EXACT_LIMIT) {
        return static_cast<int>(static_cast<uint32_t>(done) * 100u / static_cast<uint32_t>(total));
    }
    return static_cast<int>(done / (total / 100));
}
