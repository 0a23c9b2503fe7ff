// Unpacking through the built program: round trips with creation, streams of any
// zlib writer, damaged and hostile archives, and what is left on disk afterwards.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

constexpr int STATUS_DAMAGED = 248;  // -8
constexpr int STATUS_OPEN = 246;     // -10
constexpr int32_t SOME_TIME = 1000000000;
const char OLD_CONTENT[] = "a file that was here before";
constexpr int32_t OLD_TIME = 500000000;

std::vector<std::string> NamesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

RunResult Unpack(const std::string& cwd, const std::string& archive, bool unprivileged = false) {
    RunOptions options;
    options.cwd = cwd;
    options.unprivileged = unprivileged;
    return RunTovra({"1", archive}, options);
}

RunResult Pack(const std::string& cwd, const std::string& archive, const std::string& pattern) {
    RunOptions options;
    options.cwd = cwd;
    return RunTovra({"0", archive, pattern}, options);
}

// Writes the files into a source directory, packs them, and unpacks the archive into
// an empty directory; then each file there must equal its source in bytes and time.
void ExpectRoundTrip(const std::vector<TestEntry>& files) {
    ScratchDir source;
    ScratchDir target;
    std::vector<std::string> names;
    for (const TestEntry& file : files) {
        WriteFile(source / file.name, file.content);
        SetMtime(source / file.name, file.mtime);
        names.push_back(file.name);
    }
    RunResult pack = Pack(source.path(), target / "round.arc", "*");
    ASSERT_EQ(pack.status, 0) << pack.out << pack.err;

    RunResult unpack = Unpack(target.path(), "round.arc");
    ASSERT_EQ(unpack.status, 0) << unpack.out << unpack.err;
    EXPECT_EQ(unpack.err, "");
    names.push_back("round.arc");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(target.List(), names);
    for (const TestEntry& file : files) {
        SCOPED_TRACE(file.name);
        EXPECT_TRUE(ReadFile(target / file.name) == file.content);
        EXPECT_EQ(MtimeOf(target / file.name), file.mtime);
    }
}

TEST(Extraction, RoundTripKeepsContentSizesAndTimes) {
    ExpectRoundTrip({
        {"first.txt", SampleBytes(1234, 1), SOME_TIME},
        {"second.bin", SampleBytes(4096, 2, false), SOME_TIME + 60},
        {"third.txt", "3", 1},
    });
}

TEST(Extraction, RoundTripOfEmptyAndChunkSizedEntries) {
    ExpectRoundTrip({
        {"empty", "", SOME_TIME},
        // Two whole copy chunks and a half one.
        {"chunks", SampleBytes(25000, 3, false), SOME_TIME},
        {"one.chunk", SampleBytes(10000, 4), SOME_TIME},
    });
}

TEST(Extraction, RoundTripOfLargeFiles) {
    ExpectRoundTrip({
        {"noise", SampleBytes(3 << 20, 5, false), SOME_TIME},
        {"text", SampleBytes(6 << 20, 6), SOME_TIME},
        {"zeros", std::string(4 << 20, '\0'), SOME_TIME},
    });
}

TEST(Extraction, RoundTripOfTimesAcrossTheWholeRange) {
    ExpectRoundTrip({
        {"before.1970", "old", -100000000},
        {"epoch", "zero", 0},
        {"latest", "new", INT32_MAX},
    });
}

// Unpacks an archive written here, with no help from the program's own packing.
void ExpectExtracts(const std::string& archive, const std::vector<TestEntry>& entries) {
    ScratchDir dir;
    WriteFile(dir / "given.arc", archive);
    RunResult run = Unpack(dir.path(), "given.arc");
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    for (const TestEntry& entry : entries) {
        SCOPED_TRACE(entry.name);
        EXPECT_TRUE(ReadFile(dir / entry.name) == entry.content);
        EXPECT_EQ(MtimeOf(dir / entry.name), entry.mtime);
    }
    EXPECT_EQ(dir.List().size(), entries.size() + 1);
}

