// The archive's directory: record bytes, reading directories back, and the
// damaged directories that reading refuses (non-regular archives: cli_test).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "archive/archive_entry.h"
#include "platform/result.h"
#include "test_support.h"

namespace {

int ReadBack(const std::string& path, const std::string& bytes) {
    ResetProcessState();
    WriteFile(path, bytes);
    int fd = open(path.c_str(), O_RDONLY);
    int result = ReadDirectory(fd, path.c_str());
    close(fd);
    return result;
}

int WriteTo(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int result = WriteDirectory(fd, path.c_str());
    close(fd);
    return result;
}

}  // namespace

TEST(ArchiveFormat, OneFileDirectoryHasExactRecordBytes) {
    ResetProcessState();
    ScratchDir dir;
    ASSERT_EQ(AppendEntry("a.txt", 3, 0x5F3E2D1C), RESULT_OK);
    ASSERT_EQ(WriteTo(dir / "a.tvr"), RESULT_OK);
    EXPECT_EQ(ReadFile(dir / "a.tvr"),
              "a.txt" + std::string(75, '\0') + std::string("\x03\0\0\0\x1C\x2D\x3E\x5F", 8) +
                  std::string(80, '\0') + std::string("\xFF\xFF\xFF\xFF\0\0\0\0", 8));
    EXPECT_EQ(WriteTo("/dev/full"), RESULT_FAIL);
}

TEST(ArchiveFormat, DirectoriesOfZeroOneAndThreeEntriesReadBack) {
    const std::vector<std::vector<TestEntry>> tables = {
        {},
        {{"a.txt", "abc"}},
        {{"one", std::string(70000, 'z'), -2}, {"Two", "", 0}, {"3", "3", 7}}};
    for (const auto& entries : tables) {
        SCOPED_TRACE(entries.size());
        ScratchDir dir;
        const std::string built = BuildArchive(entries);
        ASSERT_EQ(ReadBack(dir / "x.tvr", built), RESULT_OK);
        ASSERT_EQ(g_nEntries, static_cast<int>(entries.size()));
        EXPECT_EQ(g_lDataOffset, ENTRY_RECORD_SIZE * static_cast<int32_t>(entries.size() + 1));
        // Writing the table back gives the same records: every field was read as stored.
        ASSERT_EQ(WriteTo(dir / "w.tvr"), RESULT_OK);
        EXPECT_EQ(ReadFile(dir / "w.tvr"), built.substr(0, g_lDataOffset));
    }
}

// A table overrun shows as a failure under the address sanitizer.
TEST(ArchiveFormat, TruncatedOrUnterminatedDirectoryIsDamaged) {
    ScratchDir dir;
    const std::string whole = Record("a", 12, 1) + Record("b", 345, 2) + Terminator();
    for (size_t length = 0; length < whole.size(); ++length) {
        EXPECT_EQ(ReadBack(dir / "cut.tvr", whole.substr(0, length)), RESULT_DAMAGED) << length;
    }
    std::string records;
    for (int k = 0; k < MAX_ENTRIES; ++k) {
        records += Record("f" + std::to_string(k), k, k);
    }
    EXPECT_EQ(ReadBack(dir / "full.tvr", records + Terminator()), RESULT_OK);
    EXPECT_EQ(g_nEntries, MAX_ENTRIES);
    EXPECT_EQ(ReadBack(dir / "over.tvr", records + Record("f999", 1, 1) + Terminator()),
              RESULT_DAMAGED);
    EXPECT_LE(g_nEntries, ENTRY_TABLE_SLOTS);
}
