// libFuzzer target: every input archive is unpacked three times, each into a directory
// of its own: on two cores (a stream of many chunks inflated side by side), through the
// fast inflate engine on one thread (zlib judging what it does not end cleanly), and
// through zlib alone. The result, standard output, the notes for standard error and the
// files left must be the same; a difference aborts, so the fuzzer keeps it.
//
// The first byte chooses the input's form. Even: the rest is the archive itself. Odd:
// the rest damages a copy of a base archive of about 2 MB, whose streams run across
// several of the unpacker's pieces, one of them across three chunks: bit 1 set cuts it
// at the offset in the next three bytes, then every four bytes give an offset and a
// byte to exclusive-or there.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <tuple>

#include "archive/archive_tool.h"
#include "platform/state.h"

namespace fs = std::filesystem;

namespace {

using Files = std::map<std::string, std::pair<std::string, int64_t>>;  // content, time
// The result's code, standard output, the lines for standard error, and the files left.
using Outcome = std::tuple<Result::Code, std::string, std::vector<std::string>, Files>;

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

// Runs a mode with standard output into a string; returns the result's code, the
// string and the lines for standard error. libFuzzer's own timer signal stops a run as
// a user's signal would: run it again, its output afresh.
Outcome Run(const char* pattern, const fs::path& archive, int mode, InflateChoice inflate) {
    Outcome outcome{Result::ABORT, "", {}, {}};
    for (int tries = 0; tries < 5 && std::get<0>(outcome) == Result::ABORT; ++tries) {
        char* printed = nullptr;
        size_t size = 0;
        FILE* const shown = stdout;
        stdout = open_memstream(&printed, &size);
        ResetProcessState();
        Report report;
        const Result result = CArchiveTool(ProcessStart{}, &report)
                                  .Process(pattern, archive.c_str(), mode, {6, 1}, inflate);
        fclose(stdout);
        stdout = shown;
        std::vector<std::string> notes;
        for (const std::vector<Note>* told : {&report.notes(), &result.notes()}) {
            for (const Note& note : *told) {
                notes.push_back(note.Text());
            }
        }
        outcome = {result.code(), std::string(printed, size), notes, {}};
        free(printed);
    }
    return outcome;
}

// Text-like runs, noise and an empty file, the same every time.
std::string BaseArchive() {
    const fs::path source = Workspace() / "base", archive = Workspace() / "base.tvr";
    fs::create_directory(source);
    std::mt19937 random(20261208);
    std::string text, noise;
    while (text.size() < 900000) {
        text += std::string("pack unpack stream archive zlib \n").substr(random() % 30);
    }
    while (noise.size() < 400000) {
        noise += static_cast<char>(random());
    }
    std::string chunks;  // two chunks and a short third
    while (chunks.size() < size_t{8} * 1024 * 1024 + 4097) {
        chunks += text.substr(random() % text.size(), 1000);
    }
    chunks.resize(size_t{8} * 1024 * 1024 + 4097);
    const std::pair<const char*, std::string> files[] = {
        {"a-text", text},  {"b-empty", ""}, {"c-noise", noise}, {"d-short", text.substr(0, 5000)},
        {"e-chunks", chunks}};
    for (const auto& [name, content] : files) {
        std::ofstream(source / name, std::ios::binary) << content;
    }
    if (std::get<0>(Run((source / "*").c_str(), archive, MODE_CREATE, InflateChoice::FASTEST)) !=
        Result::OK) {
        fprintf(stderr, "differential_fuzzer: the base archive could not be made\n");
        abort();
    }
    return ReadWhole(archive);
}

std::string ArchiveFrom(const uint8_t* data, size_t size) {
    if (size == 0 || (data[0] & 1) == 0) {
        return std::string(reinterpret_cast<const char*>(data) + (size > 0), size - (size > 0));
    }
    static const std::string base = BaseArchive();
    std::string archive = base;
    size_t at = 1;
    auto offset = [&](size_t limit) {
        at += 3;
        return ((size_t{data[at - 3]} << 16) | (size_t{data[at - 2]} << 8) | data[at - 1]) % limit;
    };
    if ((data[0] & 2) != 0 && at + 3 <= size) {
        archive.resize(offset(archive.size() + 1));
    }
    while (at + 4 <= size && !archive.empty()) {
        const size_t where = offset(archive.size());
        archive[where] = static_cast<char>(archive[where] ^ (data[at++] | 1));
    }
    return archive;
}

Outcome Unpack(const fs::path& archive, const fs::path& into, InflateChoice inflate) {
    fs::create_directory(into);
    const fs::path here = fs::current_path();
    fs::current_path(into);
    Outcome outcome = Run("", archive, MODE_EXTRACT, inflate);
    fs::current_path(here);
    for (const auto& item : fs::directory_iterator(into)) {
        struct stat status {};
        lstat(item.path().c_str(), &status);
        std::get<3>(outcome)[item.path().filename()] = {ReadWhole(item.path()), status.st_mtime};
    }
    fs::remove_all(into);
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fs::path archive = Workspace() / "input.tvr";
    std::ofstream(archive, std::ios::binary) << ArchiveFrom(data, size);
    const Outcome judged = Unpack(archive, Workspace() / "zlib", InflateChoice::ZLIB_ONLY);
    if (Unpack(archive, Workspace() / "fast", InflateChoice::SEQUENTIAL) != judged) {
        fprintf(stderr, "differential_fuzzer: the fast engine differs from zlib\n");
        abort();
    }
    if (Unpack(archive, Workspace() / "two", InflateChoice::FASTEST) != judged) {
        fprintf(stderr, "differential_fuzzer: two cores differ from zlib\n");
        abort();
    }
    return 0;
}
