// libFuzzer target: every input archive is unpacked twice, through the fast inflate
// engine (zlib judging what it does not end cleanly) and through zlib alone, each into
// a directory of its own. The result, standard output, the notes for standard error
// and the files left must be the same; a difference aborts, so the fuzzer keeps it.
//
// The first byte chooses the input's form. Even: the rest is the archive itself. Odd:
// the rest damages a copy of a base archive of 1.5 MB, whose streams run across
// several of the unpacker's pieces: bit 1 set cuts it at the offset in the next three
// bytes, then every four bytes give an offset and a byte to exclusive-or there.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "archive/archive_tool.h"
#include "platform/state.h"

namespace fs = std::filesystem;

namespace {

struct Outcome {
    Result result = Result::OK;
    std::string printed;
    std::vector<std::string> notes;
    std::map<std::string, std::pair<std::string, int64_t>> files;  // content and time

    bool operator==(const Outcome& other) const {
        return result == other.result && printed == other.printed && notes == other.notes &&
               files == other.files;
    }
};

std::string ReadWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

const fs::path& Workspace() {
    static std::string name = (fs::temp_directory_path() / "tovra-diff-XXXXXX").string();
    static const fs::path root = mkdtemp(&name[0]);
    static const int removed = std::atexit([] { fs::remove_all(root); });
    (void)removed;
    return root;
}

// Text-like runs and noise, so that the streams hold long matches, literals and
// stored blocks; the same every time.
std::string MakeBaseArchive() {
    const fs::path source = Workspace() / "base";
    fs::create_directory(source);
    std::mt19937 random(20261208);
    const char* const words[] = {"pack ", "unpack ", "stream ", "archive ", "zlib ", "\n"};
    std::string text, noise;
    while (text.size() < 900000) {
        text += words[random() % 6];
    }
    while (noise.size() < 400000) {
        noise += static_cast<char>(random());
    }
    std::ofstream(source / "a-text", std::ios::binary) << text;
    std::ofstream(source / "b-empty", std::ios::binary);
    std::ofstream(source / "c-noise", std::ios::binary) << noise;
    std::ofstream(source / "d-short", std::ios::binary) << text.substr(0, 5000);
    const fs::path archive = Workspace() / "base.tvr";
    FILE* const shown = stdout;
    stdout = fopen("/dev/null", "w");
    ResetProcessState();
    const Result packed =
        CArchiveTool().Process((source / "*").c_str(), archive.c_str(), MODE_CREATE, {6, 1});
    fclose(stdout);
    stdout = shown;
    if (packed != Result::OK) {
        fprintf(stderr, "differential_fuzzer: the base archive could not be made\n");
        abort();
    }
    return ReadWhole(archive);
}

std::string ArchiveFrom(const uint8_t* data, size_t size) {
    if (size == 0 || (data[0] & 1) == 0) {
        return std::string(reinterpret_cast<const char*>(data) + (size > 0), size - (size > 0));
    }
    static const std::string base = MakeBaseArchive();
    std::string archive = base;
    size_t at = 1;
    auto offset = [&] {
        const size_t value = (size_t{data[at]} << 16) | (size_t{data[at + 1]} << 8) | data[at + 2];
        at += 3;
        return value % (archive.size() + 1);
    };
    if ((data[0] & 2) != 0 && at + 3 <= size) {
        archive.resize(offset());
    }
    while (at + 4 <= size && !archive.empty()) {
        const size_t where = offset() % archive.size();
        archive[where] = static_cast<char>(archive[where] ^ (data[at++] | 1));
    }
    return archive;
}

Outcome UnpackOnce(const fs::path& archive, const fs::path& into, InflateChoice inflate) {
    Outcome outcome;
    fs::create_directory(into);
    char* printed = nullptr;
    size_t printedSize = 0;
    FILE* const shown = stdout;
    stdout = open_memstream(&printed, &printedSize);
    const fs::path here = fs::current_path();
    fs::current_path(into);
    ResetProcessState();
    outcome.result = CArchiveTool().Process("", archive.c_str(), MODE_EXTRACT, {}, inflate);
    outcome.notes = g_notes;
    fs::current_path(here);
    fclose(stdout);
    stdout = shown;
    outcome.printed.assign(printed, printedSize);
    free(printed);
    for (const auto& item : fs::directory_iterator(into)) {
        struct stat status {};
        lstat(item.path().c_str(), &status);
        outcome.files[item.path().filename()] = {ReadWhole(item.path()), status.st_mtime};
    }
    fs::remove_all(into);
    return outcome;
}

// libFuzzer's own timer signal stops a run as a user's signal would: such a run is
// made again.
Outcome Unpack(const fs::path& archive, const fs::path& into, InflateChoice inflate) {
    constexpr int TRIES = 5;
    Outcome outcome;
    for (int tried = 0; tried < TRIES; ++tried) {
        outcome = UnpackOnce(archive, into, inflate);
        if (outcome.result != Result::ABORT) {
            break;
        }
    }
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fs::path archive = Workspace() / "input.tvr";
    std::ofstream(archive, std::ios::binary) << ArchiveFrom(data, size);
    const Outcome fast = Unpack(archive, Workspace() / "fast", InflateChoice::FASTEST);
    const Outcome zlib = Unpack(archive, Workspace() / "zlib", InflateChoice::ZLIB_ONLY);
    if (!(fast == zlib)) {
        fprintf(stderr, "differential_fuzzer: the engines differ (results %d and %d)\n",
                static_cast<int>(fast.result), static_cast<int>(zlib.result));
        abort();
    }
    return 0;
}
