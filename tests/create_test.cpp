// Packing through the built program: which files a name or pattern takes, the bytes
// of the archive it writes, the format's limits, and what a failed run leaves behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

constexpr int STATUS_NOTHING_MATCHED = 255;  // -1
constexpr int STATUS_LIMIT = 247;            // -9
constexpr int STATUS_OPEN = 246;             // -10
constexpr int32_t SOME_TIME = 1234567890;
constexpr int64_t TWO_GIB = int64_t{1} << 31;
const char PREVIOUS_ARCHIVE[] = "an archive from an earlier run";

RunResult Pack(const std::string& cwd, const std::string& archive, const std::string& pattern,
               bool unprivileged = false) {
    RunOptions options;
    options.cwd = cwd;
    options.unprivileged = unprivileged;
    return RunTovra({"0", archive, pattern}, options);
}

RunResult List(const std::string& cwd, const std::string& archive) {
    RunOptions options;
    options.cwd = cwd;
    return RunTovra({"2", archive}, options);
}

// Writes a file with a fixed last-write time, so that archives can be predicted.
void MakeFile(const std::string& path, const std::string& content, int32_t mtime = SOME_TIME) {
    WriteFile(path, content);
    SetMtime(path, mtime);
}

// The archive that the named files of dir, in this order, must pack into.
std::string ExpectedArchive(const std::string& dir, const std::vector<std::string>& names) {
    std::vector<TestEntry> entries;
    for (const std::string& name : names) {
        std::string path = dir + "/" + name;
        entries.push_back({name, ReadFile(path), static_cast<int32_t>(MtimeOf(path))});
    }
    return BuildArchive(entries);
}

// The lines of a listing after its heading.
std::vector<std::string> ListedLines(const std::string& out, const std::string& archive) {
    std::string heading = "\nContents of " + archive + ":";
    size_t start = out.find(heading);
    EXPECT_NE(start, std::string::npos) << out;
    std::vector<std::string> lines;
    if (start == std::string::npos) {
        return lines;
    }
    size_t pos = start + heading.size();
    while (pos < out.size()) {
        EXPECT_EQ(out[pos], '\n');
        size_t next = out.find('\n', pos + 1);
        lines.push_back(out.substr(pos + 1, next == std::string::npos ? next : next - pos - 1));
        pos = next;
    }
    return lines;
}

std::string Padded20(const std::string& name) {
    return name + std::string(20 - name.size(), ' ');
}

std::string CompressedAtLevel6(const std::string& data) {
    uLongf size = compressBound(data.size());
    std::string out(size, '\0');
    EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(&out[0]), &size,
                        reinterpret_cast<const Bytef*>(data.data()), data.size(), 6),
              Z_OK);
    out.resize(size);
    return out;
}

TEST(Creation, PatternTakesFilesInByteOrderAndSkipsDirectories) {
    ScratchDir dir;
    // Created out of order: the archive must not depend on the directory's own order.
    MakeFile(dir / "d.dat", SampleBytes(5000, 4));
    MakeFile(dir / "b.dat", SampleBytes(300, 2), SOME_TIME + 2);
    MakeFile(dir / "a.dat", SampleBytes(9000, 1, false), SOME_TIME + 1);
    MakeFile(dir / "Z.dat", "capital letters sort first");
    MakeFile(dir / "a.txt", "not matched");
    ASSERT_EQ(mkdir((dir / "c.dat").c_str(), 0755), 0);

    RunResult run = Pack(dir.path(), "a.arc", "*.dat");
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    std::vector<std::string> packed = {"Z.dat", "a.dat", "b.dat", "d.dat"};
    EXPECT_EQ(ReadFile(dir / "a.arc"), ExpectedArchive(dir.path(), packed));
    EXPECT_TRUE(TempFilesIn(dir.path()).empty());

    RunResult list = List(dir.path(), "a.arc");
    ASSERT_EQ(list.status, 0);
    std::vector<std::string> lines = ListedLines(list.out, "a.arc");
    ASSERT_EQ(lines.size(), packed.size()) << list.out;
    for (size_t i = 0; i < packed.size(); ++i) {
        EXPECT_EQ(lines[i].substr(0, 21), Padded20(packed[i]) + " ") << lines[i];
    }
}

