// Runs arbitrary bytes as an archive through every reader of the archive code and
// checks what the run left behind.
#include "archive_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "app/arguments.h"
#include "archive/archive_entry.h"
#include "archive/archive_tool.h"
#include "platform/diagnostics.h"
#include "platform/result.h"

namespace {

namespace fs = std::filesystem;

const char ARCHIVE_NAME[] = "input.tvr";
const char EXTRACT_NAME[] = "out";
const char TEMP_PREFIX[] = ".tovra-";

// A directory holding the archive and, beside it, the directory extracted into,
// so anything written outside the extraction directory shows.
class Workspace {
  public:
    Workspace() {
        const char* tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/tovra-fuzz-XXXXXX";
        if (mkdtemp(&pattern[0]) == nullptr) {
            perror("mkdtemp");
            abort();
        }
        m_root = pattern;
        m_archive = m_root + "/" + ARCHIVE_NAME;
        m_extract = m_root + "/" + EXTRACT_NAME;
        if (mkdir(m_extract.c_str(), 0755) != 0) {
            perror("mkdir");
            abort();
        }
    }
    ~Workspace() {
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    const std::string& root() const { return m_root; }
    const std::string& archive() const { return m_archive; }
    const std::string& extract() const { return m_extract; }

  private:
    std::string m_root;
    std::string m_archive;
    std::string m_extract;
};

Workspace& TheWorkspace() {
    static Workspace workspace;
    return workspace;
}

void ResetArchiveTable() {
    memset(g_entries, 0, sizeof g_entries);
    g_nEntries = 0;
    g_lDataOffset = 0;
    ClearNotes();
}

// Standard output goes to /dev/null for as long as this lives.
class SilencedStdout {
  public:
    SilencedStdout() {
        fflush(stdout);
        m_saved = dup(STDOUT_FILENO);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~SilencedStdout() {
        fflush(stdout);
        dup2(m_saved, STDOUT_FILENO);
        close(m_saved);
    }
    SilencedStdout(const SilencedStdout&) = delete;
    SilencedStdout& operator=(const SilencedStdout&) = delete;

  private:
    int m_saved;
};

bool WriteBytes(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool written = size == 0 || fwrite(data, 1, size, file) == size;
    return fclose(file) == 0 && written;
}

bool HoldsBytes(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    std::string content(size + 1, '\0');
    size_t got = fread(&content[0], 1, content.size(), file);
    fclose(file);
    return got == size && (size == 0 || memcmp(content.data(), data, size) == 0);
}

int ExtractInto(const Workspace& workspace) {
    int here = open(".", O_RDONLY | O_DIRECTORY);
    if (here < 0 || chdir(workspace.extract().c_str()) != 0) {
        perror("chdir");
        abort();
    }
    CArchiveTool tool;
    int result = tool.Process("", workspace.archive().c_str(), MODE_EXTRACT, COMPRESSION_LEVEL);
    if (fchdir(here) != 0) {
        perror("fchdir");
        abort();
    }
    close(here);
    return result;
}

// The size each entry name must have once extracted: a later entry of the same
// name wins. Bounded by the table, since a damaged directory has no terminator.
std::map<std::string, int64_t> EntrySizes() {
    std::map<std::string, int64_t> sizes;
    for (int slot = 0; slot < ENTRY_TABLE_SLOTS && g_entries[slot].m_size != TERMINATOR_SIZE;
         ++slot) {
        sizes[EntryName(g_entries[slot])] = g_entries[slot].m_size;
    }
    return sizes;
}

std::string CheckWorkspace(const Workspace& workspace, const uint8_t* data, size_t size) {
    std::set<std::string> allowed = {ARCHIVE_NAME, EXTRACT_NAME};
    for (const auto& item : fs::directory_iterator(workspace.root())) {
        if (allowed.count(item.path().filename().string()) == 0) {
            return "written outside the extraction directory: " + item.path().string();
        }
    }
    std::map<std::string, int64_t> entries = EntrySizes();
    for (const auto& item : fs::directory_iterator(workspace.extract())) {
        std::string name = item.path().filename().string();
        if (name.rfind(TEMP_PREFIX, 0) == 0 && entries.count(name) == 0) {
            return "temporary file left: " + item.path().string();
        }
    }
    if (!HoldsBytes(workspace.archive(), data, size)) {
        return "the archive changed";
    }
    return "";
}

std::string CheckExtracted(const Workspace& workspace) {
    for (const auto& [name, size] : EntrySizes()) {
        struct stat st;
        std::string path = workspace.extract() + "/" + name;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != size) {
            return "extraction reported whole, but not so: " + name;
        }
    }
    return "";
}

// The system's own failures name their cause in a note; only zlib's codes speak
// for themselves. (Writes cannot fall short here, which would be the exception.)
std::string CheckExplained(int result) {
    bool ownFailure = result == RESULT_FAIL || result == RESULT_DAMAGED || result == RESULT_LIMIT ||
                      result == RESULT_OPEN;
    if (ownFailure && Notes().empty()) {
        return "extraction failed with " + std::to_string(result) + " but noted no cause";
    }
    return "";
}

void EmptyDirectory(const std::string& dir) {
    std::error_code ignored;
    for (const auto& item : fs::directory_iterator(dir)) {
        fs::remove_all(item.path(), ignored);
    }
}

}  // namespace

std::string RunArchiveInput(const uint8_t* data, size_t size) {
    Workspace& workspace = TheWorkspace();
    if (!WriteBytes(workspace.archive(), data, size)) {
        return "cannot write the input to " + workspace.archive();
    }
    SilencedStdout silenced;
    ResetArchiveTable();
    ReadDirectory(workspace.archive().c_str());

    ResetArchiveTable();
    CArchiveTool tool;
    tool.Process("", workspace.archive().c_str(), MODE_LIST, COMPRESSION_LEVEL);

    ResetArchiveTable();
    int result = ExtractInto(workspace);
    std::string problem = CheckWorkspace(workspace, data, size);
    if (problem.empty() && result == RESULT_OK) {
        problem = CheckExtracted(workspace);
    }
    if (problem.empty()) {
        problem = CheckExplained(result);
    }
    EmptyDirectory(workspace.extract());
    ResetArchiveTable();
    return problem;
}
