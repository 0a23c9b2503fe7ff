// Whole runs of the built program in one prepared directory, a row each: the
// arguments, the exact standard output, the exit status, what standard error says, and
// the files left behind. The command line, the listing's bytes, matching and the
// format's limits, what may be replaced; then runs interrupted by a key, a signal, a
// full disk, a swapped temporary file or a file that changes, packing and unpacking.
#include <sys/sysmacros.h>

#include "test_support.h"

namespace {

const int ABORT = StatusOf(-7), FULL = StatusOf(-1), OPEN = StatusOf(-10), CHANGED = StatusOf(-9);
constexpr int KILLED = 1000 + SIGKILL;
const std::string FIGURE = "100%\b\b\b\b";
const std::string PACKED = BANNER + FIGURE + FIGURE;  // a file of a few bytes, or its archive
const std::string LONG_NAME = std::string(86, 'L') + ".tvr";
const char USAGE[] =
    "\nUsage: 'tovra 0 zipfile infile' to zip (infile = one filename, or *.dat etc),"
    "\n       'tovra 1 zipfile' to unzip to current dir,"
    "\n       'tovra 2 zipfile' to view contents only";

// a.txt ("abc", time 0x3B9ACA00) packed: its record, the terminator, its stream.
const std::string ONE_FILE = "a.txt" + std::string(75, '\0') +
                             std::string("\x03\0\0\0\0\xca\x9a\x3b", 8) + std::string(80, '\0') +
                             std::string("\xff\xff\xff\xff\0\0\0\0", 8) +
                             std::string("\x78\x9c\x4b\x4c\x4a\x06\x00\x02\x4d\x01\x27", 11);

// names.tvr, or how it lists: stored names, sizes and times, and the lines they show
// as, three hours east of UTC all year (listed times are local ones).
std::string Listing(bool shown) {
    // clang-format off
    const std::vector<std::tuple<std::string, int32_t, int32_t, std::string>> lines = {
        {"abcdefghijklmnopqrstuvwxy", 1, SOME_TIME, "abcdefghijklmnopqrst            1 09.09.2001 04:46:40 "},
        {std::string(80, 'N'), 1234567, 0, std::string(20, 'N') + "      1234567 01.01.1970 03:00:00 "},
        {"100%_%s%n.txt", -5, -1, "100%_%s%n.txt                  -5 01.01.1970 02:59:59 "},
        // Control characters, C1 ones too, would break the layout or reach the terminal as
        // escapes.
        {"a\x1b]0;x\x07_\tc\nd\x7f\xc2\x9b", 0, INT32_MAX, "a?]0;x?_?c?d??                  0 19.01.2038 06:14:07 "},
        // Valid UTF-8 fills 20 columns, a wide character two, never cut inside one; other
        // names are cut and padded by bytes, their control characters hidden all the same.
        {"päivää-ñ-日本.txt", INT32_MIN, INT32_MIN, "päivää-ñ-日本.txt     -2147483648 13.12.1901 23:45:52 "},
        {"a日本語のファイル名です", 7, SOME_TIME, "a日本語のファイル名             7 09.09.2001 04:46:40 "},
        {"caf\xe9\tna\xc3\xafve-latin1.txt", 8, SOME_TIME, "caf\xe9?na\xc3\xafve-latin1.t            8 09.09.2001 04:46:40 "}};
    // clang-format on
    std::string archive, listed = std::string(BANNER) + "\nContents of names.tvr:";
    for (const auto& [name, size, mtime, line] : lines) {
        archive += Record(name, size, mtime);
        listed += "\n" + line;
    }
    return shown ? listed : archive + Terminator();
}

// The content of a file in d/, and the archive that packs the named ones in this order.
std::string Content(const std::string& name) {
    return name == "old.dat" ? ONE_FILE : SampleBytes(3000, name == "link.dat" ? 'o' : name[0]);
}

std::string Dat(const std::vector<std::string>& names) {
    std::vector<TestEntry> entries;
    for (const std::string& name : names) {
        entries.push_back({name, Content(name)});
    }
    return BuildArchive(entries);
}

std::string Shown(const std::string& message) {
    return std::string(BANNER) + message + USAGE;
}

// What a rejected mode, a missing archive, and a failed pack (P) or unpack (U) show.
std::string Mode(const std::string& mode) {
    return Shown("\nError in mode in tovraping " + mode + "\n");
}

std::string Missing(const std::string& archive) {
    return Shown("\nCannot find file(s): " + archive);
}

std::string P(int result, const std::string& archive) {
    return Shown("\nError " + std::to_string(result) + " in tovraping " + archive);
}

std::string U(int result, const std::string& archive) {
    return Shown("\nError " + std::to_string(result) + " in unzipping " + archive);
}

// What a terminal shows of text: a newline as a carriage return and a line feed.
std::string OnTerminal(std::string text) {
    for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2) {
        text.insert(at, "\r");
    }
    return text;
}