TEST(Creation, WildcardsMatchLikeTheShell) {
    ScratchDir dir;
    for (const char* name : {"a.dat", "b.dat", "c.dat", "ab.dat", "A.DAT", ".hidden.dat"}) {
        MakeFile(dir / name, name);
    }
    struct Case {
        const char* pattern;
        std::vector<std::string> packed;
    };
    const Case cases[] = {
        {"[ab].dat", {"a.dat", "b.dat"}},
        {"?.dat", {"a.dat", "b.dat", "c.dat"}},
        {"*.DAT", {"A.DAT"}},
        {"*", {"A.DAT", "a.dat", "ab.dat", "b.dat", "c.dat"}},
        // Named outright, a leading-dot file is an ordinary file.
        {".hidden.dat", {".hidden.dat"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        RunResult run = Pack(dir.path(), "out.arc", c.pattern);
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_EQ(ReadFile(dir / "out.arc"), ExpectedArchive(dir.path(), c.packed));
        ASSERT_EQ(unlink((dir / "out.arc").c_str()), 0);
    }
}

TEST(Creation, ArchiveNamedLikeAMatchIsNeverPacked) {
    ScratchDir dir;
    MakeFile(dir / "one.dat", "first");
    MakeFile(dir / "two.dat", "second");
    std::string expected = ExpectedArchive(dir.path(), {"one.dat", "two.dat"});

    RunResult fresh = Pack(dir.path(), "all.dat", "*.dat");
    ASSERT_EQ(fresh.status, 0) << fresh.out << fresh.err;
    EXPECT_EQ(ReadFile(dir / "all.dat"), expected);

    RunResult again = Pack(dir.path(), "all.dat", "*.dat");
    ASSERT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_EQ(ReadFile(dir / "all.dat"), expected);
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"all.dat", "one.dat", "two.dat"}));
}

TEST(Creation, OnlyMatchBeingTheArchiveUpperCasedPacksNothing) {
    ScratchDir dir;
    MakeFile(dir / "a.arc", "looks like the archive");

    RunResult run = Pack(dir.path(), "A.ARC", "a.arc");
    EXPECT_EQ(run.status, STATUS_NOTHING_MATCHED);
    EXPECT_NE(run.out.find("\nCannot find file(s): A.ARC"), std::string::npos) << run.out;
    EXPECT_EQ(dir.List(), std::vector<std::string>{"a.arc"});
    EXPECT_EQ(ReadFile(dir / "a.arc"), "looks like the archive");
}

TEST(Creation, SingleNamePacksJustThatFile) {
    ScratchDir dir;
    MakeFile(dir / "x.txt", "x");
    MakeFile(dir / "y.txt", SampleBytes(20000, 7));

    RunResult run = Pack(dir.path(), "out.arc", "y.txt");
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(ReadFile(dir / "out.arc"), ExpectedArchive(dir.path(), {"y.txt"}));
}

TEST(Creation, DirectoryPartIsDroppedFromStoredNames) {
    ScratchDir dir;
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    MakeFile(dir / "sub/one.txt", "one");
    MakeFile(dir / "sub/two.txt", SampleBytes(7000, 3));
    MakeFile(dir / "sub/other.dat", "not matched");
    MakeFile(dir / "top.txt", "not in sub");

    RunResult run = Pack(dir.path(), "out.arc", "sub/*.txt");
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(ReadFile(dir / "out.arc"), ExpectedArchive(dir / "sub", {"one.txt", "two.txt"}));

    RunResult absolute = Pack(dir.path(), "abs.arc", dir / "sub/*.txt");
    ASSERT_EQ(absolute.status, 0) << absolute.out << absolute.err;
    EXPECT_EQ(ReadFile(dir / "abs.arc"), ReadFile(dir / "out.arc"));
}

