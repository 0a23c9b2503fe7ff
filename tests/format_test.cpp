// The archive's directory: record bytes, the entry table's limits, and reading a
// directory back, including damaged, unterminated and non-regular archives.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "archive/archive_entry.h"
#include "platform/diagnostics.h"
#include "platform/result.h"
#include "test_support.h"

namespace {

constexpr int BOUNDED_SECONDS = 10;

std::string LittleEndian(uint32_t value) {
    std::string bytes;
    for (int i = 0; i < 4; ++i) {
        bytes += static_cast<char>(value >> (8 * i));
    }
    return bytes;
}

std::string RecordsOf(const std::vector<TestEntry>& entries) {
    std::string records;
    for (const TestEntry& entry : entries) {
        records += Record(entry.name, static_cast<int32_t>(entry.content.size()), entry.mtime);
    }
    return records;
}

void ExpectTableHolds(const std::vector<TestEntry>& entries) {
    ASSERT_EQ(g_nEntries, static_cast<int>(entries.size()));
    EXPECT_EQ(g_lDataOffset, ENTRY_RECORD_SIZE * static_cast<int32_t>(entries.size() + 1));
    for (size_t k = 0; k < entries.size(); ++k) {
        EXPECT_EQ(EntryName(g_entries[k]), entries[k].name) << "slot " << k;
        EXPECT_EQ(g_entries[k].m_size, static_cast<int32_t>(entries[k].content.size()));
        EXPECT_EQ(g_entries[k].m_mtime, entries[k].mtime);
    }
    EXPECT_EQ(g_entries[entries.size()].m_size, TERMINATOR_SIZE);
}

}  // namespace

TEST(ArchiveFormat, OneFileDirectoryHasExactRecordBytes) {
    ResetArchiveState();
    ScratchDir dir;
    const int32_t mtime = 0x5F3E2D1C;
    ASSERT_EQ(AppendEntry("a.txt", 3, mtime), RESULT_OK);
    ASSERT_EQ(WriteDirectory((dir / "a.tvr").c_str()), RESULT_OK);

    std::string expected = "a.txt" + std::string(75, '\0') + std::string("\x03\0\0\0", 4) +
                           std::string("\x1C\x2D\x3E\x5F", 4) + std::string(80, '\0') +
                           std::string("\xFF\xFF\xFF\xFF", 4) + std::string(4, '\0');
    EXPECT_EQ(ReadFile(dir / "a.tvr"), expected);
}

TEST(ArchiveFormat, IntegersAreSignedLittleEndian) {
    ResetArchiveState();
    ScratchDir dir;
    ASSERT_EQ(AppendEntry("old", 0x01020304, -2), RESULT_OK);
    ASSERT_EQ(WriteDirectory((dir / "x.tvr").c_str()), RESULT_OK);
    std::string bytes = ReadFile(dir / "x.tvr");
    ASSERT_EQ(bytes.size(), 2u * ENTRY_RECORD_SIZE);
    EXPECT_EQ(bytes.substr(80, 4), LittleEndian(0x01020304));
    EXPECT_EQ(bytes.substr(84, 4), LittleEndian(0xFFFFFFFE));

    ResetArchiveState();
    ASSERT_EQ(ReadDirectory((dir / "x.tvr").c_str()), RESULT_OK);
    EXPECT_EQ(g_entries[0].m_size, 0x01020304);
    EXPECT_EQ(g_entries[0].m_mtime, -2);
}

TEST(ArchiveFormat, DirectoriesOfZeroOneAndThreeEntriesReadBack) {
    const std::vector<std::vector<TestEntry>> archives = {
        {},
        {{"a.txt", "abc", 1000000000}},
        {{"first.dat", "1", 0}, {"Second.DAT", "", -1}, {"third", std::string(70000, 'z'), 2}},
    };
    for (const auto& entries : archives) {
        ResetArchiveState();
        ScratchDir dir;
        WriteFile(dir / "x.tvr", BuildArchive(entries));
        ASSERT_EQ(ReadDirectory((dir / "x.tvr").c_str()), RESULT_OK) << entries.size();
        ExpectTableHolds(entries);
    }
}

TEST(ArchiveFormat, WrittenDirectoryReadsBack) {
    ResetArchiveState();
    ScratchDir dir;
    const std::vector<TestEntry> entries = {
        {"one", std::string(5, 'x'), 11}, {"two", "", 22}, {"three", "3", 33}};
    for (const TestEntry& entry : entries) {
        ASSERT_EQ(AppendEntry(entry.name.c_str(), entry.content.size(), entry.mtime), RESULT_OK);
    }
    ASSERT_EQ(WriteDirectory((dir / "x.tvr").c_str()), RESULT_OK);
    EXPECT_EQ(ReadFile(dir / "x.tvr"), RecordsOf(entries) + Terminator());

    ResetArchiveState();
    ASSERT_EQ(ReadDirectory((dir / "x.tvr").c_str()), RESULT_OK);
    ExpectTableHolds(entries);
}

TEST(ArchiveFormat, DirectoryCutAnywhereIsDamaged) {
    ScratchDir dir;
    const std::string whole = RecordsOf({{"a", "12", 1}, {"b", "345", 2}}) + Terminator();
    for (size_t length = 0; length < whole.size(); ++length) {
        ResetArchiveState();
        WriteFile(dir / "cut.tvr", whole.substr(0, length));
        EXPECT_EQ(ReadDirectory((dir / "cut.tvr").c_str()), RESULT_DAMAGED) << length;
        EXPECT_LE(g_nEntries, 2);
    }
}

