// Runs set up as a hostile or careless user would: files that only look like
// archives, another user reading a run's temporary file, names changed while the run
// is held at a figure, files rewritten while packed, no threads to be had, a reader
// that goes away, stray signals, other users' files in a shared directory, a
// directory nobody may write to, and files that are no archive given to read.
#include <fcntl.h>
#include <sys/wait.h>

#include "test_support.h"

namespace {

const int OPEN = StatusOf(-10), CHANGED = StatusOf(-9), DAMAGED = StatusOf(-8),
          ABORT = StatusOf(-7);
const std::string ONE = BuildArchive({{"a.txt", "abc"}});
const bool ROOT = geteuid() == 0;
#ifdef TOVRA_SANITIZED
const bool SANITIZED = true;  // the sanitizers' shadow memory needs all the address space
#else
const bool SANITIZED = false;
#endif

// What a file holds: text, or what a function makes as the row runs. The rows' table
// is copied at every start of the test program, once per row, and megabytes in it
// would cost every row seconds.
class Content {
  public:
    Content() = default;
    Content(const char* text) : m_text(text) {}
    Content(std::string text) : m_text(std::move(text)) {}
    Content(std::string (*make)()) : m_make(make) {}
    std::string Make() const { return m_make != nullptr ? m_make() : m_text; }