TEST(Creation, ArchiveInsideThePatternsDirectoryIsSkippedByIdentity) {
    ScratchDir dir;
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    MakeFile(dir / "sub/one.txt", "one");
    MakeFile(dir / "sub/two.txt", "two");
    std::string expected = ExpectedArchive(dir / "sub", {"one.txt", "two.txt"});

    // Its name with the directory part never equals a bare name; only its identity tells.
    RunResult fresh = Pack(dir.path(), "sub/all.arc", "sub/*");
    ASSERT_EQ(fresh.status, 0) << fresh.out << fresh.err;
    EXPECT_EQ(ReadFile(dir / "sub/all.arc"), expected);

    RunResult again = Pack(dir.path(), "sub/all.arc", "sub/*");
    ASSERT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_EQ(ReadFile(dir / "sub/all.arc"), expected);

    RunResult roundabout = Pack(dir.path(), "./sub/../sub/all.arc", "sub/*");
    ASSERT_EQ(roundabout.status, 0) << roundabout.out << roundabout.err;
    EXPECT_EQ(ReadFile(dir / "sub/all.arc"), expected);
    EXPECT_TRUE(TempFilesIn(dir / "sub").empty());
}

TEST(Creation, ArchiveThatIsALinkReplacesTheLinkAndPacksItsTarget) {
    ScratchDir dir;
    MakeFile(dir / "a.dat", "alpha");
    MakeFile(dir / "b.dat", "beta");
    ASSERT_EQ(symlink("a.dat", (dir / "out.arc").c_str()), 0);

    // The rename replaces the link, so its target is an ordinary input here.
    RunResult run = Pack(dir.path(), "out.arc", "*.dat");
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(ReadFile(dir / "out.arc"), ExpectedArchive(dir.path(), {"a.dat", "b.dat"}));
    EXPECT_EQ(ReadFile(dir / "a.dat"), "alpha");
}

TEST(Creation, PatternNamingADirectoryMatchesNothing) {
    ScratchDir dir;
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    MakeFile(dir / "sub/inside.txt", "inside");

    for (const char* pattern : {"sub", "sub/"}) {
        SCOPED_TRACE(pattern);
        RunResult run = Pack(dir.path(), "out.arc", pattern);
        EXPECT_EQ(run.status, STATUS_NOTHING_MATCHED);
        EXPECT_NE(run.out.find("\nCannot find file(s): out.arc"), std::string::npos) << run.out;
        EXPECT_EQ(dir.List(), std::vector<std::string>{"sub"});
    }
}

TEST(Creation, EmptyFileIsARecordOfSizeZeroAndAnEmptyStream) {
    ScratchDir dir;
    MakeFile(dir / "empty", "");

    RunResult run = Pack(dir.path(), "out.arc", "empty");
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    std::string archive = ReadFile(dir / "out.arc");
    EXPECT_EQ(archive, Record("empty", 0, SOME_TIME) + Terminator() + CompressedAtLevel6(""));
}

TEST(Creation, OnlyRegularFilesAndLinksToThemArePacked) {
    ScratchDir dir;
    MakeFile(dir / "a.dat", "regular");
    ASSERT_EQ(mkfifo((dir / "fifo.dat").c_str(), 0644), 0);
    ASSERT_EQ(symlink("a.dat", (dir / "link.dat").c_str()), 0);
    ASSERT_EQ(symlink("missing.dat", (dir / "gone.dat").c_str()), 0);

    RunOptions options;
    options.cwd = dir.path();
    options.timeoutSeconds = 20;  // a run that opened the FIFO would wait here for ever
    RunResult run = RunTovra({"0", "out.arc", "*.dat"}, options);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    // The link is packed under its own name with what it points to.
    std::string expected =
        BuildArchive({{"a.dat", "regular", SOME_TIME}, {"link.dat", "regular", SOME_TIME}});
    EXPECT_EQ(ReadFile(dir / "out.arc"), expected);

    RunResult fifoByName = RunTovra({"0", "fifo.arc", "fifo.dat"}, options);
    EXPECT_EQ(fifoByName.status, STATUS_NOTHING_MATCHED);
    EXPECT_FALSE(Exists(dir / "fifo.arc"));
}