TEST(Extraction, StreamsOfAnyLevelAndStrategy) {
    struct Writer {
        const char* name;
        int level;
        int strategy;
    };
    const Writer writers[] = {
        {"stored", 0, Z_DEFAULT_STRATEGY},
        {"level1", 1, Z_DEFAULT_STRATEGY},
        {"level9", 9, Z_DEFAULT_STRATEGY},
        {"filtered", 6, Z_FILTERED},
        {"huffman", 6, Z_HUFFMAN_ONLY},
        {"rle", 6, Z_RLE},
        {"fixed", 6, Z_FIXED},
    };
    std::string directory;
    std::string streams;
    std::vector<TestEntry> entries;
    uint32_t seed = 10;
    for (const Writer& writer : writers) {
        std::string content = SampleBytes(25000, seed) + SampleBytes(9000, seed + 1, false);
        seed += 2;
        directory += Record(writer.name, static_cast<int32_t>(content.size()), SOME_TIME);
        streams += ZlibStream(content, writer.level, writer.strategy);
        entries.push_back({writer.name, content, SOME_TIME});
    }
    ExpectExtracts(directory + Terminator() + streams, entries);
}

TEST(Extraction, ArchiveOfOnlyTheTerminatorGivesNothing) {
    ScratchDir dir;
    WriteFile(dir / "none.arc", Terminator());
    RunResult run = Unpack(dir.path(), "none.arc");
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(dir.List(), std::vector<std::string>{"none.arc"});
}

// Three entries; "b.txt" already exists in the directory the damaged copy unpacks into.
struct Damage {
    const char* what;
    std::string (*apply)(std::string archive, const std::vector<size_t>& streamStarts);
    int status;
};

const std::vector<TestEntry> SOUND_ENTRIES = {
    {"a.txt", SampleBytes(5000, 21), SOME_TIME},
    {"b.txt", SampleBytes(30000, 22, false), SOME_TIME},
    {"c.txt", SampleBytes(20000, 23, false), SOME_TIME},
};

// Where each stream of BuildArchive(SOUND_ENTRIES) starts, and the archive's end.
std::vector<size_t> StreamStarts() {
    std::vector<size_t> starts = {88 * (SOUND_ENTRIES.size() + 1)};
    for (const TestEntry& entry : SOUND_ENTRIES) {
        starts.push_back(starts.back() + ZlibStream(entry.content).size());
    }
    return starts;
}

// A first block header of BFINAL=1 and the reserved type 3: invalid in any stream.
std::string WithBadBlock(std::string archive, size_t streamStart) {
    archive[streamStart + 2] = '\xff';
    return archive;
}

std::string WithSize(std::string archive, size_t slot, int32_t size) {
    const TestEntry& entry = SOUND_ENTRIES[slot];
    archive.replace(88 * slot, 88, Record(entry.name, size, entry.mtime));
    return archive;
}

const Damage DAMAGES[] = {
    {"middle stream damaged",
     [](std::string a, const std::vector<size_t>& s) { return WithBadBlock(a, s[1]); }, 253},
    {"last stream damaged",
     [](std::string a, const std::vector<size_t>& s) { return WithBadBlock(a, s[2]); }, 253},
    {"first stream damaged",
     [](std::string a, const std::vector<size_t>& s) { return WithBadBlock(a, s[0]); }, 253},
    {"cut inside the last stream",
     [](std::string a, const std::vector<size_t>& s) { return a.substr(0, s[3] - 100); }, 251},
    {"cut inside the directory",
     [](std::string a, const std::vector<size_t>&) { return a.substr(0, 88 * 2 + 40); },
     STATUS_DAMAGED},
    {"wrong Adler-32 of the middle stream",
     [](std::string a, const std::vector<size_t>& s) {
         a[s[2] - 1] = static_cast<char>(a[s[2] - 1] ^ 1);
         return a;
     },
     253},
    {"record one byte longer than its stream",
     [](std::string a, const std::vector<size_t>&) { return WithSize(a, 1, 30001); },
     STATUS_DAMAGED},
    {"record one byte shorter than its stream",
     [](std::string a, const std::vector<size_t>&) { return WithSize(a, 1, 29999); },
     STATUS_DAMAGED},
    {"record of the last entry too short",
     [](std::string a, const std::vector<size_t>&) { return WithSize(a, 2, 0); }, STATUS_DAMAGED},
};

void PrintTo(const Damage& damage, std::ostream* os) {
    *os << damage.what;
}

class ExtractionDamageTest : public ::testing::TestWithParam<Damage> {};

