// Runs arbitrary bytes as an archive through every reader of the archive code and
// checks what the run left behind.
#include "archive_input.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "app/arguments.h"
#include "archive/archive_entry.h"
#include "archive/archive_tool.h"
#include "platform/diagnostics.h"
#include "platform/result.h"
#include "platform/state.h"

namespace {

namespace fs = std::filesystem;

// The archive lies beside the directory extracted into, so that anything written
// outside that directory shows.
struct Workspace {
    std::string root = (fs::temp_directory_path() / "tovra-fuzz-XXXXXX").string();
    std::error_code ignored;
    Workspace() {
        if (mkdtemp(&root[0]) == nullptr || !fs::create_directory(Extract())) {
            perror("tovra-fuzz workspace");
            abort();
        }
    }
    ~Workspace() { fs::remove_all(root, ignored); }
    std::string Archive() const { return root + "/input.tvr"; }
    std::string Extract() const { return root + "/out"; }
};

// Lists, then extracts from inside the extraction directory; returns the extraction's
// result. Standard output goes nowhere meanwhile (glibc lets stdout be assigned).
int ListAndExtract(const Workspace& space) {
    static FILE* const discard = fopen("/dev/null", "w");
    FILE* const shown = stdout;
    stdout = discard;
    ResetProcessState();
    CArchiveTool().Process("", space.Archive().c_str(), MODE_LIST, COMPRESSION_LEVEL);
    ResetProcessState();
    const fs::path here = fs::current_path();
    fs::current_path(space.Extract());
    const int result =
        CArchiveTool().Process("", space.Archive().c_str(), MODE_EXTRACT, COMPRESSION_LEVEL);
    fs::current_path(here);
    stdout = shown;
    return result;
}

// Whether every stream after the directory inflates, with zlib alone, to exactly its
// record's size: the independent answer to whether extraction may write anything.
bool StreamsAreWhole(const std::string& input) {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) {
        return false;
    }
    unsigned char out[1 << 16];
    size_t at = static_cast<size_t>(g_lDataOffset);
    bool whole = true;
    for (int slot = 0; whole && slot < g_nEntries; ++slot) {
        inflateReset(&stream);
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data() + at));
        stream.avail_in = static_cast<uInt>(input.size() - at);
        const uLong size = static_cast<uLong>(g_entries[slot].m_size);
        int status = Z_OK;
        while (status == Z_OK && stream.total_out <= size) {
            stream.next_out = out;
            stream.avail_out = sizeof out;
            status = inflate(&stream, Z_NO_FLUSH);
        }
        whole = status == Z_STREAM_END && g_entries[slot].m_size >= 0 && stream.total_out == size;
        at += stream.total_in;
    }
    inflateEnd(&stream);
    return whole;
}

// What the extraction left wrong, or "".
std::string Check(const Workspace& space, const std::string& input, int result) {
    if (std::distance(fs::directory_iterator(space.root), {}) != 2) {
        return "written outside the extraction directory";
    }
    std::ifstream archive(space.Archive(), std::ios::binary);
    if (std::string(std::istreambuf_iterator<char>(archive), {}) != input) {
        return "the archive changed";
    }
    // A later entry of the same name wins.
    std::map<std::string, int64_t> sizes;
    for (int slot = 0; slot < g_nEntries; ++slot) {
        sizes[EntryName(g_entries[slot])] = g_entries[slot].m_size;
    }
    const bool whole = StreamsAreWhole(input);
    for (const auto& item : fs::directory_iterator(space.Extract())) {
        const std::string name = item.path().filename();
        if (!whole) {
            return "a damaged archive extracted " + name;
        }
        if (name.rfind(".tovra-", 0) == 0 && sizes.count(name) == 0) {
            return "temporary file left: " + name;
        }
    }
    for (const auto& [name, size] : sizes) {
        // A directory or a missing file has no size: the error gives -1.
        std::error_code e;
        if (result == RESULT_OK &&
            fs::file_size(space.Extract() + "/" + name, e) != static_cast<uintmax_t>(size)) {
            return "extraction reported whole, but not so: " + name;
        }
    }
    return result != RESULT_OK && g_notes.empty()
               ? "no cause noted for the failure " + std::to_string(result)
               : "";
}

}  // namespace

std::string RunArchiveInput(const uint8_t* data, size_t size) {
    static const Workspace space;
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::ofstream(space.Archive(), std::ios::binary) << input;
    const std::string problem = Check(space, input, ListAndExtract(space));
    for (const auto& item : fs::directory_iterator(space.Extract())) {
        fs::remove_all(item.path());
    }
    return problem;
}