TEST(Creation, OneFileArchiveHasExactBytes) {
    ScratchDir dir;
    MakeFile(dir / "a.txt", "abc", SOME_TIME);

    RunResult run = Pack(dir.path(), "a.arc", "a.txt");
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    std::string archive = ReadFile(dir / "a.arc");
    std::string stream = CompressedAtLevel6("abc");
    ASSERT_EQ(archive.size(), 176 + stream.size());
    EXPECT_EQ(archive.substr(0, 5), "a.txt");
    EXPECT_EQ(archive.substr(5, 75), std::string(75, '\0'));
    EXPECT_EQ(archive.substr(80, 4), std::string("\x03\0\0\0", 4));
    EXPECT_EQ(archive.substr(84, 4), std::string("\xd2\x02\x96\x49", 4));  // 1234567890
    EXPECT_EQ(archive.substr(88, 80), std::string(80, '\0'));
    EXPECT_EQ(archive.substr(168, 4), "\xff\xff\xff\xff");
    EXPECT_EQ(archive.substr(172, 4), std::string(4, '\0'));
    EXPECT_EQ(archive.substr(176, 2), "\x78\x9c");
    EXPECT_EQ(archive.substr(176), stream);
}

TEST(Creation, SameFilesGiveTheSameArchive) {
    ScratchDir first;
    ScratchDir second;
    const std::vector<std::string> names = {"c.bin", "b.txt", "a.txt"};
    for (size_t i = 0; i < names.size(); ++i) {
        MakeFile(first / names[i], SampleBytes(3000 * (i + 1), static_cast<uint32_t>(i)));
    }
    // The same files created in the opposite order elsewhere.
    for (size_t i = names.size(); i-- > 0;) {
        MakeFile(second / names[i], SampleBytes(3000 * (i + 1), static_cast<uint32_t>(i)));
    }

    ASSERT_EQ(Pack(first.path(), "one.arc", "[abc].*").status, 0);
    ASSERT_EQ(Pack(first.path(), "two.arc", "[abc].*").status, 0);
    ASSERT_EQ(Pack(second.path(), "one.arc", "[abc].*").status, 0);
    std::string archive = ReadFile(first / "one.arc");
    EXPECT_TRUE(ReadFile(first / "two.arc") == archive);
    EXPECT_TRUE(ReadFile(second / "one.arc") == archive);
    EXPECT_TRUE(archive == ExpectedArchive(first.path(), {"a.txt", "b.txt", "c.bin"}));
}

// Packs "*" into out.arc twice, without and then over an existing archive, and checks
// that each run fails on the format's limit, names the offending file, and leaves the
// directory as it was.
void ExpectLimitFailure(const ScratchDir& dir, const std::string& offender) {
    std::vector<std::string> before = dir.List();
    RunResult run = Pack(dir.path(), "out.arc", "*");
    EXPECT_EQ(run.status, STATUS_LIMIT) << run.out << run.err;
    EXPECT_NE(run.out.find("\nError -9 in tovraping out.arc"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find(offender), std::string::npos) << run.err;
    EXPECT_EQ(dir.List(), before);

    WriteFile(dir / "out.arc", PREVIOUS_ARCHIVE);
    before = dir.List();
    RunResult over = Pack(dir.path(), "out.arc", "*");
    EXPECT_EQ(over.status, STATUS_LIMIT) << over.out << over.err;
    EXPECT_EQ(ReadFile(dir / "out.arc"), PREVIOUS_ARCHIVE);
    EXPECT_EQ(dir.List(), before);
}

TEST(CreationLimits, NameOf79BytesFitsAndOf80Fails) {
    ScratchDir dir;
    std::string longest = std::string(75, 'n') + ".txt";
    MakeFile(dir / longest, "fits");
    ASSERT_EQ(Pack(dir.path(), "out.arc", longest).status, 0);
    EXPECT_EQ(ReadFile(dir / "out.arc"), ExpectedArchive(dir.path(), {longest}));
    ASSERT_EQ(unlink((dir / "out.arc").c_str()), 0);

    std::string tooLong = std::string(76, 'n') + ".txt";
    MakeFile(dir / tooLong, "does not fit");
    ExpectLimitFailure(dir, tooLong);
}

TEST(CreationLimits, AtMost999Files) {
    ScratchDir dir;
    char name[16];
    for (int i = 0; i < 999; ++i) {
        snprintf(name, sizeof name, "f%03d", i);
        MakeFile(dir / name, "");
    }
    ASSERT_EQ(Pack(dir.path(), "out.arc", "f*").status, 0);
    EXPECT_EQ(ReadFile(dir / "out.arc").size(), 88u * 1000 + 999 * CompressedAtLevel6("").size());
    ASSERT_EQ(unlink((dir / "out.arc").c_str()), 0);

    MakeFile(dir / "g1000", "");
    ExpectLimitFailure(dir, "g1000");
}

TEST(CreationLimits, FileOfTwoGibibytesFails) {
    ScratchDir dir;
    MakeFile(dir / "small", "small");
    // Sparse: the run must refuse it from its length alone, before reading it.
    WriteFile(dir / "huge", "");
    ASSERT_EQ(truncate((dir / "huge").c_str(), TWO_GIB), 0);
    ExpectLimitFailure(dir, "huge");
}

TEST(Creation, UnreadableSourceFailsAndKeepsTheOldArchive) {
    ScratchDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    MakeFile(dir / "a.txt", "readable");
    MakeFile(dir / "b.txt", "unreadable");
    ASSERT_EQ(chmod((dir / "b.txt").c_str(), 0), 0);

    RunResult fresh = Pack(dir.path(), "out.arc", "*.txt", true);
    EXPECT_EQ(fresh.status, STATUS_OPEN) << fresh.out << fresh.err;
    EXPECT_NE(fresh.out.find("\nError -10 in tovraping out.arc"), std::string::npos) << fresh.out;
    EXPECT_NE(fresh.err.find("b.txt"), std::string::npos) << fresh.err;
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"a.txt", "b.txt"}));

    WriteFile(dir / "out.arc", PREVIOUS_ARCHIVE);
    RunResult over = Pack(dir.path(), "out.arc", "*.txt", true);
    EXPECT_EQ(over.status, STATUS_OPEN) << over.out << over.err;
    EXPECT_EQ(ReadFile(dir / "out.arc"), PREVIOUS_ARCHIVE);
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"a.txt", "b.txt", "out.arc"}));
}