  private:
    std::string m_text;
    std::string (*m_make)() = nullptr;
};

std::string Noise() {
    static const std::string noise = SampleBytes(size_t{8} << 20, 7, false);
    return noise;
}
// Three pieces, and just over one.
std::string Large() {
    return Noise() + "x";
}
std::string Middle() {
    return Noise().substr(0, PACKING_PIECE + 1);
}
std::string ArchiveEndingInNoise() {
    return BuildArchive({{"zero", "0"}, {"first", "1"}, {"later.bin", Noise()}});
}
const Content NOISE = Noise, LARGE = Large, MIDDLE = Middle;

using Files = std::map<std::string, Content>;
using Action = std::function<void(const HeldRun&)>;
using Verdict = std::function<void(const ScratchDir&)>;

struct Row {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string err;     // a part of standard error
    Files files{};       // laid out besides a.txt, big.bin and big.tvr
    Action whileHeld{};  // when set, the run is held at its second figure meanwhile
    Verdict left{};      // what the run must leave
    RunOptions options{};
    bool needsRoot = false;
    std::string privateFile{};  // given privateMode, no more than its owner may read
    mode_t privateMode = 0600;
    bool wholeErr = false;  // err is all of standard error
    bool tempLeft = false;  // a temporary name that could not be removed stays, told
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

void NobodyCannotReadTempFiles(const HeldRun& held) {
    const std::vector<std::string> temps = TempFilesIn(held.dir.path);
    ASSERT_EQ(temps.size(), 1u);
    const pid_t child = fork();
    if (child == 0) {
        _exit(setuid(NOBODY) == 0 && open((held.dir / temps[0]).c_str(), O_RDONLY) >= 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0) << "another user opened " << temps[0];
}

Verdict Holds(const std::string& name, const Content& content) {
    return [=](const ScratchDir& dir) { EXPECT_EQ(ReadFile(dir / name), content.Make()) << name; };
}

Verdict Mode(const std::string& name, mode_t mode) {
    return [=](const ScratchDir& dir) {
        struct stat st;
        ASSERT_EQ(lstat((dir / name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 07777, mode) << name;
    };
}

Verdict Packs(const std::string& archive, const std::vector<Content>& contents) {
    return [=](const ScratchDir& dir) {
        std::vector<std::string> made;
        for (const Content& content : contents) {
            made.push_back(content.Make());
        }
        EXPECT_EQ(InflateStreams(ReadFile(dir / archive)), made);
    };
}

void PutFifoAtNewTvr(const HeldRun& held) {
    ASSERT_EQ(mkfifo((held.dir / "new.tvr").c_str(), 0600), 0);
}

void NewTvrIsFifo(const ScratchDir& dir) {
    struct stat st;
    EXPECT_TRUE(lstat((dir / "new.tvr").c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
}

void MoveSub(const HeldRun& held) {
    ASSERT_EQ(rename((held.dir / "sub").c_str(), (held.dir / "moved").c_str()), 0);
}

void RewriteBigBinInPlace(const HeldRun& held) {
    const int fd = open((held.dir / "big.bin").c_str(), O_WRONLY);
    EXPECT_EQ(pwrite(fd, "new", 3, 0), 3);
    close(fd);
}

Action ResizeOB(off_t size) {
    return
        [size](const HeldRun& held) { EXPECT_EQ(truncate((held.dir / "o/b").c_str(), size), 0); };
}

void RenewOB(const HeldRun& held) {  // another file in its place, as an editor saves
    WriteFile(held.dir / "o/new", "new");
    EXPECT_EQ(rename((held.dir / "o/new").c_str(), (held.dir / "o/b").c_str()), 0);
}

std::string ArchiveOf999() {
    std::vector<TestEntry> entries;
    for (int i = 0; i < 999; ++i) {
        entries.push_back({"f" + std::to_string(i), ""});
    }
    return BuildArchive(entries);
}

// The start of a tar file: a member's name, zero-padded, its mode and the magic.
std::string Tar(const std::string& name) {
    std::string header = name + std::string(100 - name.size(), '\0') + "0000644";
    return header.append(257 - header.size(), '\0') + "ustar" + std::string(1272, '\0');
}

// A zip file's first member, stored.
std::string Zip(const std::string& name, const std::string& content) {
    return "PK\3\4\n" + std::string(21, '\0') + char(name.size()) + std::string(3, '\0') + name +
           content + "PK\1\2" + std::string(60, '\0') + "PK\5\6" + std::string(18, '\0');
}

std::string TextWithTerminatorAt80() {
    std::string text = SampleBytes(300, 5);
    return text.replace(80, 4, "\xff\xff\xff\xff");
}

// Three entries to unpack where an old first is, with what may be in the way.
const std::string THREE = BuildArchive({{"first", "1"}, {"second", "2"}, {"third", "3"}});
Files Three(const Files& more = {}) {
    Files files = {{"three.tvr", THREE}, {"first", "old"}};
    files.insert(more.begin(), more.end());
    return files;
}

// A directory at name, with a file in it.
Files InTheWay(const std::string& name) {
    Files files = Three({{name + "/keep", "kept"}});
    files.erase(name);
    return files;
}

Verdict Absent(const std::vector<std::string>& names) {
    return [=](const ScratchDir& dir) {
        for (const std::string& name : names) {
            EXPECT_NE(access((dir / name).c_str(), F_OK), 0) << name << " was made";
        }
    };
}

Verdict All(const std::vector<Verdict>& verdicts) {
    return [=](const ScratchDir& dir) {
        for (const Verdict& verdict : verdicts) {
            verdict(dir);
        }
    };
}

RunOptions Shim(const char* staged) {
    RunOptions options;
    options.shim = staged;
    return options;
}

RunOptions As(uid_t user, int processes, int64_t memory = 0, const std::string& cwd = ".") {
    RunOptions options;
    options.cwd = cwd;
    options.user = user;
    options.processLimit = processes;
    options.memoryLimit = memory;
    return options;
}

// clang-format off
const std::vector<Row> ROWS = {
    // Private from birth: another user cannot open what the run is writing.
    {"private_archive_temp_file", {"0", "private.tvr", "big.bin"}, 0, "", {{"private.tvr", ONE}}, NobodyCannotReadTempFiles, Mode("private.tvr", 0600), {}, true, "private.tvr"},
    {"private_entry_temp_file", {"1", "big.tvr"}, 0, "", {{"big.bin", "secret"}}, NobodyCannotReadTempFiles, Mode("big.bin", 0600), {}, true, "big.bin"},
    {"new_archive_gets_umask_mode", {"0", "new.tvr", "a.txt"}, 0, "", {}, {}, Mode("new.tvr", 0640)},
    // Only a whole archive is replaced.
    {"elf_program_kept", {"0", "prog", "a.txt"}, OPEN, "prog: exists and is not an archive"},
    {"static_library_kept", {"0", "libz.a", "a.txt"}, OPEN, "libz.a: exists and is not an archive"},
    {"ff_bytes_kept", {"0", "ff", "a.txt"}, OPEN, "ff: exists and is not an archive", {{"ff", std::string(4096, '\xff')}}},
    {"text_with_ff_at_80_kept", {"0", "t.txt", "a.txt"}, OPEN, "t.txt: exists and is not", {{"t.txt", TextWithTerminatorAt80()}}},
    {"archive_of_nothing_replaced", {"0", "0.tvr", "a.txt"}, 0, "", {{"0.tvr", TERMINATOR}}, {}, Holds("0.tvr", ONE)},
    {"archive_of_one_replaced_keeps_its_mode", {"0", "1.tvr", "a.txt"}, 0, "", {{"1.tvr", ONE}}, {}, [](const ScratchDir& dir) { Holds("1.tvr", ONE)(dir); Mode("1.tvr", 0604)(dir); }, {}, false, "1.tvr", 0604},
    {"archive_of_999_replaced", {"0", "999.tvr", "a.txt"}, 0, "", {{"999.tvr", ArchiveOf999}}, {}, Holds("999.tvr", ONE)},
    {"negative_size_kept", {"0", "neg", "a.txt"}, OPEN, "neg: exists and is not an archive", {{"neg", Record("a", -2) + TERMINATOR + ZlibStream("")}}},
    {"directory_then_text_kept", {"0", "dt", "a.txt"}, OPEN, "dt: exists and is not an archive", {{"dt", Record("a", 3) + TERMINATOR + "abc and more text"}}},
    {"too_short_for_its_streams_kept", {"0", "ts", "a.txt"}, OPEN, "ts: exists and is not", {{"ts", Record("a", 0) + Record("b", 0) + TERMINATOR + ZlibStream("")}}},
    // Examined again just before the rename.
    {"file_put_at_archive_kept", {"0", "new.tvr", "big.bin"}, OPEN, "new.tvr: exists and is not", {}, [](const HeldRun& held) { WriteFile(held.dir / "new.tvr", "mine"); }, Holds("new.tvr", "mine")},
    {"fifo_put_at_archive_kept", {"0", "new.tvr", "big.bin"}, OPEN, "new.tvr: exists and is not", {}, PutFifoAtNewTvr, NewTvrIsFifo},
    {"moved_directory_takes_the_archive", {"0", "sub/new.tvr", "big.bin"}, 0, "", {{"sub/x", ""}}, MoveSub, Packs("moved/new.tvr", {NOISE})},
    {"removed_temp_file_told", {"0", "new.tvr", "big.bin"}, OPEN, "was removed; nothing renamed", {}, [](const HeldRun& held) { ASSERT_EQ(unlink((held.dir / TempFilesIn(held.dir.path).at(0)).c_str()), 0); }},
    // The archive is skipped by identity alone: files of its name elsewhere or in
    // another case are packed, without a note.
    {"same_names_elsewhere_packed", {"0", "backup.tvr", "o/*"}, 0, "", {{"o/BACKUP.TVR", "upper"}, {"o/backup.tvr", "lower"}}, {}, Packs("backup.tvr", {"upper", "lower"})},
    // A file rewritten in place at the same size while it is packed.
    {"same_size_rewrite_seen", {"0", "new.tvr", "big.bin"}, CHANGED, "big.bin: file changed", {}, RewriteBigBinInPlace},
    // A file resized or replaced after it was matched and before it is opened, while a
    // larger one is read: it must be the file matched, and whoever reads it, of the size
    // recorded.
    {"grown_before_read", {"0", "new.tvr", "o/*"}, CHANGED, "o/b: file changed", {{"o/a", LARGE}, {"o/b", MIDDLE}}, ResizeOB(PACKING_PIECE + 2)},
    {"cut_before_read", {"0", "new.tvr", "o/*"}, CHANGED, "o/b: file changed", {{"o/a", LARGE}, {"o/b", MIDDLE}}, ResizeOB(PACKING_PIECE)},
    {"replaced_before_open", {"0", "new.tvr", "o/*"}, CHANGED, "o/b: file changed", {{"o/a", LARGE}, {"o/b", "old"}}, RenewOB},
    // No thread to be had: the run goes on without.
    {"no_threads_for_another_user", {"0", "shared/new.tvr", "big.bin"}, 0, "", {}, {}, Packs("shared/new.tvr", {NOISE}), As(NOBODY, 1), true},
    {"no_threads_in_little_memory", {"0", "new.tvr", "big.bin"}, 0, "", {}, {}, Packs("new.tvr", {NOISE}), As(0, 0, int64_t{16} << 20)},
    {"unpack_with_no_threads_for_another_user", {"1", "../big.tvr"}, 0, "", {}, {}, Holds("shared/big.bin", NOISE), As(NOBODY, 1, 0, "shared"), true},
    {"unpack_with_no_threads_in_little_memory", {"1", "../big.tvr"}, 0, "", {{"o/x", ""}}, {}, Holds("o/big.bin", NOISE), As(0, 0, int64_t{16} << 20, "o")},
    // A reader that goes away, and a signal nobody expected, stop the run cleanly.
    {"reader_gone", {"1", "big.tvr"}, ABORT, "big.tvr: stopped by signal SIGPIPE\n", {}, {}, {}, With([](RunOptions& o) { o.stdoutTo = Stdout::UNREAD_PIPE; })},
    {"sigusr1_stops", {"0", "new.tvr", "big.bin"}, ABORT, "new.tvr: stopped by signal SIGUSR1", {}, {}, {}, With([](RunOptions& o) { o.heldSignal = SIGUSR1; })},
    // A directory the user may not write to is named once, for the first entry.
    {"unwritable_directory_named_once", {"1", "../one.tvr"}, OPEN, "tovra: . (current directory): Permission denied\n", {{"one.tvr", ONE}}, {}, {}, As(NOBODY, 0, 0, "sub"), true, "", true},
    // Files that are no archive at all, and one whose directory is cut short.
    {"readme_is_no_archive", {"1", "README"}, DAMAGED, "tovra: README: not a tovra archive\n", {{"README", SampleBytes(3000, 11)}}, {}, {}, {}, false, "", true},
    {"zip_is_no_archive", {"2", "a.zip"}, DAMAGED, "tovra: a.zip: not a tovra archive\n", {{"a.zip", Zip("a.txt", "abc")}}, {}, {}, {}, false, "", true},
    {"tar_is_no_archive", {"1", "a.tar"}, DAMAGED, "tovra: a.tar: not a tovra archive\n", {{"a.tar", Tar("a.txt")}}, {}, {}, {}, false, "", true},
    {"empty_file_is_no_archive", {"2", "empty"}, DAMAGED, "tovra: empty: not a tovra archive\n", {{"empty", ""}}, {}, {}, {}, false, "", true},
    {"cut_directory_is_damaged", {"2", "cut.tvr"}, DAMAGED, "tovra: cut.tvr: damaged archive: the directory is cut short\n", {{"cut.tvr", ONE.substr(0, 100)}}, {}, {}, {}, false, "", true},
    // Another user's file in a shared directory is never replaced.
    {"strangers_archive_in_shared_directory", {"0", "shared/their.tvr", "a.txt"}, OPEN, "shared/their.tvr: owned by another user in a shared directory, not replaced", {{"shared/their.tvr", ONE + "x"}}, {}, Holds("shared/their.tvr", ONE + "x"), {}, true},
    {"strangers_entry_in_shared_directory", {"1", "../big.tvr"}, OPEN, "big.bin: owned by another user in a shared directory, not replaced", {{"shared/big.bin", "theirs"}}, {}, Holds("shared/big.bin", "theirs"), As(0, 0, 0, "shared"), true},
    // All or nothing: a target that would refuse, wherever its entry stands, leaves every
    // file as it was.
    {"directory_in_the_way_first", {"1", "three.tvr"}, OPEN, "tovra: first: Is a directory\n", InTheWay("first"), {}, All({Holds("first/keep", "kept"), Absent({"second", "third"})}), {}, false, "", 0600, true},
    {"directory_in_the_way_second", {"1", "three.tvr"}, OPEN, "tovra: second: Is a directory\n", InTheWay("second"), {}, All({Holds("first", "old"), Absent({"third"})}), {}, false, "", 0600, true},
    {"directory_in_the_way_last", {"1", "three.tvr"}, OPEN, "tovra: third: Is a directory\n", InTheWay("third"), {}, All({Holds("first", "old"), Absent({"second"})}), {}, false, "", 0600, true},
    {"strangers_file_last_in_shared_directory", {"1", "../three.tvr"}, OPEN, "third: owned by another user", {{"three.tvr", THREE}, {"shared/third", "theirs"}}, {}, All({Holds("shared/third", "theirs"), Absent({"shared/first", "shared/second"})}), As(0, 0, 0, "shared"), true},
    {"archive_itself_last", {"1", "third"}, DAMAGED, "third: is the archive being unpacked", {{"third", THREE}, {"first", "old"}}, {}, All({Holds("first", "old"), Absent({"second"})})},
    {"unsafe_name_last", {"1", "unsafe.tvr"}, DAMAGED, "../x: unsafe entry name", {{"unsafe.tvr", BuildArchive({{"first", "1"}, {"second", "2"}, {"../x", "3"}})}, {"first", "old"}}, {}, All({Holds("first", "old"), Absent({"second"})})},
    // Examined again once every stream is in: an entry's target that changed meanwhile.
    {"directory_made_while_unpacking", {"1", "late.tvr"}, OPEN, "tovra: first: Is a directory\n", {{"late.tvr", ArchiveEndingInNoise}, {"first", "old"}}, [](const HeldRun& held) { ASSERT_TRUE(unlink((held.dir / "first").c_str()) == 0 && mkdir((held.dir / "first").c_str(), 0755) == 0); }, Absent({"zero", "later.bin"}), {}, false, "", 0600, true},
    // A file planted at the target between its last check and the rename is kept, and
    // so is an archive rewritten there into something else.
    {"file_planted_at_archive_kept", {"0", "big.tvr", "a.txt"}, OPEN, "big.tvr: changed just before the rename (now a file of 7 bytes owned by user 0), not replaced", {}, {}, Holds("big.tvr", "planted"), Shim("plant=big.tvr")},
    {"file_rewritten_at_archive_kept", {"0", "big.tvr", "a.txt"}, OPEN, "big.tvr: changed just before the rename (now a file of 7 bytes", {}, {}, Holds("big.tvr", "planted"), Shim("scribble=big.tvr")},
    {"file_planted_at_entry_kept", {"1", "three.tvr"}, OPEN, "first: changed just before the rename", Three(), {}, All({Holds("first", "planted"), Absent({"second", "third"})}), Shim("plant=first")},
    // The one way a failing run changes files, told.
    {"rename_failing_midway_tells_what_was_placed", {"1", "three.tvr"}, OPEN, "tovra: third: No space left on device\ntovra: warning: already put in place before the failure: first, second\n", Three(), {}, All({Holds("first", "1"), Holds("second", "2"), Absent({"third"})}), Shim("fail=third")},
    // Where the file system cannot exchange names, or cannot refuse to replace.
    {"archive_replaced_without_exchange", {"0", "big.tvr", "a.txt"}, 0, "", {}, {}, Holds("big.tvr", ONE), Shim("noexchange")},
    {"entry_replaced_without_exchange", {"1", "three.tvr"}, 0, "", Three(), {}, All({Holds("first", "1"), Holds("third", "3")}), Shim("noexchange")},
    {"link_fallback_leaves_no_second_name", {"0", "new.tvr", "a.txt"}, 0, "", {}, {}, Holds("new.tvr", ONE), Shim("nonoreplace,stuckunlink=1")},
    {"second_name_that_cannot_go_is_told", {"0", "new.tvr", "a.txt"}, 0, "temporary file not removed: Device or resource busy", {}, {}, Holds("new.tvr", ONE), Shim("nonoreplace,stuckunlink=9"), false, "", 0600, false, true},
};
// clang-format on

class Safety : public testing::TestWithParam<Row> {};

TEST_P(Safety, Run) {
    const Row& row = GetParam();
    if (row.needsRoot && !ROOT) {
        GTEST_SKIP() << "needs root, to act as another user";
    }
    if (row.options.memoryLimit && SANITIZED) {
        GTEST_SKIP() << "a sanitizer needs more address space than any small limit";
    }
    if (StopsByDroppableSignal(row.options)) {
        GTEST_SKIP() << "this build's runtime may drop the signal";
    }
    ScratchDir dir("/dev/shm");
    // Others may look in, as in any home or project directory.
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    ASSERT_TRUE(mkdir((dir / "sub").c_str(), 0755) == 0 && mkdir((dir / "o").c_str(), 0755) == 0 &&
                mkdir((dir / "shared").c_str(), 0755) == 0 &&
                chmod((dir / "shared").c_str(), 01777) == 0);
    Files files = row.files;
    files.insert(
        {{"a.txt", "abc"}, {"big.bin", NOISE}, {"big.tvr", BuildArchive({{"big.bin", Noise()}})}});
    files["prog"] = ReadFile(TOVRA_BINARY);
    files["libz.a"] = ReadFile("/usr/lib/x86_64-linux-gnu/libz.a");
    for (const auto& [name, content] : files) {
        std::filesystem::create_directories(std::filesystem::path(dir / name).parent_path());
        WriteFile(dir / name, content.Make());
    }
    if (!row.privateFile.empty()) {
        ASSERT_EQ(chmod((dir / row.privateFile).c_str(), row.privateMode), 0);
    }
    for (const auto& [name, content] : row.files) {
        if (name.rfind("shared/", 0) == 0 && ROOT) {  // another user's
            ASSERT_EQ(chown((dir / name).c_str(), NOBODY, NOBODY), 0);
        }
    }
    RunOptions options = row.options;
    options.whileHeld = row.whileHeld;
    const RunResult run = RunTovra(dir, row.args, options);
    EXPECT_EQ(run.status, row.status) << run.err;
    if (row.wholeErr || row.err.empty()) {
        EXPECT_EQ(run.err, row.err);
    } else {
        EXPECT_NE(run.err.find(row.err), std::string::npos) << run.err;
    }
    for (const char* where : {".", "shared", "moved"}) {
        EXPECT_TRUE(access((dir / where).c_str(), F_OK) != 0 ||
                    TempFilesIn(dir / where).size() == (row.tempLeft && *where == '.' ? 1u : 0u))
            << "temporary files left in " << where;
    }
    if (row.left) {
        row.left(dir);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Safety, testing::ValuesIn(ROWS),
                         [](const testing::TestParamInfo<Row>& info) { return info.param.name; });

}  // namespace