// What happens to a run besides its arguments. From ON_TERMINAL on it runs on a
// terminal (there with both its outputs); from KEY on, it is held at its second
// figure while it happens.
enum Act {
    NONE,
    CLOSED_OUT,
    FULL_OUT,
    BOTH_TO_ERR,
    THREADS,
    FULL_DISK,
    NO_TERMINAL,
    ON_TERMINAL,
    BACKGROUND,
    TYPED_AHEAD,
    KEY,
    SIGNAL,
    SWAP,
    RESIZE,
    RENEW
};

struct Row {
    std::vector<std::string> args;
    std::string out;  // all of standard output, or "" for unchecked
    int status;
    std::string err;         // a part of standard error, or "" for nothing at all
    std::string made = "";   // a file the run makes or replaces
    std::string holds = "";  // and what it holds, or "" for unchecked
    Act act = NONE;
    int64_t value = 0;  // the key, the signal, the disk's size, the file's new size
};

// The directory every row runs in: small files for the command line, d/ for matching
// and the limits, m/ with 1000 files (made for the rows that need them), and noise
// and archives of it to interrupt.
void LayOut(const ScratchDir& dir, const Row& row) {
    static const std::string noise = SampleBytes(size_t{8} << 20, 3, false);
    // clang-format off
    static const std::vector<std::pair<std::string, std::string>> files = {
        {"a.txt", "abc"}, {"names.tvr", Listing(false)}, {LONG_NAME, Terminator()},
        {"one.tvr", ONE_FILE}, {"empty.tvr", ""}, {"text.tvr", std::string(200, 't')},
        {"private.tvr", ONE_FILE}, {"big.bin", noise}, {"data.bin", "there before"},
        {"data.tvr", BuildArchive({{"a.txt", "first"}, {"data.bin", noise}, {"z", "z"}})},
        {"big.tvr", BuildArchive({{"data.bin", noise}})}, {"keys", std::string("q\x03 \n", 4)},
        {"victim", "someone else's"}, {"d/" + std::string(79, 'n'), ""}, {"d/huge", ""},
        {"d/" + std::string(80, 'n'), ""}, {"d/two.dat", Content("two.dat")}, {"d/.hidden.dat", ""},
        {"d/one.dat", Content("one.dat")}, {"d/Z.dat", Content("Z.dat")}, {"d/old.dat", ONE_FILE}};
    // clang-format on
    ASSERT_TRUE(mkdir((dir / "d").c_str(), 0755) == 0 && mkdir((dir / "m").c_str(), 0755) == 0);
    for (const auto& [name, content] : files) {
        WriteFile(dir / name, content);
    }
    for (int i = 1001; row.args.size() > 2 && row.args[2][0] == 'm' && i <= 2000; ++i) {
        WriteFile(dir / ("m/" + std::string(i < 2000 ? "f" : "g") + std::to_string(i)), "");
    }
    ASSERT_TRUE(symlink("text.tvr", (dir / "link.tvr").c_str()) == 0);
    ASSERT_TRUE(symlink("one.dat", (dir / "d/link.dat").c_str()) == 0);
    ASSERT_TRUE(symlink("missing", (dir / "d/gone.dat").c_str()) == 0);
    ASSERT_TRUE(mkdir((dir / "sub.tvr").c_str(), 0755) == 0 &&
                mkdir((dir / "d/c.dat").c_str(), 0755) == 0);
    ASSERT_TRUE(mkfifo((dir / "fifo.tvr").c_str(), 0600) == 0 &&
                mkfifo((dir / "d/f.dat").c_str(), 0600) == 0);
    WriteFile(dir / "d/t", "t", int64_t{1} << 33);  // times beyond 32 bits
    WriteFile(dir / "d/u", "u", -(int64_t{1} << 33));
    // A file of 2 GiB is sparse: it must be refused unread.
    ASSERT_TRUE(truncate((dir / "d/huge").c_str(), int64_t{1} << 31) == 0);
    // Private, and another user's when the tests run as root.
    ASSERT_TRUE(chmod((dir / "private.tvr").c_str(), 0600) == 0);
    ASSERT_TRUE(geteuid() != 0 || chown((dir / "private.tvr").c_str(), NOBODY, NOBODY) == 0);
}

