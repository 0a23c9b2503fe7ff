// libFuzzer target: arbitrary bytes as an archive for the directory reader, the
// listing and a full extraction. A broken check aborts, so the fuzzer keeps the input.
#include <cstdio>
#include <cstdlib>

#include "archive_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string problem = RunArchiveInput(data, size);
    if (!problem.empty()) {
        fprintf(stderr, "archive_fuzzer: %s\n", problem.c_str());
        abort();
    }
    return 0;
}