TEST_P(ExtractionDamageTest, FailsWithoutWritingOrLeavingAnything) {
    const Damage& damage = GetParam();
    ScratchDir dir;
    WriteFile(dir / "damaged.arc", damage.apply(BuildArchive(SOUND_ENTRIES), StreamStarts()));
    WriteFile(dir / "b.txt", OLD_CONTENT);
    SetMtime(dir / "b.txt", OLD_TIME);

    RunResult run = Unpack(dir.path(), "damaged.arc");
    EXPECT_EQ(run.status, damage.status) << run.out << run.err;
    EXPECT_NE(run.out.find("in unzipping damaged.arc"), std::string::npos) << run.out;
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"b.txt", "damaged.arc"}));
    EXPECT_EQ(ReadFile(dir / "b.txt"), OLD_CONTENT);
    EXPECT_EQ(MtimeOf(dir / "b.txt"), OLD_TIME);
}

INSTANTIATE_TEST_SUITE_P(Damaged, ExtractionDamageTest, ::testing::ValuesIn(DAMAGES),
                         [](const ::testing::TestParamInfo<Damage>& info) {
                             std::string name;
                             for (const char* c = info.param.what; *c != '\0'; ++c) {
                                 name += isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             }
                             return name;
                         });

TEST(Extraction, StreamInflatingFarBeyondItsRecordStopsAtTheRecordedSize) {
    ScratchDir dir;
    // 64 MiB of zeros in about 64 KiB of stream, announced as 10 bytes.
    std::string bomb = ZlibStream(std::string(64 << 20, '\0'), 9);
    WriteFile(dir / "bomb.arc", Record("bomb", 10, SOME_TIME) + Terminator() + bomb);

    RunOptions options;
    options.cwd = dir.path();
    // Far below what the stream inflates to: writing it out would fail with -1 instead.
    options.fileSizeLimit = 1 << 20;
    RunResult run = RunTovra({"1", "bomb.arc"}, options);
    EXPECT_EQ(run.status, STATUS_DAMAGED) << run.out << run.err;
    EXPECT_NE(run.err.find("bomb"), std::string::npos) << run.err;
    EXPECT_EQ(dir.List(), std::vector<std::string>{"bomb.arc"});
}

TEST(Extraction, UnsafeNamesAreRefusedAndTheOthersExtracted) {
    ScratchDir outside;
    ScratchDir parent;
    std::string work = parent / "work";
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((work + "/a").c_str(), 0755), 0);
    const std::string absolute = outside / "x";
    // Files the refused names point at exist, so any write to them would show.
    WriteFile(parent / "x", OLD_CONTENT);
    WriteFile(absolute, OLD_CONTENT);
    WriteFile(work + "/a/b", OLD_CONTENT);
    const std::vector<std::string> unsafe = {"../x", absolute, "a/b", "..", ".", ""};
    std::vector<TestEntry> entries = {{"first", "first content", SOME_TIME}};
    for (size_t i = 0; i < unsafe.size(); ++i) {
        entries.push_back({unsafe[i], "refused " + std::to_string(i), SOME_TIME});
    }
    entries.push_back({"last", SampleBytes(15000, 31), SOME_TIME + 1});
    WriteFile(work + "/hostile.arc", BuildArchive(entries));

    RunResult run = Unpack(work, "hostile.arc");
    EXPECT_EQ(run.status, STATUS_DAMAGED) << run.out << run.err;
    for (const std::string& name : {std::string("../x"), absolute, std::string("a/b")}) {
        EXPECT_NE(run.err.find("tovra: " + name + ": "), std::string::npos) << name << run.err;
    }
    EXPECT_NE(run.err.find("tovra: ..: "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("tovra: (empty name): "), std::string::npos) << run.err;
    EXPECT_EQ(ReadFile(work + "/first"), "first content");
    EXPECT_EQ(ReadFile(work + "/last"), entries.back().content);
    EXPECT_EQ(MtimeOf(work + "/last"), SOME_TIME + 1);
    EXPECT_EQ(NamesIn(work), (std::vector<std::string>{"a", "first", "hostile.arc", "last"}));
    EXPECT_EQ(NamesIn(work + "/a"), std::vector<std::string>{"b"});
    EXPECT_EQ(parent.List(), (std::vector<std::string>{"work", "x"}));
    EXPECT_EQ(outside.List(), std::vector<std::string>{"x"});
    for (const std::string& untouched : {parent / "x", absolute, work + "/a/b"}) {
        EXPECT_EQ(ReadFile(untouched), OLD_CONTENT) << untouched;
    }
}

