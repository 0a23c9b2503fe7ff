// libFuzzer target: arbitrary bytes as an archive, listed and then extracted in a
// private workspace. A broken promise aborts, so the fuzzer keeps the input: nothing
// written outside the extraction directory, the archive unchanged, nothing but entries
// extracted (no temporary file left) and nothing at all unless every stream is whole,
// and a cause noted for every failure.
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "archive/archive_tool.h"
#include "archive/directory.h"
#include "platform/state.h"

namespace fs = std::filesystem;

// Whether every stream inflates, with zlib alone, to exactly its record's size: the
// independent answer to whether extraction may write anything.
static bool StreamsAreWhole(const std::string& input, const Directory& directory) {
    static std::string out(17 << 20, '\0');  // more than any input of 16 KiB inflates to
    size_t at = static_cast<size_t>(directory.DataOffset());
    for (int k = 0; k < directory.Count(); ++k) {
        const int32_t recorded = directory.Entry(k).m_size;
        uLong size = std::min<uLong>(uint32_t(recorded) + 1ul, out.size());
        uLong used = input.size() - at;
        if (uncompress2(reinterpret_cast<Bytef*>(&out[0]), &size,
                        reinterpret_cast<const Bytef*>(input.data() + at), &used) != Z_OK ||
            size != uLong(recorded)) {
            return false;
        }
        at += used;
    }
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string workspace = (fs::temp_directory_path() / "tovra-fuzz-XXXXXX").string();
    static const fs::path root = mkdtemp(&workspace[0]);
    static const int removed = std::atexit([] { fs::remove_all(root); });
    static FILE* const discard = fopen("/dev/null", "w");
    (void)removed;
    const std::string input(reinterpret_cast<const char*>(data), size),
        archive = root / "input.tvr";
    fs::create_directory(root / "out");
    std::ofstream(archive, std::ios::binary) << input;
    // Standard output goes nowhere meanwhile (glibc lets stdout be assigned).
    FILE* const shown = stdout;
    const fs::path here = fs::current_path();
    stdout = discard;
    Report report;
    ResetProcessState();
    (void)CArchiveTool(ProcessStart{}, &report).Process("", archive.c_str(), MODE_LIST, {});
    ResetProcessState();
    fs::current_path(root / "out");
    const Result result =
        CArchiveTool(ProcessStart{}, &report).Process("", archive.c_str(), MODE_EXTRACT, {});
    fs::current_path(here);
    stdout = shown;
    // Every failure carries the note that says why.
    const bool unexplained = !result.ok() && result.notes().empty();
    // The directory as the archive holds it, read apart from the run.
    Directory directory;
    OpenedFile file;
    std::set<std::string> names;
    if (OpenRegularFile(archive.c_str(), &file).ok() &&
        !directory.ReadFrom(file.fd.get(), archive.c_str()).ok()) {
        directory = Directory();
    }
    for (int k = 0; k < directory.Count(); ++k) {
        names.insert(directory.Name(k));
    }
    bool broken = std::distance(fs::directory_iterator(root), {}) != 2 || unexplained;
    broken = broken || std::string(std::istreambuf_iterator<char>(std::ifstream(archive).rdbuf()),
                                   {}) != input;
    for (const auto& item : fs::directory_iterator(root / "out")) {
        broken = broken || names.count(item.path().filename()) == 0 ||
                 !StreamsAreWhole(input, directory);
    }
    fs::remove_all(root / "out");
    if (broken) {
        fprintf(stderr, "archive_fuzzer: a promise broken\n");
        abort();
    }
    return 0;
}
