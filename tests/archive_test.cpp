// Archives through the built program: round trips, the same bytes with any number of
// threads, and streams of any zlib writer; damaged, truncated and hostile archives
// (the fuzzer's kept inputs among them); unsafe names, links and permissions; the
// room unpacking needs.
#include <sys/mount.h>

#include <cerrno>
#include <filesystem>

#include "test_support.h"

namespace {

const char OLD[] = "a file that was here before";
constexpr int ANY = 1;  // a hostile input need only fail cleanly

RunResult Pack(const std::string& cwd, const std::string& archive, const std::string& pattern,
               const std::string& threads = "TOVRA_THREADS=2") {
    return RunTovra({"0", archive, pattern}, {cwd, "/dev/null", "UTC", "", {threads}});
}

// Whether path holds content, with the given time and permission bits.
bool Holds(const std::string& path, const std::string& content, int64_t mtime, mode_t mode) {
    struct stat st;
    return ReadFile(path) == content && stat(path.c_str(), &st) == 0 && st.st_mtime == mtime &&
           (st.st_mode & 07777) == mode;
}

// Unpacks archive into a fresh directory with the umask 027: exactly the entries must
// come out, with their content and time, and as any new file would; err is all stderr.
void ExpectUnpacks(const std::string& archive, const std::vector<TestEntry>& entries,
                   const std::string& err = "") {
    ScratchDir dir;
    WriteFile(dir / "given.tvr", archive);
    const mode_t saved = umask(027);
    RunResult run = RunTovra({"1", "given.tvr"}, {dir.path()});
    umask(saved);
    EXPECT_TRUE(run.status == 0 && run.err == err) << run.err;
    EXPECT_EQ(run.out.substr(run.out.size() - 8), "100%\b\b\b\b");  // trailing bytes or not
    EXPECT_EQ(dir.Snapshot().size(), entries.size() + 1);
    for (const TestEntry& entry : entries) {
        EXPECT_TRUE(Holds(dir / entry.name, entry.content, entry.mtime, 0640)) << entry.name;
    }
}

TEST(Archive, RoundTripsAreTheSameBytesWithAnyThreadsAndAnyZlibWriterUnpacks) {
    ScratchDir dir;
    const size_t block = 256 * 1024;  // the pieces packing cuts the work into
    // A period shorter than deflate's window: blocks compress well only when each is
    // primed with the data before it.
    std::string periodic;
    while (periodic.size() < 6 * block) {
        periodic += SampleBytes(20000, 9, false);
    }
    const std::vector<TestEntry> files = {{"a", "", -100000000},
                                          {"b", "x", INT32_MAX},
                                          {"c", SampleBytes(block - 1, 1), 0},
                                          {"d", SampleBytes(block, 2)},
                                          {"e", SampleBytes(block + 1, 3, false)},
                                          {"f", SampleBytes(5 * block + 77, 4)},
                                          {"g", periodic}};
    std::vector<std::string> contents;
    size_t oneShot = 88 * (files.size() + 1);
    for (const TestEntry& file : files) {
        WriteFile(dir / file.name, file.content, file.mtime);
        contents.push_back(file.content);
        oneShot += ZlibStream(file.content).size();
    }
    std::string first;
    for (const char* threads : {"TOVRA_THREADS=1", "TOVRA_THREADS=2", "TOVRA_THREADS=5"}) {
        ASSERT_EQ(Pack(dir.path(), "out.tvr", "?", threads).status, 0) << threads;
        const std::string archive = ReadFile(dir / "out.tvr");
        EXPECT_TRUE((first.empty() || archive == first) && InflateStreams(archive) == contents);
        EXPECT_LE(archive.size(), oneShot + oneShot / 1000) << threads;
        first = archive;
    }
    ExpectUnpacks(first, files);
    // Streams of other writers and settings, then bytes after the last stream.
    const int writers[][2] = {
        {0, Z_DEFAULT_STRATEGY}, {1, Z_FILTERED}, {9, Z_HUFFMAN_ONLY}, {6, Z_RLE}, {6, Z_FIXED}};
    std::string records, streams;
    std::vector<TestEntry> others;
    for (const auto& [level, strategy] : writers) {
        others.push_back(
            {"w" + std::to_string(level + strategy), SampleBytes(30000, level, level)});
        records += Record(others.back().name, 30000);
        streams += ZlibStream(others.back().content, level, strategy);
    }
    ExpectUnpacks(records + Terminator() + streams + "junk", others,
                  "tovra: given.tvr: 4 bytes after the last stream ignored\n");
}

TEST(Archive, DamageFailsClearlyExtractsNothingAndWritesOnlyHere) {
    const std::vector<TestEntry> entries = {{"s0", SampleBytes(34000, 1)},
                                            {"s1", SampleBytes(34000, 2, false)},
                                            {"s2", SampleBytes(34000, 3)}};
    const std::string sound = BuildArchive(entries);
    const size_t start1 = 4 * 88 + ZlibStream(entries[0].content).size();
    const size_t start2 = start1 + ZlibStream(entries[1].content).size();
    auto with = [&](size_t at, char c) { return sound.substr(0, at) + c + sound.substr(at + 1); };
    auto sized = [&](int32_t n) {
        return sound.substr(0, 88) + Record("s1", n) + sound.substr(176);
    };
    std::string full;  // 1000 records, no terminator within the table
    for (int k = 0; k < 1000; ++k) {
        full += Record("f" + std::to_string(k), 0);
    }
    // What, the archive, the results of listing and of extracting it. 0xff at a block
    // header is BFINAL=1 with the reserved type 3: invalid anywhere.
    std::vector<std::tuple<std::string, std::string, int, int>> cases = {
        {"middle stream damaged", with(start1 + 2, '\xff'), 0, Z_DATA_ERROR},
        {"last stream damaged", with(start2 + 2, '\xff'), 0, Z_DATA_ERROR},
        {"wrong check value", with(start2 - 1, ~sound[start2 - 1]), 0, Z_DATA_ERROR},
        {"cut inside the last stream", sound.substr(0, sound.size() - 100), 0, Z_BUF_ERROR},
        {"a stream missing", Record("a", 3) + BuildArchive({{"b", "abc"}}), 0, Z_BUF_ERROR},
        {"record one byte longer", sized(34001), 0, -8},
        {"record one byte shorter", sized(33999), 0, -8},
        {"the first failure counts", sized(34001).substr(0, sound.size() - 100), 0, -8},
        {"a negative size", Record("a", -2) + Terminator() + ZlibStream(""), 0, -8},
        {"no terminator within the table", full, -8, -8},
        {"directory cut short", sound.substr(0, 4 * 88 - 1), -8, -8}};
    for (const auto& item : std::filesystem::directory_iterator(TOVRA_FUZZ_REGRESSIONS)) {
        cases.emplace_back(item.path(), ReadFile(item.path()), ANY, ANY);
    }
    for (const auto& [what, archive, listed, extracted] : cases) {
        SCOPED_TRACE(what);
        ScratchDir dir;
        ScratchDir work(dir.path());
        WriteFile(dir / "archive.tvr", archive);
        WriteFile(work / "s1", OLD);
        const auto before = work.Snapshot();
        for (const auto& [mode, expected] : {std::pair{"2", listed}, std::pair{"1", extracted}}) {
            RunResult run = RunTovra({mode, "../archive.tvr"}, {work.path()});
            // A failure shows its code and names its cause; a kept input may hold sound
            // entries beside refused ones, and only those are extracted then.
            const std::string code = std::to_string(run.status - 256);
            const bool shown = run.out.find("\nError " + code) != std::string::npos ||
                               run.out.find("\nCannot find") != std::string::npos;
            EXPECT_TRUE(expected == ANY ? run.status < 256 : run.status == StatusOf(expected));
            EXPECT_TRUE(run.status == 0 || (shown && !run.err.empty())) << run.out << run.err;
            EXPECT_TRUE(expected == ANY || run.status == 0 || work.Snapshot() == before) << mode;
        }
        EXPECT_TRUE(dir.Snapshot().size() == 2 && ReadFile(dir / "archive.tvr") == archive);
    }
}

TEST(Archive, UnsafeNamesTheArchiveItselfAndADirectoryInTheWayAreRefusedAlone) {
    ScratchDir outside, parent;
    ScratchDir dir(parent.path());
    // What the refused names point at exists, so any write to it would show.
    const std::vector<std::string> targets = {parent / "x", outside / "x", dir / "a/b",
                                              outside / "t"};
    ASSERT_TRUE(mkdir((dir / "a").c_str(), 0755) == 0 && mkdir((dir / "taken").c_str(), 0755) == 0);
    for (const std::string& path : targets) {
        WriteFile(path, OLD);
    }
    ASSERT_TRUE(symlink((outside / "t").c_str(), (dir / "linked").c_str()) == 0 &&
                symlink((outside / "missing").c_str(), (dir / "dangling").c_str()) == 0);
    // Private, and another user's when the tests run as root.
    WriteFile(dir / "private", OLD);
    const bool root = geteuid() == 0;
    ASSERT_TRUE(chmod((dir / "private").c_str(), 0600) == 0 &&
                (!root || chown((dir / "private").c_str(), NOBODY, NOBODY) == 0));
    const std::vector<TestEntry> written = {
        {"linked", "new"}, {"dangling", "also new"}, {"private", SampleBytes(15000, 31)}};
    std::vector<TestEntry> entries = {{"taken", "in the way"}, {"some.tvr", "not me"}};
    for (const char* name : {"../x", targets[1].c_str(), "a/b", "..", ".", ""}) {
        entries.push_back({name, "refused"});
    }
    entries.insert(entries.end(), written.begin(), written.end());
    WriteFile(dir / "some.tvr", BuildArchive(entries));

    const mode_t saved = umask(027);
    RunResult run = RunTovra({"1", "some.tvr"}, {dir.path()});
    umask(saved);
    EXPECT_EQ(run.status, 248) << run.err;
    for (const char* line :
         {"tovra: taken: ", "tovra: some.tvr: is the archive being unpacked", "tovra: ../x: unsafe",
          "tovra: ..: unsafe", "tovra: (empty name): unsafe"}) {
        EXPECT_NE(run.err.find(line), std::string::npos) << line;
    }
    for (const TestEntry& entry : written) {  // the private file keeps its mode and owner
        EXPECT_TRUE(
            Holds(dir / entry.name, entry.content, SOME_TIME, entry.name[0] == 'p' ? 0600 : 0640));
    }
    struct stat st;
    EXPECT_TRUE(stat((dir / "private").c_str(), &st) == 0 && (!root || st.st_uid == NOBODY));
    for (const std::string& path : targets) {
        EXPECT_EQ(ReadFile(path), OLD) << path;
    }
    EXPECT_TRUE(ReadFile(dir / "some.tvr") == BuildArchive(entries) &&
                outside.Snapshot().size() + parent.Snapshot().size() == 4);
    EXPECT_EQ(dir.Snapshot().size(), 6u);  // a, dangling, linked, private, some.tvr, taken
}

TEST(Archive, UnpackingNeedsNoMoreRoomThanTheFilesItRestores) {
    ScratchDir dir, small;
    std::vector<TestEntry> files;
    for (const char* name : {"a", "b", "c"}) {
        files.push_back({name, SampleBytes(10 << 20, name[0], false)});
    }
    WriteFile(dir / "three.tvr", BuildArchive(files));
    // Room for the files and one MiB more: what the file system itself needs.
    if (mount("tovra-test", small.path().c_str(), "tmpfs", 0, "size=31744k") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);
    }
    EXPECT_EQ(RunTovra({"1", dir / "three.tvr"}, {small.path()}).status, 0);
    for (const TestEntry& file : files) {
        EXPECT_TRUE(ReadFile(small / file.name) == file.content) << file.name;
    }
    EXPECT_EQ(umount(small.path().c_str()), 0);
}

}  // namespace