TEST(Extraction, NameFillingAllEightyBytesIsTakenWhole) {
    const std::string name(80, 'n');
    ExpectExtracts(BuildArchive({{name, "eighty", SOME_TIME}, {"next", "after", SOME_TIME}}),
                   {{name, "eighty", SOME_TIME}, {"next", "after", SOME_TIME}});
}

TEST(Extraction, LinkNamedLikeAnEntryIsReplacedNotFollowed) {
    ScratchDir outside;
    ScratchDir dir;
    WriteFile(outside / "target", OLD_CONTENT);
    SetMtime(outside / "target", OLD_TIME);
    ASSERT_EQ(symlink((outside / "target").c_str(), (dir / "linked").c_str()), 0);
    ASSERT_EQ(symlink((outside / "missing").c_str(), (dir / "dangling").c_str()), 0);
    WriteFile(dir / "links.arc", BuildArchive({{"linked", "new content", SOME_TIME},
                                               {"dangling", "also new", SOME_TIME}}));

    RunResult run = Unpack(dir.path(), "links.arc");
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    for (const char* name : {"linked", "dangling"}) {
        struct stat st;
        ASSERT_EQ(lstat((dir / name).c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
    }
    EXPECT_EQ(ReadFile(dir / "linked"), "new content");
    EXPECT_EQ(ReadFile(dir / "dangling"), "also new");
    EXPECT_EQ(ReadFile(outside / "target"), OLD_CONTENT);
    EXPECT_EQ(MtimeOf(outside / "target"), OLD_TIME);
    EXPECT_EQ(outside.List(), std::vector<std::string>{"target"});
}

TEST(Extraction, EntryNamedLikeADirectoryFailsAndTheRestAreExtracted) {
    ScratchDir dir;
    ASSERT_EQ(mkdir((dir / "taken").c_str(), 0755), 0);
    WriteFile(dir / "taken/inside", OLD_CONTENT);
    WriteFile(dir / "dir.arc", BuildArchive({{"before", "one", SOME_TIME},
                                             {"taken", SampleBytes(12000, 41), SOME_TIME},
                                             {"after", "three", SOME_TIME}}));

    RunResult run = Unpack(dir.path(), "dir.arc");
    EXPECT_EQ(run.status, STATUS_OPEN) << run.out << run.err;
    EXPECT_NE(run.out.find("\nError -10 in unzipping dir.arc"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("tovra: taken: "), std::string::npos) << run.err;
    EXPECT_EQ(ReadFile(dir / "before"), "one");
    EXPECT_EQ(ReadFile(dir / "after"), "three");
    EXPECT_EQ(ReadFile(dir / "taken/inside"), OLD_CONTENT);
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"after", "before", "dir.arc", "taken"}));
}

TEST(Extraction, NewFilesGetTheUsualPermissions) {
    ScratchDir dir;
    WriteFile(dir / "modes.arc", BuildArchive({{"plain", "content", SOME_TIME}}));
    for (mode_t mask : {mode_t{022}, mode_t{077}, mode_t{0}}) {
        SCOPED_TRACE(mask);
        mode_t saved = umask(mask);
        RunResult run = Unpack(dir.path(), "modes.arc");
        umask(saved);
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        struct stat st;
        ASSERT_EQ(stat((dir / "plain").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask);
    }
}

TEST(Extraction, ReadOnlyDirectoryFailsCleanly) {
    ScratchDir dir;
    WriteFile(dir / "ro.arc", BuildArchive({{"wanted", "content", SOME_TIME}}));
    ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);

    RunResult run = Unpack(dir.path(), "ro.arc", true);
    EXPECT_EQ(run.status, STATUS_OPEN) << run.out << run.err;
    EXPECT_NE(run.out.find("\nError -10 in unzipping ro.arc"), std::string::npos) << run.out;
    EXPECT_NE(run.err, "");
    EXPECT_EQ(dir.List(), std::vector<std::string>{"ro.arc"});
}

}  // namespace