void WhileHeld(const Row& row, const ScratchDir& dir, const HeldRun& held) {
    const char key = static_cast<char>(row.value);
    if (row.act == KEY) {
        ASSERT_EQ(write(held.terminal, &key, 1), 1);
    } else if (row.act == SIGNAL) {
        kill(held.pid, static_cast<int>(row.value));
    } else if (row.act == RESIZE) {
        ASSERT_EQ(truncate((dir / "big.bin").c_str(), row.value), 0);
    } else if (row.act == RENEW) {  // the same content in a new file, as an editor saves
        WriteFile(dir / "new", ReadFile(dir / "data.bin"));
        ASSERT_EQ(rename((dir / "new").c_str(), (dir / "data.bin").c_str()), 0);
    } else if (row.act == SWAP) {  // as another user who may write to the directory could
        kill(held.pid, SIGSTOP);
        for (const std::string& name : TempFilesIn(dir.path())) {
            ASSERT_EQ(symlink((dir / "victim").c_str(), (dir / "link").c_str()), 0);
            ASSERT_EQ(rename((dir / "link").c_str(), (dir / name).c_str()), 0);
        }
        kill(held.pid, SIGCONT);
    }
}

void Check(const Row& row) {
    SCOPED_TRACE(testing::PrintToString(row.args));
    ScratchDir dir("/dev/shm");  // tmpfs holds any time; ext4 only 1901 to 2446
    LayOut(dir, row);
    if (mknod((dir / "dev.tvr").c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0 &&
        row.args[1] == "dev.tvr") {
        return;  // only root may make a device node
    }
    auto before = dir.Snapshot();
    const char* const stdoutPaths[] = {"", "-", "/dev/full", "&2"};
    RunOptions options{dir.path(), dir / "keys", "XYZ-3",
                       row.act <= BOTH_TO_ERR   ? stdoutPaths[row.act]
                       : row.act == ON_TERMINAL ? "tty"
                                                : ""};
    options.env = {row.act == THREADS ? "TOVRA_THREADS=2x" : "TOVRA_THREADS=3"};
    options.fileSizeLimit = row.act == FULL_DISK ? row.value : 0;
    options.terminal = row.act >= ON_TERMINAL;
    options.background = row.act == BACKGROUND;
    options.typedAhead = row.act == BACKGROUND ? "q\n" : row.act == TYPED_AHEAD ? "x" : "";
    options.holdAtFigure = row.act >= KEY ? 2 : 0;
    options.whileHeld = [&row, &dir](const HeldRun& held) { WhileHeld(row, dir, held); };
    RunResult run = RunTovra(row.args, options);
    EXPECT_TRUE(row.out.empty() || run.out == row.out) << run.out;
    EXPECT_EQ(run.status, row.status);
    EXPECT_TRUE(row.err.empty() ? run.err.empty() : run.err.find(row.err) != std::string::npos)
        << run.err;
    // A stop is no damage: no stream may be blamed for it.
    EXPECT_TRUE(row.status != ABORT || run.err.find("stream") == std::string::npos) << run.err;
    EXPECT_TRUE(!options.terminal || row.status == KILLED || run.terminalRestored);
    for (const std::string& name : TempFilesIn(dir.path())) {
        // Nothing cleans up after SIGKILL, but what it leaves says what it is; the
        // swapped links are the other user's.
        EXPECT_TRUE(row.act == SWAP ||
                    (row.status == KILLED && name.rfind(".tovra-pack-", 0) == 0));
        unlink((dir / name).c_str());
    }
    EXPECT_TRUE(row.holds.empty() || ReadFile(dir / row.made) == row.holds);
    auto after = dir.Snapshot();
    before[row.made] = after[row.made] = "";
    before["big.bin"] = after["big.bin"];  // resized by the test itself
    EXPECT_TRUE(after == before) << testing::PrintToString(dir.Snapshot());
    struct stat st;  // a replaced archive keeps its permissions and owner
    EXPECT_TRUE(stat((dir / "private.tvr").c_str(), &st) == 0 && (st.st_mode & 07777) == 0600 &&
                (geteuid() != 0 || st.st_uid == NOBODY));
}

TEST(Run, CommandLineListingMatchingLimitsAndReplacing) {
    std::vector<TestEntry> many;
    for (int i = 1001; i < 2000; ++i) {
        many.push_back({"f" + std::to_string(i), ""});
    }
    const std::string heading = BANNER + ("\nContents of " + LONG_NAME.substr(0, 80) + ":");
    const std::string hint =
        "tovra: 4 arguments: quote the wildcard pattern, as in tovra 0 ARCHIVE '*.txt'";
    const std::string four = Dat({"Z.dat", "link.dat", "one.dat", "two.dat"});
    const std::string five = Dat({"Z.dat", "link.dat", "old.dat", "one.dat", "two.dat"});
    const std::string n79 = std::string(79, 'n');
    const std::vector<Row> rows = {
        {{}, Shown(""), 0, ""},
        {{"0", "a.tvr", "a", "b"}, Shown(""), 0, hint},
        {{"3", "a.tvr"}, Mode("3"), 1, "tovra: mode '3' is not 0, 1 or 2\n"},
        {{"0", "a.tvr"}, Mode("0"), 1, "tovra: mode 0 takes an archive and a pattern\n"},
        {{"x", "a.tvr"}, Mode("x"), 1, "tovra: mode 'x' read as 0\ntovra: mode 0 takes an"},
        {{"1", "a.tvr", "x"}, Mode("1"), 1, "tovra: mode 1 takes only an archive\n"},
        {{std::string(81, '7'), "a.tvr"}, Mode(std::string(80, '7')), 1, "is not 0, 1 or 2"},
        // The notes follow the message where both streams go to one place.
        {{"1", "no.tvr"},
         "",
         255,
         Missing("no.tvr") + "tovra: no.tvr: No such file",
         "",
         "",
         BOTH_TO_ERR},
        // On one terminal a note starts a line of its own, after the usage or a figure.
        {{"2", "no.tvr"},
         OnTerminal(Missing("no.tvr") + "\ntovra: no.tvr: No such file or directory\n"),
         255,
         "",
         "",
         "",
         ON_TERMINAL},
        {{"x", "out.tvr", "a.txt"},
         OnTerminal(PACKED + "\ntovra: mode 'x' read as 0\n"),
         0,
         "",
         "out.tvr",
         ONE_FILE,
         ON_TERMINAL},
        {{"0", "out.tvr", "*.none"}, Missing("out.tvr"), 255, "tovra: *.none: no file matches\n"},
        {{"2", "sub.tvr"}, U(-8, "sub.tvr"), 248, "tovra: sub.tvr: not a regular file\n"},
        {{"1", "fifo.tvr"}, U(-8, "fifo.tvr"), 248, "tovra: fifo.tvr: not a regular file\n"},
        {{"2", "names.tvr"}, Listing(true), 0, ""},
        // The listing is the product: standard output that is full or closed fails it.
        {{"2", "names.tvr"}, "", 255, "tovra: standard output: No space left", "", "", FULL_OUT},
        {{"2", "names.tvr"},
         "",
         255,
         "tovra: standard output: Bad file descriptor\n",
         "",
         "",
         CLOSED_OUT},
        {{"2abc", LONG_NAME}, heading, 0, "tovra: mode '2abc' read as 2\n"},
        {{"x", "out.tvr", "a.txt"}, PACKED, 0, "tovra: mode 'x' read as 0\n", "out.tvr", ONE_FILE},
        // Started with standard output closed, no figure may land in the archive.
        {{"0", "out.tvr", "a.txt"}, "", 0, "", "out.tvr", ONE_FILE, CLOSED_OUT},
        {{"0", "out.tvr", "a.txt"}, PACKED, 0, "'2x' is not", "out.tvr", ONE_FILE, THREADS},
        {{"1", "one.tvr"}, PACKED, 0, "", "a.txt", "abc"},
        // Regular files in byte order, never the archive itself, told by identity
        // alone, with a note. A directory matches nothing.
        {{"0", "p.tvr", "d/*.dat"}, "", 0, "", "p.tvr", five},
        {{"0", "OLD.DAT", "d/*.dat"}, "", 0, "", "OLD.DAT", five},
        {{"0", "d/../d/old.dat", "d/*.dat"}, "", 0, "tovra: d/old.dat: is the archive itself, not packed\n", "d/old.dat", four},
        {{"0", "p.tvr", "d/?[nw]?.dat"}, "", 0, "", "p.tvr", Dat({"one.dat", "two.dat"})},
        {{"0", "p.tvr", "d/c.dat"}, Missing("p.tvr"), 255, "no file matches"},
        {{"0", "p.tvr", "d/"}, Missing("p.tvr"), 255, "no file matches"},
        // One step past each limit fails before anything is written.
        {{"0", "p.tvr", "d/" + n79}, "", 0, "", "p.tvr", BuildArchive({{n79, ""}})},
        {{"0", "p.tvr", "d/nnnnn*"}, P(-9, "p.tvr"), 247, "nnnnn: name too long"},
        {{"0", "p.tvr", "m/f*"}, "", 0, "", "p.tvr", BuildArchive(many)},
        {{"0", "p.tvr", "m/*"}, P(-9, "p.tvr"), 247, "m/g2000: more files than an archive holds"},
        {{"0", "p.tvr", "d/huge"}, P(-9, "p.tvr"), 247, "d/huge: file too large"},
        // Times beyond 32 bits are clamped, with a warning.
        {{"0", "p.tvr", "d/t"},
         "",
         0,
         "d/t: warning",
         "p.tvr",
         BuildArchive({{"t", "t", INT32_MAX}})},
        {{"0", "p.tvr", "d/u"},
         "",
         0,
         "d/u: warning",
         "p.tvr",
         BuildArchive({{"u", "u", INT32_MIN}})},
        // Only an archive, an empty file or a link (never its target) is replaced.
        {{"0", "empty.tvr", "a.txt"}, PACKED, 0, "", "empty.tvr", ONE_FILE},
        {{"0", "private.tvr", "a.txt"}, PACKED, 0, "", "private.tvr", ONE_FILE},
        {{"0", "link.tvr", "a.txt"}, PACKED, 0, "", "link.tvr", ONE_FILE},
        {{"0", "text.tvr", "a.txt"}, P(-10, "text.tvr"), 246, "text.tvr: exists and is not an"},
        {{"0", "fifo.tvr", "a.txt"}, P(-10, "fifo.tvr"), 246, "tovra: fifo.tvr: exists and is not"},
        {{"0", "sub.tvr", "a.txt"}, P(-10, "sub.tvr"), 246, "tovra: sub.tvr: exists and is not"},
        {{"0", "dev.tvr", "a.txt"}, P(-10, "dev.tvr"), 246, "tovra: dev.tvr: exists and is not"}};
    for (const Row& row : rows) {
        Check(row);
    }
}

TEST(Run, InterruptedRunsLeaveTheFilesAndTheTerminalAsTheyWere) {
    const std::vector<std::string> pack = {"0", "data.tvr", "*.bin"}, unpack = {"1", "data.tvr"},
                                   fresh = {"0", "new.tvr", "*.bin"};
    // A key typed ahead is seen at the first figure, and the file's closing one follows.
    const std::string stopped = "  0%\b\b\b\b  0%\b\b\b\b";
    const std::vector<Row> rows = {
        {fresh, "", 0, "", "new.tvr", "", NO_TERMINAL},  // keys on input that is no terminal
        {fresh, "", 0, "", "new.tvr", "", BACKGROUND},
        {pack, BANNER + stopped + P(-7, "data.tvr").substr(strlen(BANNER)), ABORT, "by a key", "",
         "", TYPED_AHEAD},
        {pack, "", ABORT, "data.tvr: stopped by a key press", "", "", KEY, 0x1a},  // Ctrl-Z
        {unpack, "", ABORT, "stopped by a key press", "", "", KEY, 0x03},          // Ctrl-C
        {pack, "", ABORT, "stopped by signal SIGINT", "", "", SIGNAL, SIGINT},
        {fresh, "", ABORT, "new.tvr: stopped by signal SIGTERM", "", "", SIGNAL, SIGTERM},
        {unpack, "", ABORT, "signal SIGINT", "", "", SIGNAL, SIGINT},  // in the second stream
        {pack, "", KILLED, "", "", "", SIGNAL, SIGKILL},
        {pack, "", FULL, "data.tvr: File too large", "", "", FULL_DISK, 100000},
        {{"0", "new.tvr", "data.bin"}, "", FULL, "new.tvr: File too large", "", "", FULL_DISK, 180},
        {unpack, "", FULL, "data.bin: File too large", "", "", FULL_DISK, 100000},
        {pack, "", OPEN, "was replaced", "", "", SWAP},
        {{"1", "big.tvr"}, "", OPEN, "was replaced", "", "", SWAP},
        {fresh, "", CHANGED, "big.bin: file changed", "", "", RESIZE, 1 << 20},  // cut short
        {fresh, "", CHANGED, "big.bin: file changed", "", "", RESIZE, 9 << 20},  // grown
        {fresh, "", CHANGED, "data.bin: file changed", "", "", RENEW}};  // replaced meanwhile
    for (const Row& row : rows) {
        Check(row);
    }
}

}  // namespace
