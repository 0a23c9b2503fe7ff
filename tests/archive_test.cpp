// Archives through the built program: round trips, the same bytes with any number of
// threads, and streams of any zlib writer; damaged, truncated and hostile archives
// (the fuzzer's kept inputs among them); unsafe names, links and permissions; the
// room unpacking needs.
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <random>

#include "test_support.h"

namespace {

const char OLD[] = "a file that was here before";
constexpr int ANY = 1;  // a hostile input need only fail cleanly

// Unpacks archive in a fresh directory: exactly the entries must come out, with their
// content and time, and as any new file would (0640); err is all standard error.
void ExpectUnpacks(const std::string& archive, const std::vector<TestEntry>& entries,
                   const std::string& err = "") {
    ScratchDir dir;
    WriteFile(dir / "given.tvr", archive);
    auto expected = Snapshot(dir.path);
    for (const TestEntry& entry : entries) {
        expected[entry.name] = Digest(entry.content, 0640, entry.mtime);
    }
    RunResult run = RunTovra(dir, {"1", "given.tvr"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, err);
    EXPECT_EQ(run.out.substr(run.out.size() - 8), "100%\b\b\b\b");  // trailing bytes or not
    EXPECT_EQ(Snapshot(dir.path), expected);
}

// Packed with the row's number of workers, the files give the bytes one worker gives,
// in streams zlib alone reads, within 0.1% of what the build's pieces deflated in one go
// come to, and unpack as they were: sizes at the piece's edges, an incompressible
// piece, all zeros, and a period shorter than deflate's window (zlib's blocks compress
// it well only when each is primed with the data before it).
class RoundTrip : public testing::TestWithParam<const char*> {};
TEST_P(RoundTrip, Rows) {
    ScratchDir dir;
    const size_t piece = PACKING_PIECE;
    std::string periodic;
    while (periodic.size() < 2 * piece + 3) {
        periodic += SampleBytes(20000, 9, false);
    }
    // clang-format off
    const std::vector<TestEntry> files = {
        {"a", "", -100000000}, {"b", "x", INT32_MAX}, {"c", SampleBytes(piece - 1, 1), 0},
        {"d", SampleBytes(piece, 2)}, {"e", SampleBytes(piece + 1, 3, false)},
        {"f", SampleBytes(2 * piece, 4)}, {"g", SampleBytes(3 * piece - 1, 6)},
        {"h", std::string(2 * piece + 7, '\0')}, {"i", periodic}};
    // clang-format on
    std::vector<std::string> contents;
    size_t expected = 88 * (files.size() + 1);
    for (const TestEntry& file : files) {
        WriteFile(dir / file.name, file.content, file.mtime);
        contents.push_back(file.content);
        expected += PackedSize(file.content);
    }
    std::vector<std::string> archives;  // packed by one worker, then by the row's number
    for (const char* threads : {"1", GetParam()}) {
        ASSERT_EQ(RunTovra(dir, {"0", "out.tvr", "?"}, {threads}).status, 0) << threads;
        archives.push_back(ReadFile(dir / "out.tvr"));
    }
    EXPECT_TRUE(archives[1] == archives[0]) << "not the bytes one worker packs";
    EXPECT_TRUE(InflateStreams(archives[1]) == contents) << "streams zlib does not read back";
    EXPECT_LE(archives[1].size(), expected + expected / 1000);
    ExpectUnpacks(archives[1], files);
}
INSTANTIATE_TEST_SUITE_P(Archive, RoundTrip, testing::Values("1", "2", "5"),
                         [](const auto& info) { return std::string("threads_") + info.param; });

// Random sets of files of sizes at and about the edges where packing changes course
// (nothing, one byte, the largest file zlib deflates, one piece, two), text or noise,
// in a random order, a row per seed; the seeds take each edge through its offsets in
// turn. The same archive with 1, 2, 3 and 7 workers, every stream one that zlib alone
// reads, a file of one piece in exactly the stream its engine makes of it in one go,
// and every file back as it was through the program's own unpacking.
class AroundTheEdges : public testing::TestWithParam<uint32_t> {};
TEST_P(AroundTheEdges, Rows) {
    const uint32_t seed = GetParam();
    std::mt19937 random(seed);
    const size_t edges[] = {0, 1, ZLIB_FILE_LIMIT, PACKING_PIECE, 2 * PACKING_PIECE};
    std::string names = "abcdef";
    std::shuffle(names.begin(), names.end(), random);
    ScratchDir dir;
    std::vector<TestEntry> files;
    for (size_t k = 0; k < names.size(); ++k) {
        // On the edge, a byte either side, or a little further; the last file anywhere.
        const int64_t offsets[] = {0, -1, 1, int64_t(random() % 8192) - 4096};
        const size_t edge = k < 5 ? edges[k] : edges[random() % 5];
        const int64_t size = int64_t(edge) + offsets[k < 5 ? (seed + k) % 4 : random() % 4];
        const std::string name(1, names[k]);
        files.push_back(
            {name, SampleBytes(size_t(std::max<int64_t>(size, 0)), random(), random() % 3 != 0)});
        WriteFile(dir / name, files.back().content);
    }
    // In name order, as they are packed.
    std::sort(files.begin(), files.end(), [](auto& a, auto& b) { return a.name < b.name; });
    std::string packed;
    for (const char* threads : {"1", "2", "3", "7"}) {
        ASSERT_EQ(RunTovra(dir, {"0", "out.tvr", "?"}, {threads}).status, 0) << threads;
        const std::string archive = ReadFile(dir / "out.tvr");
        EXPECT_TRUE(packed.empty() || archive == packed) << threads << " workers pack otherwise";
        packed = archive;
    }
    const Streams streams = SplitStreams(packed);
    ASSERT_EQ(streams.contents.size(), files.size()) << "streams zlib does not read";
    for (size_t k = 0; k < files.size(); ++k) {
        const std::string& content = files[k].content;
        EXPECT_TRUE(streams.contents[k] == content) << files[k].name << " does not inflate back";
        EXPECT_TRUE(content.size() > PACKING_PIECE || streams.bytes[k] == OneShotStream(content))
            << files[k].name << " of " << content.size() << " bytes is not its engine's stream";
    }
    ExpectUnpacks(packed, files);
}
INSTANTIATE_TEST_SUITE_P(Archive, AroundTheEdges, testing::Values(1, 2, 3, 4),
                         [](const auto& info) { return "seed_" + std::to_string(info.param); });

// More files of a piece than there are jobs in flight with two workers: each goes
// through the ring in order, as one job, in the stream its engine makes of it.
TEST(Archive, FilesOfOnePieceEachOneJobInOrder) {
    ScratchDir dir;
    const std::string noise = SampleBytes(PACKING_PIECE, 5, false);
    std::vector<std::string> contents;
    for (int k = 0; k < 6; ++k) {
        contents.push_back(noise.substr(size_t(k) * 1000));
        WriteFile(dir / std::to_string(k), contents.back());
    }
    ASSERT_EQ(RunTovra(dir, {"0", "out.tvr", "?"}, {"2"}).status, 0);
    const Streams streams = SplitStreams(ReadFile(dir / "out.tvr"));
    EXPECT_TRUE(streams.contents == contents);
    for (size_t k = 0; k < streams.bytes.size(); ++k) {
        EXPECT_TRUE(streams.bytes[k] == OneShotStream(contents[k])) << k << " not one job";
    }
}

// A stream of another zlib writer unpacks, bytes after it aside. A row: its name, the
// writer's level and strategy.
class OtherWriter : public testing::TestWithParam<std::tuple<std::string, int, int>> {};
TEST_P(OtherWriter, Rows) {
    const auto& [name, level, strategy] = GetParam();
    const std::string content = SampleBytes(30000, level, level);
    ExpectUnpacks(Record(name, 30000) + TERMINATOR + ZlibStream(content, level, strategy) + "junk",
                  {{name, content}}, "tovra: given.tvr: 4 bytes after the last stream ignored\n");
}
// clang-format off
INSTANTIATE_TEST_SUITE_P(Archive, OtherWriter, testing::Values(
    std::tuple("stored", 0, Z_DEFAULT_STRATEGY), std::tuple("filtered", 1, Z_FILTERED),
    std::tuple("huffman_only", 9, Z_HUFFMAN_ONLY), std::tuple("rle", 6, Z_RLE), std::tuple("fixed", 6, Z_FIXED)),
    [](const auto& info) { return std::string(std::get<0>(info.param)); });
// clang-format on

// Damaged archives, each made from one sound one, then the fuzzer's kept inputs. A row:
// its name, the archive, the results of listing and of extracting it.
using DamageRow = std::tuple<std::string, std::string, int, int>;
std::vector<DamageRow> DamageRows() {
    // clang-format off
    const std::vector<TestEntry> entries = {
        {"s0", SampleBytes(34000, 1)}, {"s1", SampleBytes(34000, 2, false)}, {"s2", SampleBytes(34000, 3)}};
    // clang-format on
    const std::string sound = BuildArchive(entries);
    const size_t start1 = 4 * 88 + ZlibStream(entries[0].content).size();
    const size_t start2 = start1 + ZlibStream(entries[1].content).size();
    auto with = [&](size_t at, char c) { return sound.substr(0, at) + c + sound.substr(at + 1); };
    auto sized = [&](int n) { return sound.substr(0, 88) + Record("s1", n) + sound.substr(176); };
    std::string full;  // 1000 records, no terminator within the table
    for (int k = 0; k < 1000; ++k) {
        full += Record("f" + std::to_string(k), 0);
    }
    // 0xff at a block header is BFINAL=1 with the reserved type 3: invalid anywhere.
    // clang-format off
    std::vector<DamageRow> rows = {
        {"middle_stream_damaged", with(start1 + 2, '\xff'), 0, Z_DATA_ERROR},
        {"last_stream_damaged", with(start2 + 2, '\xff'), 0, Z_DATA_ERROR},
        {"wrong_check_value", with(start2 - 1, ~sound[start2 - 1]), 0, Z_DATA_ERROR},
        {"cut_inside_the_last_stream", sound.substr(0, sound.size() - 100), 0, Z_BUF_ERROR},
        {"a_stream_missing", Record("a", 3) + BuildArchive({{"b", "abc"}}), 0, Z_BUF_ERROR},
        {"record_one_byte_longer", sized(34001), 0, -8},
        {"record_one_byte_shorter", sized(33999), 0, -8},
        {"the_first_failure_counts", sized(34001).substr(0, sound.size() - 100), 0, -8},
        {"a_negative_size", Record("a", -2) + TERMINATOR + ZlibStream(""), 0, -8},
        {"no_terminator_within_the_table", full, -8, -8},
        {"directory_cut_short", sound.substr(0, 4 * 88 - 1), -8, -8}};
    // clang-format on
    for (const auto& item : std::filesystem::directory_iterator(TOVRA_FUZZ_REGRESSIONS)) {
        std::string name = "fuzz_" + item.path().filename().string();
        std::replace(name.begin(), name.end(), '-', '_');
        rows.push_back({name, ReadFile(item.path()), ANY, ANY});
    }
    return rows;
}

// Listed, then extracted, a damaged archive fails clearly, extracts nothing and
// writes nowhere else.
class Damage : public testing::TestWithParam<DamageRow> {};
TEST_P(Damage, Rows) {
    const auto& [name, archive, listed, extracted] = GetParam();
    ScratchDir dir;
    ScratchDir work(dir.path);
    WriteFile(dir / "archive.tvr", archive);
    WriteFile(work / "s1", OLD);
    const auto before = Snapshot(work.path);
    for (const auto& [mode, expected] : {std::pair{"2", listed}, std::pair{"1", extracted}}) {
        RunResult run = RunTovra(work, {mode, "../archive.tvr"});
        // A failure shows its code and names its cause, and extracts nothing.
        const bool shown =
            run.out.find("\nError " + std::to_string(run.status - 256)) != std::string::npos ||
            run.out.find("\nCannot find") != std::string::npos;
        EXPECT_TRUE(expected == ANY ? run.status < 256 : run.status == StatusOf(expected))
            << "mode " << mode << " ended with status " << run.status;
        EXPECT_TRUE(run.status == 0 || shown) << "mode " << mode << " showed " << run.out;
        EXPECT_TRUE(run.status == 0 || !run.err.empty()) << "mode " << mode << " noted nothing";
        EXPECT_TRUE(run.status == 0 || Snapshot(work.path) == before)
            << "mode " << mode << " extracted something";
    }
    EXPECT_EQ(Snapshot(dir.path).size(), 2u);
    EXPECT_TRUE(ReadFile(dir / "archive.tvr") == archive) << "the archive changed";
}
INSTANTIATE_TEST_SUITE_P(Archive, Damage, testing::ValuesIn(DamageRows()),
                         [](const auto& info) { return std::get<0>(info.param); });

TEST(Archive, UnsafeNamesTheArchiveItselfAndADirectoryInTheWayExtractNothing) {
    ScratchDir outside, parent;
    ScratchDir dir(parent.path);
    // What the refused names point at exists, so any write to it would show.
    ASSERT_EQ(mkdir((dir / "a").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "taken").c_str(), 0755), 0);
    for (const std::string& path : {parent / "x", outside / "x", dir / "a/b", outside / "t"}) {
        WriteFile(path, OLD);
    }
    ASSERT_EQ(symlink((outside / "t").c_str(), (dir / "linked").c_str()), 0);
    ASSERT_EQ(symlink((outside / "missing").c_str(), (dir / "dangling").c_str()), 0);
    // Private, and another user's when the tests run as root.
    WriteFile(dir / "private", OLD);
    ASSERT_EQ(chmod((dir / "private").c_str(), 0600), 0);
    ASSERT_TRUE(geteuid() != 0 || chown((dir / "private").c_str(), NOBODY, NOBODY) == 0);
    // clang-format off
    const std::vector<TestEntry> written = {{"linked", "new"}, {"dangling", "also new"}, {"private", SampleBytes(15000, 31)}};
    std::vector<TestEntry> entries = {{"taken", "in the way"}, {"some.tvr", "not me"}, {"../x", "refused"},
        {outside / "x", "refused"}, {"a/b", "refused"}, {"..", "refused"}, {".", "refused"}, {"", "refused"}};
    // clang-format on
    entries.insert(entries.end(), written.begin(), written.end());
    WriteFile(dir / "some.tvr", BuildArchive(entries));
    WriteFile(parent / "sound.tvr", BuildArchive(written));
    const auto outsideBefore = Snapshot(outside.path), parentBefore = Snapshot(parent.path);
    auto expected = Snapshot(dir.path);

    RunResult run = RunTovra(dir, {"1", "some.tvr"});
    EXPECT_EQ(run.status, 246) << run.err;  // the first refusal's: the directory in the way
    for (const char* line :
         {"tovra: taken: ", "tovra: some.tvr: is the archive being unpacked", "tovra: ../x: unsafe",
          "tovra: ..: unsafe", "tovra: (empty name): unsafe"}) {
        EXPECT_NE(run.err.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(Snapshot(dir.path), expected);
    EXPECT_EQ(ReadFile(dir / "a/b"), OLD);
    EXPECT_EQ(Snapshot(outside.path), outsideBefore);
    EXPECT_EQ(Snapshot(parent.path), parentBefore);
    // The same entries alone replace the links themselves, and the private file keeps its
    // mode and owner.
    EXPECT_EQ(RunTovra(dir, {"1", "../sound.tvr"}).status, 0);
    for (const TestEntry& entry : written) {
        expected[entry.name] =
            Digest(entry.content, entry.name == "private" ? 0600 : 0640, SOME_TIME);
    }
    EXPECT_EQ(Snapshot(dir.path), expected);
    EXPECT_EQ(Snapshot(outside.path), outsideBefore);
    struct stat st;
    ASSERT_EQ(stat((dir / "private").c_str(), &st), 0);
    EXPECT_TRUE(geteuid() != 0 || st.st_uid == NOBODY) << "owner " << st.st_uid;
}

// Files of 30 MiB in all: three of many chunks, inflated on two cores, or ten of one
// chunk each, inflated ahead of the thread that writes them.
class UnpackingRoom : public testing::TestWithParam<int> {};
TEST_P(UnpackingRoom, NeedsNoMoreThanTheFilesItRestores) {
    ScratchDir dir, small;
    std::vector<TestEntry> files;
    const int count = GetParam();
    for (int k = 0; k < count; ++k) {
        const std::string name(1, char('a' + k));
        files.push_back({name, SampleBytes((30 << 20) / count, uint32_t(k), false)});
    }
    WriteFile(dir / "files.tvr", BuildArchive(files, 0));  // noise: stored either way
    // Room for the files and one MiB more: what the file system itself needs.
    if (mount("tovra-test", small.path.c_str(), "tmpfs", 0, "size=31744k") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);
    }
    EXPECT_EQ(RunTovra(small, {"1", dir / "files.tvr"}).status, 0);
    for (const TestEntry& file : files) {
        EXPECT_TRUE(ReadFile(small / file.name) == file.content) << file.name;
        std::filesystem::remove(small / file.name);
    }
    // A stream inflated again after a failure overwrites what it wrote: still room.
    std::string damaged = ReadFile(dir / "files.tvr");
    damaged.back() = char(damaged.back() ^ 1);
    WriteFile(dir / "damaged.tvr", damaged);
    EXPECT_EQ(RunTovra(small, {"1", dir / "damaged.tvr"}).status, StatusOf(Z_DATA_ERROR));
    EXPECT_EQ(umount(small.path.c_str()), 0);
}
INSTANTIATE_TEST_SUITE_P(Archive, UnpackingRoom, testing::Values(3, 10), [](const auto& info) {
    return info.param == 3 ? "three_files_of_many_chunks" : "ten_files_of_one_chunk";
});

}  // namespace