TEST(ArchiveFormat, TerminatorMustLieWithinTheTable) {
    ScratchDir dir;
    std::string records;
    for (int k = 0; k < MAX_ENTRIES; ++k) {
        records += Record("f" + std::to_string(k), k, k);
    }

    ResetArchiveState();
    WriteFile(dir / "full.tvr", records + Terminator());
    ASSERT_EQ(ReadDirectory((dir / "full.tvr").c_str()), RESULT_OK);
    EXPECT_EQ(g_nEntries, MAX_ENTRIES);
    EXPECT_EQ(g_lDataOffset, ENTRY_TABLE_SLOTS * ENTRY_RECORD_SIZE);
    EXPECT_EQ(EntryName(g_entries[MAX_ENTRIES - 1]), "f998");

    // 1000 records without a terminator, then one just past the table.
    ResetArchiveState();
    records += Record("f999", 1, 1);
    WriteFile(dir / "over.tvr", records + Terminator() + Record("tail", 7, 7));
    EXPECT_EQ(ReadDirectory((dir / "over.tvr").c_str()), RESULT_DAMAGED);
    EXPECT_LE(g_nEntries, ENTRY_TABLE_SLOTS);
}

TEST(ArchiveFormat, NameFillingAllEightyBytesStaysInItsField) {
    ResetArchiveState();
    ScratchDir dir;
    const std::string name(ENTRY_NAME_SIZE, 'N');
    WriteFile(dir / "x.tvr", Record(name, 0x41414141, 0x41414141) + Terminator());
    ASSERT_EQ(ReadDirectory((dir / "x.tvr").c_str()), RESULT_OK);
    EXPECT_EQ(EntryNameLength(g_entries[0]), static_cast<size_t>(ENTRY_NAME_SIZE));
    EXPECT_EQ(EntryName(g_entries[0]), name);
}

TEST(ArchiveFormat, AppendEntryRefusesNamesOfEightyBytes) {
    ResetArchiveState();
    const std::string longest(ENTRY_NAME_SIZE - 1, 'L');
    ASSERT_EQ(AppendEntry(longest.c_str(), 1, 1), RESULT_OK);
    EXPECT_EQ(EntryName(g_entries[0]), longest);
    EXPECT_EQ(g_entries[0].m_szName[ENTRY_NAME_SIZE - 1], '\0');

    const std::string tooLong(ENTRY_NAME_SIZE, 'T');
    EXPECT_EQ(AppendEntry(tooLong.c_str(), 1, 1), RESULT_LIMIT);
    EXPECT_EQ(g_nEntries, 1);
    EXPECT_EQ(g_entries[1].m_size, TERMINATOR_SIZE);
}

TEST(ArchiveFormat, AppendEntryHoldsAtMost999Entries) {
    ResetArchiveState();
    for (int k = 0; k < MAX_ENTRIES; ++k) {
        ASSERT_EQ(AppendEntry("f", k, k), RESULT_OK) << k;
    }
    EXPECT_EQ(g_nEntries, MAX_ENTRIES);
    EXPECT_EQ(g_entries[MAX_ENTRIES].m_size, TERMINATOR_SIZE);
    EXPECT_EQ(AppendEntry("f", 1, 1), RESULT_LIMIT);
    EXPECT_EQ(g_nEntries, MAX_ENTRIES);
    EXPECT_EQ(g_entries[MAX_ENTRIES].m_size, TERMINATOR_SIZE);
}

TEST(ArchiveFormat, AppendEntryRefusesSizesBeyond31Bits) {
    ResetArchiveState();
    ASSERT_EQ(AppendEntry("big", INT32_MAX, 1), RESULT_OK);
    EXPECT_EQ(g_entries[0].m_size, INT32_MAX);
    EXPECT_EQ(AppendEntry("huge", int64_t{1} << 31, 1), RESULT_LIMIT);
    // A length whose low 32 bits are all ones would read back as the terminator.
    EXPECT_EQ(AppendEntry("ones", (int64_t{1} << 32) - 1, 1), RESULT_LIMIT);
    EXPECT_EQ(g_nEntries, 1);
    EXPECT_EQ(g_entries[1].m_size, TERMINATOR_SIZE);
}

TEST(ArchiveFormat, WriteDirectoryReportsFailures) {
    ResetArchiveState();
    ScratchDir dir;
    ASSERT_EQ(AppendEntry("a", 1, 1), RESULT_OK);
    EXPECT_EQ(WriteDirectory("/dev/full"), RESULT_FAIL);
    EXPECT_EQ(WriteDirectory((dir / "missing/x.tvr").c_str()), RESULT_OPEN);
}

TEST(ArchiveFormat, ReadDirectoryOfMissingFileFails) {
    ResetArchiveState();
    ScratchDir dir;
    const std::string path = dir / "nothing.tvr";
    EXPECT_EQ(ReadDirectory(path.c_str()), RESULT_FAIL);
    ASSERT_EQ(Notes().size(), 1u);
    EXPECT_NE(Notes()[0].find(path), std::string::npos);
}

TEST(ArchiveFormat, ReadDirectoryRefusesWhatIsNotARegularFile) {
    ScratchDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    for (const std::string& path : {dir.path(), dir / "fifo", std::string("/dev/zero")}) {
        // In a child, so that a read that blocked or never ended cannot hang the suite.
        int result = RunInChild(
            [&path] {
                ResetArchiveState();
                return ReadDirectory(path.c_str());
            },
            BOUNDED_SECONDS);
        EXPECT_EQ(result, StatusOf(RESULT_DAMAGED)) << path;
    }
}
