// Packing through the built program: which files a name or pattern takes, the bytes
// of the archive it writes, the format's limits, and what a failed run leaves behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <array>
#include <string>
#include <tuple>
#include <vector>

#include "test_support.h"

namespace {

constexpr int STATUS_NOTHING_MATCHED = 255;  // -1
constexpr int STATUS_LIMIT = 247;            // -9
constexpr int STATUS_OPEN = 246;             // -10
constexpr uid_t NOBODY = 65534;
constexpr int32_t SOME_TIME = 1234567890;

RunResult Pack(const std::string& cwd, const std::string& archive, const std::string& pattern) {
    // A run that opened a FIFO would wait there until this timeout.
    return RunTovra({"0", archive, pattern}, {cwd, "/dev/null", "UTC", 20});
}

// Writes a file with a fixed last-write time, so that archives can be predicted.
void MakeFile(const std::string& path, const std::string& content = "", int64_t mtime = SOME_TIME) {
    WriteFile(path, content);
    SetMtime(path, mtime);
}

// The archive that the named files of dir, in this order, must pack into.
std::string ExpectedArchive(const std::string& dir, const std::vector<std::string>& names) {
    std::vector<TestEntry> entries;
    for (const std::string& name : names) {
        entries.push_back({name, ReadFile(dir + "/" + name), SOME_TIME});
    }
    return BuildArchive(entries);
}

TEST(Creation, PatternTakesRegularFilesInByteOrderAndTheListingShowsThem) {
    ScratchDir dir;
    // Made out of order: the archive must not depend on the directory's own order.
    for (const char* name : {"d.dat", "b.dat", "a.dat", "Z.dat", "a.txt", ".hidden.dat"}) {
        MakeFile(dir / name, SampleBytes(4000 + name[0], name[0], name[0] != 'a'));
    }
    // Neither the directory, the FIFO, the dangling link nor the hidden file is taken.
    ASSERT_EQ(mkdir((dir / "c.dat").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((dir / "fifo.dat").c_str(), 0644), 0);
    ASSERT_EQ(symlink("a.dat", (dir / "link.dat").c_str()), 0);
    ASSERT_EQ(symlink("missing", (dir / "gone.dat").c_str()), 0);
    ASSERT_EQ(Pack(dir.path(), "a.arc", "*.dat").status, 0);
    ASSERT_EQ(Pack(dir.path(), "again.arc", "*.dat").status, 0);
    const std::vector<std::string> packed = {"Z.dat", "a.dat", "b.dat", "d.dat", "link.dat"};
    EXPECT_EQ(ReadFile(dir / "a.arc"), ExpectedArchive(dir.path(), packed));
    EXPECT_TRUE(ReadFile(dir / "again.arc") == ReadFile(dir / "a.arc"));

    // One line per file, in the same order, each name in a field of 20.
    std::string listed = RunTovra({"2", "a.arc"}, {dir.path()}).out;
    size_t at = listed.find("\nContents of a.arc:");
    for (const std::string& name : packed) {
        at = listed.find('\n', at + 1);
        EXPECT_EQ(listed.substr(at + 1, 21), name + std::string(21 - name.size(), ' ')) << listed;
    }
    EXPECT_EQ(listed.find('\n', at + 1), std::string::npos) << listed;
}

TEST(Creation, ArchiveIsNeverPackedAndADirectoryNeverMatches) {
    // Archive, pattern, and the directory of the files packed (none when nothing matches).
    // With a directory part the archive's name never equals a bare one: only its identity
    // tells. out.arc starts as a link to one.dat: the run replaces the link, not one.dat.
    const std::vector<std::array<std::string, 3>> cases = {
        {"all.dat", "*.dat", "."},
        {"sub/all.dat", "sub/*.dat", "sub"},
        {"./sub/../sub/all.dat", "sub/*.dat", "sub"},
        {"out.arc", "*.dat", "."},
        {"A.ARC", "a.arc", ""},  // names compare without regard to case
        {"new.arc", "sub", ""},
        {"new.arc", "sub/", ""}};
    for (const auto& [archive, pattern, packedFrom] : cases) {
        SCOPED_TRACE(archive + " " + pattern);
        ScratchDir dir;
        ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
        for (const char* name : {"one.dat", "two.dat", "sub/one.dat", "sub/two.dat", "a.arc"}) {
            MakeFile(dir / name, name);
        }
        ASSERT_EQ(symlink("one.dat", (dir / "out.arc").c_str()), 0);
        std::vector<std::string> before = dir.List();
        for (const char* run : {"archive new", "archive there"}) {
            RunResult pack = Pack(dir.path(), archive, pattern);
            if (packedFrom.empty()) {
                EXPECT_EQ(pack.status, STATUS_NOTHING_MATCHED) << run;
                EXPECT_NE(pack.out.find("\nCannot find file(s): " + archive), std::string::npos);
                EXPECT_EQ(dir.List(), before);
            } else {
                ASSERT_EQ(pack.status, 0) << run << pack.out << pack.err;
                EXPECT_EQ(ReadFile(dir / archive),
                          ExpectedArchive(dir / packedFrom, {"one.dat", "two.dat"}));
            }
        }
        EXPECT_EQ(ReadFile(dir / "one.dat"), "one.dat");
        EXPECT_EQ(ReadFile(dir / "a.arc"), "a.arc");
        EXPECT_TRUE(TempFilesIn(dir.path()).empty() && TempFilesIn(dir / "sub").empty());
    }
}

TEST(Creation, SingleFilesGiveExactBytesAndTheUsualPermissions) {
    ScratchDir dir;
    MakeFile(dir / "a.txt", "abc");
    MakeFile(dir / "empty");
    mode_t saved = umask(027);
    RunResult run = Pack(dir.path(), "a.arc", "a.txt");
    umask(saved);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    // Offsets and all; a level-6 stream is byte for byte what zlib's compress2 makes.
    const std::string terminator =
        std::string(80, '\0') + std::string("\xff\xff\xff\xff\0\0\0\0", 8);
    EXPECT_EQ(ReadFile(dir / "a.arc"), "a.txt" + std::string(75, '\0') +
                                           std::string("\x03\0\0\0\xd2\x02\x96\x49", 8) +
                                           terminator + ZlibStream("abc"));
    struct stat st;
    ASSERT_EQ(stat((dir / "a.arc").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // Started with standard output closed, no figure may land in the archive.
    RunOptions closed{dir.path()};
    closed.stdoutPath = "-";
    ASSERT_EQ(RunTovra({"0", "c.arc", "a.txt"}, closed).status, 0);
    EXPECT_EQ(ReadFile(dir / "c.arc"), ReadFile(dir / "a.arc"));
    ASSERT_EQ(Pack(dir.path(), "e.arc", "empty").status, 0);
    EXPECT_EQ(ReadFile(dir / "e.arc"), Record("empty", 0, SOME_TIME) + terminator + ZlibStream(""));
}

TEST(Creation, ArchivesAreTheSameBytesWithAnyNumberOfThreadsAndInflateWithZlib) {
    ScratchDir dir;
    // Sizes around the blocks the work is cut into, text and noise.
    const size_t block = 256 * 1024;
    const std::vector<std::pair<std::string, std::string>> files = {
        {"a", ""},
        {"b", "x"},
        {"c", SampleBytes(block - 1, 1)},
        {"d", SampleBytes(block, 2)},
        {"e", SampleBytes(block + 1, 3, false)},
        {"f", SampleBytes(5 * block + 77, 4)},
        {"g", SampleBytes(3 * block, 5, false) + SampleBytes(3 * block, 6)}};
    std::vector<std::string> contents;
    for (const auto& [name, content] : files) {
        MakeFile(dir / name, content);
        contents.push_back(content);
    }
    std::string first;
    for (const char* threads : {"TOVRA_THREADS=1", "TOVRA_THREADS=2", "TOVRA_THREADS=5"}) {
        RunOptions options{dir.path()};
        options.env = {threads};
        ASSERT_EQ(RunTovra({"0", "out.tvr", "?"}, options).status, 0) << threads;
        const std::string archive = ReadFile(dir / "out.tvr");
        EXPECT_TRUE(first.empty() || archive == first) << threads;
        EXPECT_TRUE(InflateStreams(archive) == contents) << threads;
        first = archive;
    }
}

TEST(Creation, AFileThatChangesWhileBeingPackedFailsTheRun) {
    // The file is cut short, or grows, while the run is held at its second figure.
    for (int64_t newSize : {int64_t{1} << 20, int64_t{9} << 20}) {
        SCOPED_TRACE(newSize);
        ScratchDir dir;
        MakeFile(dir / "big.bin", SampleBytes(size_t{8} << 20, 7, false));
        RunOptions options{dir.path()};
        options.env = {"TOVRA_THREADS=3"};
        options.holdAtFigure = 2;
        options.whileHeld = [&dir, newSize](const HeldRun&) {
            ASSERT_EQ(truncate((dir / "big.bin").c_str(), newSize), 0);
        };
        RunResult run = RunTovra({"0", "out.tvr", "big.bin"}, options);
        EXPECT_EQ(run.status, STATUS_LIMIT) << run.err;
        EXPECT_NE(run.err.find("tovra: big.bin: file changed while being packed"),
                  std::string::npos)
            << run.err;
        EXPECT_EQ(dir.List(), std::vector<std::string>{"big.bin"});
    }
}

TEST(Creation, OnlyAnArchiveIsReplacedAndItKeepsItsPermissions) {
    // What is at the archive's name before the run, and whether the run replaces it.
    enum Kind { ARCHIVE, EMPTY, TEXT, SHORT, FIFO, DEVICE, DIRECTORY };
    const std::vector<std::tuple<const char*, Kind, bool>> cases = {
        {"private archive", ARCHIVE, true},
        {"empty file", EMPTY, true},
        {"text file", TEXT, false},
        {"file shorter than a record", SHORT, false},
        {"FIFO", FIFO, false},
        {"directory", DIRECTORY, false},
        {"device node", DEVICE, false}};  // last: it is skipped where mknod is refused
    for (const auto& [what, kind, replaced] : cases) {
        SCOPED_TRACE(what);
        ScratchDir dir;
        MakeFile(dir / "a.txt", "abc");
        const std::string at = dir / "out.tvr";
        int made = 0;
        switch (kind) {
            case ARCHIVE:
                WriteFile(at, BuildArchive({{"old", "old"}}));
                break;
            case EMPTY:
                WriteFile(at, "");
                break;
            case TEXT:
                WriteFile(at, std::string(200, 't'));
                break;
            case SHORT:
                WriteFile(at, "abc");
                break;
            case FIFO:
                made = mkfifo(at.c_str(), 0600);
                break;
            case DEVICE:
                made = mknod(at.c_str(), S_IFCHR | 0600, makedev(1, 3));
                break;
            case DIRECTORY:
                made = mkdir(at.c_str(), 0700);
                break;
        }
        if (made != 0) {
            GTEST_SKIP() << "cannot make the " << what << " here: " << strerror(errno);
        }
        // Private, and another user's when the tests run as root.
        ASSERT_EQ(chmod(at.c_str(), 0600), 0);
        const bool root = geteuid() == 0;
        ASSERT_TRUE(!root || chown(at.c_str(), NOBODY, NOBODY) == 0);
        struct stat before, after;
        ASSERT_EQ(lstat(at.c_str(), &before), 0);
        const std::string old =
            kind == ARCHIVE || kind == TEXT || kind == SHORT ? ReadFile(at) : "";
        RunResult run = Pack(dir.path(), "out.tvr", "a.txt");
        ASSERT_EQ(lstat(at.c_str(), &after), 0);
        if (replaced) {
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(ReadFile(at), ExpectedArchive(dir.path(), {"a.txt"}));
            EXPECT_EQ(after.st_mode & 07777, 0600u);
            EXPECT_TRUE(!root || (after.st_uid == NOBODY && after.st_gid == NOBODY));
        } else {
            EXPECT_EQ(run.status, STATUS_OPEN);
            EXPECT_NE(run.err.find("tovra: out.tvr: exists and is not an archive, not replaced"),
                      std::string::npos)
                << run.err;
            EXPECT_TRUE(after.st_ino == before.st_ino && after.st_mode == before.st_mode &&
                        after.st_rdev == before.st_rdev && after.st_size == before.st_size);
            EXPECT_TRUE(old.empty() || ReadFile(at) == old);
            EXPECT_EQ(dir.List(), (std::vector<std::string>{"a.txt", "out.tvr"}));
        }
    }
}

TEST(Creation, OneStepPastALimitFailsAndLeavesEverythingAsItWas) {
    // Files that still fit, the length of their names, then one file too many, too long a
    // name, or too large (sparse: the run must refuse it from its length, unread), and why.
    const std::vector<std::tuple<int, size_t, std::string, int64_t, std::string>> limits = {
        {1, 79, std::string(80, 'n'), 0, "name too long"},
        {999, 4, "g1000", 0, "more files"},
        {1, 4, "huge", int64_t{1} << 31, "file too large"}};
    for (const auto& [fitting, nameLength, offender, offenderSize, reason] : limits) {
        SCOPED_TRACE(offender);
        ScratchDir dir;
        for (int i = 0; i < fitting; ++i) {
            std::string number = std::to_string(i);
            MakeFile(dir / (std::string(nameLength - number.size(), 'f') + number));
        }
        ASSERT_EQ(Pack(dir.path(), "out.arc", "*").status, 0);
        const std::string old = ReadFile(dir / "out.arc");
        MakeFile(dir / offender);
        ASSERT_EQ(truncate((dir / offender).c_str(), offenderSize), 0);
        for (bool archiveThere : {true, false}) {
            ASSERT_TRUE(archiveThere || unlink((dir / "out.arc").c_str()) == 0);
            std::vector<std::string> before = dir.List();
            RunResult run = Pack(dir.path(), "out.arc", "*");
            EXPECT_EQ(run.status, STATUS_LIMIT) << run.out << run.err;
            EXPECT_NE(run.out.find("\nError -9 in tovraping out.arc"), std::string::npos);
            EXPECT_NE(run.err.find(offender + ": " + reason), std::string::npos) << run.err;
            EXPECT_EQ(dir.List(), before) << "no archive, no temporary file";
            EXPECT_TRUE(!archiveThere || ReadFile(dir / "out.arc") == old);
        }
    }
}

TEST(Creation, TimesBeyond32BitsAreClampedWithAWarning) {
    // tmpfs holds any time; ext4 only those from 1901 to 2446.
    ScratchDir dir("/dev/shm");
    for (int64_t time : {int64_t{1} << 33, -(int64_t{1} << 33)}) {
        MakeFile(dir / "t", "out of range", time);
        ASSERT_EQ(MtimeOf(dir / "t"), time);
        RunResult run = Pack(dir.path(), "t.arc", "t");
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_NE(run.err.find("tovra: t: warning"), std::string::npos) << run.err;
        EXPECT_EQ(ReadFile(dir / "t.arc"),
                  BuildArchive({{"t", "out of range", time > 0 ? INT32_MAX : INT32_MIN}}));
    }
}

}  // namespace