TEST(Creation, ArchiveThatCannotBeCreatedFailsNamingIt) {
    ScratchDir dir;
    MakeFile(dir / "a.txt", "source");
    ASSERT_EQ(mkdir((dir / "locked").c_str(), 0555), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);

    RunResult run = Pack(dir.path(), "locked/out.arc", "a.txt", true);
    EXPECT_EQ(run.status, STATUS_OPEN) << run.out << run.err;
    EXPECT_NE(run.err.find("locked/out.arc"), std::string::npos) << run.err;
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"a.txt", "locked"}));
    EXPECT_TRUE(TempFilesIn(dir / "locked").empty());
}

TEST(Creation, ArchiveGetsTheUsualPermissions) {
    ScratchDir dir;
    MakeFile(dir / "a.txt", "source");
    for (mode_t mask : {mode_t{022}, mode_t{027}, mode_t{0}}) {
        SCOPED_TRACE(mask);
        mode_t saved = umask(mask);
        RunResult run = Pack(dir.path(), "out.arc", "a.txt");
        umask(saved);
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        struct stat st;
        ASSERT_EQ(stat((dir / "out.arc").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask);
    }
}

TEST(Creation, TimesBeyond32BitsAreClampedWithAWarning) {
    struct Case {
        const char* name;
        int64_t time;
        int32_t stored;
    };
    const Case cases[] = {{"future.txt", int64_t{1} << 33, INT32_MAX},
                          {"past.txt", -(int64_t{1} << 33), INT32_MIN}};
    // ext4 holds times from 1901 to 2446 only; tmpfs holds any.
    int packed = 0;
    for (const char* base : {"/tmp", "/dev/shm"}) {
        if (!Exists(base)) {
            continue;
        }
        ScratchDir dir(base);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(base) + " " + c.name);
            MakeFile(dir / c.name, "out of range");
            SetMtime(dir / c.name, c.time);
            if (MtimeOf(dir / c.name) != c.time) {
                continue;
            }
            RunResult run = Pack(dir.path(), "out.arc", c.name);
            ++packed;
            ASSERT_EQ(run.status, 0) << run.out << run.err;
            EXPECT_NE(run.err.find(c.name), std::string::npos) << run.err;
            EXPECT_NE(run.err.find("warning"), std::string::npos) << run.err;
            EXPECT_EQ(ReadFile(dir / "out.arc"),
                      BuildArchive({{c.name, "out of range", c.stored}}));
        }
    }
    if (packed == 0) {
        GTEST_SKIP() << "no file system here holds a time beyond 32 bits";
    }
}

}  // namespace
