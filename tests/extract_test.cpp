// Unpacking through the built program: round trips with creation, streams of any
// zlib writer, damaged and hostile archives, and what is left on disk afterwards.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "test_support.h"

namespace {

constexpr int STATUS_DAMAGED = 248;  // -8
constexpr int STATUS_OPEN = 246;     // -10
constexpr int32_t SOME_TIME = 1000000000;
const char OLD_CONTENT[] = "a file that was here before";
constexpr int32_t OLD_TIME = 500000000;
constexpr uid_t NOBODY = 65534;

RunResult Unpack(const std::string& cwd, const std::string& archive) {
    return RunTovra({"1", archive}, {cwd});
}

// Each entry must be in dir as a file of its content and time.
void ExpectExtracted(const std::string& dir, const std::vector<TestEntry>& entries) {
    for (const TestEntry& entry : entries) {
        EXPECT_TRUE(ReadFile(dir + "/" + entry.name) == entry.content) << entry.name;
        EXPECT_EQ(MtimeOf(dir + "/" + entry.name), entry.mtime) << entry.name;
    }
}

// Unpacks archive in a fresh directory with the umask 027: exactly its entries must come
// out, with their content and time, and as any new file would; err is all of stderr.
void ExpectUnpacks(const std::string& archive, const std::vector<TestEntry>& entries,
                   const std::string& err = "") {
    ScratchDir dir;
    WriteFile(dir / "given.arc", archive);
    mode_t saved = umask(027);
    RunResult run = Unpack(dir.path(), "given.arc");
    umask(saved);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err, err);
    ExpectExtracted(dir.path(), entries);
    EXPECT_EQ(dir.List().size(), entries.size() + 1);
    struct stat st;
    ASSERT_EQ(stat((dir / entries[0].name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(Extraction, PackedFilesComeBackWithTheirContentSizesAndTimes) {
    const std::vector<TestEntry> files = {
        {"first.txt", SampleBytes(1234, 1), SOME_TIME},
        {"empty", "", -100000000},
        {"chunks", SampleBytes(25000, 3, false), INT32_MAX},  // two whole copy chunks and a half
        {"noise", SampleBytes(3 << 20, 5, false), 0},
        {"text", SampleBytes(6 << 20, 6), SOME_TIME},
    };
    ScratchDir source;
    for (const TestEntry& file : files) {
        WriteFile(source / file.name, file.content);
        SetMtime(source / file.name, file.mtime);
    }
    ASSERT_EQ(RunTovra({"0", "round.arc", "*"}, {source.path()}).status, 0);
    ExpectUnpacks(ReadFile(source / "round.arc"), files);
}

TEST(Extraction, StreamsOfAnyWriterExtractExactlyAndDamageLeavesNothing) {
    const std::vector<std::pair<int, int>> writers = {{0, Z_DEFAULT_STRATEGY},
                                                      {1, Z_DEFAULT_STRATEGY},
                                                      {9, Z_DEFAULT_STRATEGY},
                                                      {6, Z_FILTERED},
                                                      {6, Z_HUFFMAN_ONLY},
                                                      {6, Z_RLE},
                                                      {6, Z_FIXED}};
    const size_t last = writers.size() - 1;
    std::string directory, streams;
    std::vector<TestEntry> entries;
    std::vector<size_t> start;  // of each stream, then the archive's end
    for (const auto& [level, strategy] : writers) {
        uint32_t seed = static_cast<uint32_t>(entries.size());
        entries.push_back({"s" + std::to_string(seed),
                           SampleBytes(25000, seed) + SampleBytes(9000, seed, false), SOME_TIME});
        directory += Record(entries.back().name, 34000, SOME_TIME);
        start.push_back(88 * (writers.size() + 1) + streams.size());
        streams += ZlibStream(entries.back().content, level, strategy);
    }
    const std::string sound = directory + Terminator() + streams;
    start.push_back(sound.size());
    ExpectUnpacks(sound, entries);
    ExpectUnpacks(sound + "junk", entries,
                  "tovra: given.arc: 4 bytes after the last stream ignored\n");

    auto withByte = [&](size_t at, char byte) {
        return sound.substr(0, at) + byte + sound.substr(at + 1);
    };
    auto withSize = [&](int32_t size) {
        return sound.substr(0, 88) + Record("s1", size, SOME_TIME) + sound.substr(176);
    };
    // 0xff at the first block header is BFINAL=1 with the reserved type 3: invalid anywhere.
    const std::vector<std::tuple<const char*, std::string, int>> cases = {
        {"middle stream damaged", withByte(start[1] + 2, '\xff'), 253},
        {"last stream damaged", withByte(start[last] + 2, '\xff'), 253},
        {"cut inside the last stream", sound.substr(0, start[last + 1] - 100), 251},
        {"record too long, last stream cut: the first failure counts",
         withSize(34001).substr(0, start[last + 1] - 100), STATUS_DAMAGED},
        {"wrong Adler-32 of the middle stream", withByte(start[2] - 1, ~sound[start[2] - 1]), 253},
        {"record one byte longer than its stream", withSize(34001), STATUS_DAMAGED},
        {"record one byte shorter than its stream", withSize(33999), STATUS_DAMAGED}};
    for (const auto& [what, archive, status] : cases) {
        SCOPED_TRACE(what);
        ScratchDir dir;
        WriteFile(dir / "damaged.arc", archive);
        WriteFile(dir / "s1", OLD_CONTENT);
        SetMtime(dir / "s1", OLD_TIME);
        RunResult run = Unpack(dir.path(), "damaged.arc");
        EXPECT_EQ(run.status, status) << run.out << run.err;
        EXPECT_NE(run.out.find("in unzipping damaged.arc"), std::string::npos) << run.out;
        EXPECT_EQ(dir.List(), (std::vector<std::string>{"damaged.arc", "s1"}));
        ExpectExtracted(dir.path(), {{"s1", OLD_CONTENT, OLD_TIME}});
    }
}

TEST(Extraction, UnsafeNamesAreRefusedAndTheOthersExtracted) {
    ScratchDir outside, parent;
    ScratchDir work(parent.path());
    ASSERT_EQ(mkdir((work / "a").c_str(), 0755), 0);
    // Files the refused names point at exist, so any write to them would show.
    const std::vector<std::string> targets = {parent / "x", outside / "x", work / "a/b"};
    const std::vector<std::string> unsafe = {"../x", outside / "x", "a/b", "..", ".", ""};
    std::vector<TestEntry> entries;
    for (const std::string& name : unsafe) {
        entries.push_back({name, "refused", SOME_TIME});
    }
    entries.push_back({"last", SampleBytes(15000, 31), SOME_TIME + 1});
    for (const std::string& path : targets) {
        WriteFile(path, OLD_CONTENT);
    }
    WriteFile(work / "hostile.arc", BuildArchive(entries));

    RunResult run = Unpack(work.path(), "hostile.arc");
    EXPECT_EQ(run.status, STATUS_DAMAGED) << run.out << run.err;
    for (const std::string& name : unsafe) {
        std::string shown = name.empty() ? "(empty name)" : name;
        EXPECT_NE(run.err.find("tovra: " + shown + ": unsafe"), std::string::npos) << run.err;
    }
    ExpectExtracted(work.path(), {entries.back()});
    EXPECT_EQ(work.List(), (std::vector<std::string>{"a", "hostile.arc", "last"}));
    EXPECT_EQ(parent.List().size() + outside.List().size(), 3u);
    for (const std::string& path : targets) {
        EXPECT_EQ(ReadFile(path), OLD_CONTENT) << path;
    }
}

TEST(Extraction, WhatIsThereIsReplacedKeepingPermissionsButNeverTheArchiveOrADirectory) {
    ScratchDir outside, dir;
    WriteFile(outside / "target", OLD_CONTENT);
    ASSERT_EQ(symlink((outside / "target").c_str(), (dir / "linked").c_str()), 0);
    ASSERT_EQ(symlink((outside / "missing").c_str(), (dir / "dangling").c_str()), 0);
    ASSERT_EQ(mkdir((dir / "taken").c_str(), 0755), 0);
    // Private, and another user's when the tests run as root.
    WriteFile(dir / "private", OLD_CONTENT);
    ASSERT_EQ(chmod((dir / "private").c_str(), 0600), 0);
    const bool root = geteuid() == 0;
    ASSERT_TRUE(!root || chown((dir / "private").c_str(), NOBODY, NOBODY) == 0);
    const std::vector<TestEntry> written = {{"linked", "new content", SOME_TIME},
                                            {"dangling", "also new", SOME_TIME},
                                            {"private", "new and private", SOME_TIME}};
    const std::string archive = BuildArchive(
        {{"taken", "in the way"}, written[0], {"some.arc", "not me"}, written[1], written[2]});
    WriteFile(dir / "some.arc", archive);

    RunResult run = Unpack(dir.path(), "some.arc");
    EXPECT_EQ(run.status, STATUS_DAMAGED) << run.out << run.err;
    EXPECT_NE(run.err.find("tovra: taken: "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("tovra: some.arc: is the archive being unpacked"), std::string::npos);
    ExpectExtracted(dir.path(), written);
    EXPECT_EQ(ReadFile(dir / "some.arc"), archive);
    struct stat st;
    ASSERT_EQ(stat((dir / "private").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(!root || (st.st_uid == NOBODY && st.st_gid == NOBODY));
    EXPECT_EQ(outside.List(), std::vector<std::string>{"target"});
    EXPECT_EQ(ReadFile(outside / "target"), OLD_CONTENT);
    EXPECT_EQ(dir.List(),
              (std::vector<std::string>{"dangling", "linked", "private", "some.arc", "taken"}));
}

TEST(Extraction, NeedsNoMoreRoomThanTheFilesItRestores) {
    ScratchDir dir, small;
    const std::vector<TestEntry> files = {{"a", SampleBytes(10 << 20, 41, false)},
                                          {"b", SampleBytes(10 << 20, 42, false)},
                                          {"c", SampleBytes(10 << 20, 43, false)}};
    WriteFile(dir / "three.tvr", BuildArchive(files));
    // Room for the files and one MiB more: what the file system itself needs.
    const std::string size = "size=" + std::to_string((31 << 20) / 1024) + "k";
    if (mount("tovra-test", small.path().c_str(), "tmpfs", 0, size.c_str()) != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);
    }
    RunResult run = Unpack(small.path(), dir / "three.tvr");
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    ExpectExtracted(small.path(), files);
    EXPECT_EQ(umount(small.path().c_str()), 0);
}

}  // namespace
