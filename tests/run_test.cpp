// Whole runs of the built program in one prepared directory, a row each: the
// arguments and how the program runs, the exit status, what standard error says, the
// exact standard output, and the files left behind. The command line, the listing's
// bytes, matching and the format's limits, what may be replaced; then runs interrupted
// by a key, a signal, a full disk, a swapped temporary file or a file that changes.
#include <sys/sysmacros.h>

#include <tuple>

#include "test_support.h"

namespace {

const int ABORT = StatusOf(-7), FULL = StatusOf(-1), OPEN = StatusOf(-10), CHANGED = StatusOf(-9),
          DAMAGED = StatusOf(-8);
constexpr int KILLED = 1000 + SIGKILL;
// What packing or unpacking a file of a few bytes, or its archive, shows.
const std::string PACKED = BANNER + std::string("100%\b\b\b\b100%\b\b\b\b");
const std::string LONG_NAME = std::string(86, 'L') + ".tvr";
const char USAGE[] =
    "\nUsage: 'tovra 0 zipfile infile' to zip (infile = one filename, or *.dat etc),"
    "\n       'tovra 1 zipfile' to unzip to current dir,"
    "\n       'tovra 2 zipfile' to view contents only";

// a.txt ("abc", time 0x3B9ACA00) packed.
// clang-format off
const std::string ONE_FILE = "a.txt" + std::string(75, '\0') + std::string("\x03\0\0\0\0\xca\x9a\x3b", 8) +  // its record
                             std::string(80, '\0') + std::string("\xff\xff\xff\xff\0\0\0\0", 8) +  // the terminator
                             std::string("\x78\x9c\x4b\x4c\x4a\x06\x00\x02\x4d\x01\x27", 11);  // its stream
// clang-format on

// names.tvr, or how it lists: stored names, sizes and times, and the lines they show
// as, three hours east of UTC.
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
    return shown ? listed : archive + TERMINATOR;
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

// What a terminal shows of text: a newline as a carriage return and a line feed.
std::string OnTerminal(std::string text) {
    for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2) {
        text.insert(at, "\r");
    }
    return text;
}

// What a run shows: the banner, a message, the usage text.
std::string Shown(const std::string& message) {
    return std::string(BANNER) + message + USAGE;
}

struct Row {
    std::string name;
    std::vector<std::string> args;
    RunOptions options;  // run in the prepared directory
    int status;
    std::string err;         // a part of standard error, or "" for nothing at all
    std::string out = "";    // all of standard output, or "" for unchecked
    std::string made = "";   // a file the run makes or replaces
    std::string holds = "";  // and what it holds, or "" for unchecked
};

// On a terminal, held at the second figure while the action happens.
RunOptions Held(std::function<void(const HeldRun&)> action) {
    RunOptions options;
    options.terminal = true;
    options.whileHeld = action;
    return options;
}

std::function<void(const HeldRun&)> Key(char key) {
    return [key](const HeldRun& held) { EXPECT_EQ(write(held.terminal, &key, 1), 1); };
}

RunOptions OnOneThread(RunOptions options) {
    options.threads = "1";
    return options;
}

// On a terminal, held at the second figure while signal is sent.
RunOptions HeldBySignal(int signal) {
    RunOptions options;
    options.terminal = true;
    options.heldSignal = signal;
    return options;
}

std::function<void(const HeldRun&)> ResizeBigBin(off_t size) {
    return [size](const HeldRun& held) {
        EXPECT_EQ(truncate((held.dir / "big.bin").c_str(), size), 0);
    };
}

void RenewDataBin(const HeldRun& held) {  // the same content in a new file, as an editor saves
    WriteFile(held.dir / "new", ReadFile(held.dir / "data.bin"));
    EXPECT_EQ(rename((held.dir / "new").c_str(), (held.dir / "data.bin").c_str()), 0);
}

void SwapTemporaryFiles(const HeldRun& held) {  // as another user who may write there could
    kill(held.pid, SIGSTOP);
    for (const auto& [name, digest] : Snapshot(held.dir.path)) {
        if (name.rfind(".tovra-", 0) == 0) {
            EXPECT_EQ(symlink((held.dir / "victim").c_str(), (held.dir / "link").c_str()), 0);
            EXPECT_EQ(rename((held.dir / "link").c_str(), (held.dir / name).c_str()), 0);
        }
    }
    kill(held.pid, SIGCONT);
}

// The directory every row runs in: small files for the command line, d/ for matching
// and the limits, m/ with 1000 files (made for the rows that need them), and noise
// and archives of it to interrupt.
void LayOut(const ScratchDir& dir, const Row& row) {
    // Deflate stores noise at any level; at level 0 it does so without searching.
    static const std::string noise = SampleBytes(size_t{8} << 20, 3, false);
    // clang-format off
    static const std::vector<std::pair<std::string, std::string>> files = {
        {"a.txt", "abc"}, {"names.tvr", Listing(false)}, {LONG_NAME, TERMINATOR}, {"h\x1b[2Jd.tvr", TERMINATOR}, {"one.tvr", ONE_FILE}, {"empty.tvr", ""},
        {"text.tvr", std::string(200, 't')}, {"private.tvr", ONE_FILE}, {"big.bin", noise}, {"data.bin", "there before"},
        {"data.tvr", BuildArchive({{"a.txt", "first"}, {"data.bin", noise}, {"z", "z"}}, 0)}, {"victim", "someone else's"},
        {"big.tvr", BuildArchive({{"data.bin", noise}}, 0)}, {"long.tvr", Record("x", 99999) + TERMINATOR + ZlibStream(noise.substr(0, 100000))}, {"twice.tvr", BuildArchive({{"a.txt", "first"}, {"a.txt", "last"}})}, {"d/" + std::string(79, 'n'), ""}, {"d/huge", ""},
        {"d/" + std::string(80, 'n'), ""}, {"d/.hidden.dat", ""}, {"d/Z.dat", Content("Z.dat")}, {"d/old.dat", ONE_FILE},
        {"d/one.dat", Content("one.dat")}, {"d/two.dat", Content("two.dat")}};
    // clang-format on
    for (const char* subdirectory : {"d", "m", "sub.tvr", "d/c.dat"}) {
        ASSERT_EQ(mkdir((dir / subdirectory).c_str(), 0755), 0);
    }
    for (const auto& [name, content] : files) {
        WriteFile(dir / name, content);
    }
    for (int i = 1001; row.args.size() > 2 && row.args[2][0] == 'm' && i <= 2000; ++i) {
        WriteFile(dir / ("m/" + std::string(i < 2000 ? "f" : "g") + std::to_string(i)), "");
    }
    ASSERT_EQ(symlink("text.tvr", (dir / "link.tvr").c_str()), 0);
    ASSERT_EQ(symlink("one.dat", (dir / "d/link.dat").c_str()), 0);
    ASSERT_EQ(symlink("missing", (dir / "d/gone.dat").c_str()), 0);
    ASSERT_EQ(mkfifo((dir / "fifo.tvr").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((dir / "d/f.dat").c_str(), 0600), 0);
    WriteFile(dir / "d/t", "t", int64_t{1} << 33);  // times beyond 32 bits
    WriteFile(dir / "d/u", "u", -(int64_t{1} << 33));
    // A file of 2 GiB is sparse: it must be refused unread.
    ASSERT_EQ(truncate((dir / "d/huge").c_str(), int64_t{1} << 31), 0);
    // Private, and another user's when the tests run as root.
    ASSERT_EQ(chmod((dir / "private.tvr").c_str(), 0600), 0);
    ASSERT_TRUE(geteuid() != 0 || chown((dir / "private.tvr").c_str(), NOBODY, NOBODY) == 0);
}

void Check(const Row& row) {
    if (StopsByDroppableSignal(row.options)) {
        GTEST_SKIP() << "this build's runtime may drop the signal";
    }
    ScratchDir dir("/dev/shm");  // tmpfs holds any time; ext4 only 1901 to 2446
    LayOut(dir, row);
    if (mknod((dir / "dev.tvr").c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0 &&
        std::count(row.args.begin(), row.args.end(), "dev.tvr")) {
        GTEST_SKIP() << "only root may make a device node";
    }
    auto before = Snapshot(dir.path);
    const RunResult run = RunTovra(dir, row.args, row.options);
    EXPECT_EQ(run.status, row.status);
    EXPECT_TRUE(row.out.empty() || run.out == row.out) << "stdout: " << run.out;
    EXPECT_TRUE(row.err.empty() ? run.err.empty() : run.err.find(row.err) != std::string::npos)
        << "stderr: " << run.err;
    // A stop is no damage: no stream may be blamed for it.
    EXPECT_TRUE(row.status != ABORT || run.err.find("stream") == std::string::npos) << run.err;
    EXPECT_TRUE(!row.options.terminal || row.status == KILLED || run.terminalRestored)
        << "the terminal's settings changed";
    EXPECT_TRUE(row.holds.empty() || ReadFile(dir / row.made) == row.holds) << row.made;
    auto after = Snapshot(dir.path);
    // Nothing cleans up after SIGKILL, but what it leaves says what it is; links are
    // the other user's, swapped in by the test.
    for (const auto& [name, digest] : Snapshot(dir.path)) {
        if (name.rfind(".tovra-", 0) == 0) {
            EXPECT_TRUE(std::filesystem::is_symlink(dir / name) ||
                        (row.status == KILLED && name.rfind(".tovra-pack-", 0) == 0))
                << name << " left behind";
            after.erase(name);
        }
    }
    before[row.made] = after[row.made] = "";
    before["big.bin"] = after["big.bin"];  // resized by the test itself
    EXPECT_EQ(after, before);
    struct stat st;  // a replaced archive keeps its permissions and owner
    ASSERT_EQ(stat((dir / "private.tvr").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(geteuid() != 0 || st.st_uid == NOBODY) << "owner " << st.st_uid;
}

std::vector<Row> CommandLineRows() {
    std::vector<TestEntry> many;
    for (int i = 1001; i < 2000; ++i) {
        many.push_back({"f" + std::to_string(i), ""});
    }
    const std::string four = Dat({"Z.dat", "link.dat", "one.dat", "two.dat"});
    const std::string five = Dat({"Z.dat", "link.dat", "old.dat", "one.dat", "two.dat"});
    const std::string n79 = std::string(79, 'n');
    // clang-format off
    return {
        // Argument counts, the program's name included: bare tovra asks for the usage
        // text; a count that fits no mode is a slip that did nothing, never a success.
        {"count_1_no_arguments", {}, {}, 0, "", Shown("")},
        {"count_2_mode_0_alone", {"0"}, {}, 1, "tovra: mode 0 takes an archive and a pattern\n", Shown("")},
        {"count_2_mode_1_alone", {"1"}, {}, 1, "tovra: mode 1 takes an archive\n", Shown("")},
        {"count_2_mode_x_alone", {"x"}, {}, 1, "tovra: mode 'x' read as 0\ntovra: mode 0 takes an archive and a pattern\n", Shown("")},
        {"count_2_mode_3_alone", {"3"}, {}, 1, "tovra: mode '3' is not 0, 1 or 2\n", Shown("")},
        {"count_3_list", {"2", "one.tvr"}, {}, 0, "", BANNER + std::string("\nContents of one.tvr:\na.txt                           3 09.09.2001 04:46:40 ")},
        {"count_4_pack", {"0", "out.tvr", "a.txt"}, {}, 0, "", PACKED, "out.tvr", ONE_FILE},
        {"count_5_unquoted_pattern", {"0", "a.tvr", "a", "b"}, {}, 1, "tovra: 4 arguments: quote the wildcard pattern, as in tovra 0 ARCHIVE '*.txt'\n", Shown("")},
        {"count_6_unquoted_pattern", {"0", "new.tvr", "a.txt", "one.tvr", "text.tvr"}, {}, 1, "tovra: 5 arguments: quote the wildcard pattern, as in tovra 0 ARCHIVE '*.txt'\n", Shown("")},
        {"mode_3", {"3", "a.tvr"}, {}, 1, "tovra: mode '3' is not 0, 1 or 2\n", Shown("\nError in mode in tovraping 3\n")},
        {"mode_0_without_pattern", {"0", "a.tvr"}, {}, 1, "tovra: mode 0 takes an archive and a pattern\n", Shown("\nError in mode in tovraping 0\n")},
        {"mode_x_without_pattern", {"x", "a.tvr"}, {}, 1, "tovra: mode 'x' read as 0\ntovra: mode 0 takes an", Shown("\nError in mode in tovraping x\n")},
        {"mode_1_with_pattern", {"1", "a.tvr", "x"}, {}, 1, "tovra: mode 1 takes only an archive\n", Shown("\nError in mode in tovraping 1\n")},
        {"mode_of_81_digits", {std::string(81, '7'), "a.tvr"}, {}, 1, "is not 0, 1 or 2",
         Shown("\nError in mode in tovraping " + std::string(80, '7') + "\n")},
        // The notes follow the message where both streams go to one place.
        {"missing_archive", {"1", "no.tvr"}, With([](RunOptions& o) { o.stdoutTo = Stdout::INTO_STDERR; }), 255,
         Shown("\nCannot find file(s): no.tvr") + "tovra: no.tvr: No such file"},
        // On one terminal a note starts a line of its own, after the usage or a figure.
        {"note_after_usage_on_terminal", {"2", "no.tvr"}, With([](RunOptions& o) { o.terminal = true; o.stdoutTo = Stdout::TERMINAL; }), 255, "",
         OnTerminal(Shown("\nCannot find file(s): no.tvr") + "\ntovra: no.tvr: No such file or directory\n")},
        {"note_after_figure_on_terminal", {"x", "out.tvr", "a.txt"}, With([](RunOptions& o) { o.terminal = true; o.stdoutTo = Stdout::TERMINAL; }), 0, "",
         OnTerminal(PACKED + "\ntovra: mode 'x' read as 0\n"), "out.tvr", ONE_FILE},
        // Notes hide format characters as the listing does.
        {"note_hides_format_characters", {"1", "no\u202Etxt.tvr"}, {}, 255, "tovra: no?txt.tvr: No such file or directory\n"},
        {"nothing_matches", {"0", "out.tvr", "*.none"}, {}, 255, "tovra: *.none: no file matches\n", Shown("\nCannot find file(s): out.tvr")},
        {"list_a_directory", {"2", "sub.tvr"}, {}, 248, "tovra: sub.tvr: not a regular file\n", Shown("\nError -8 in unzipping sub.tvr")},
        {"unpack_a_fifo", {"1", "fifo.tvr"}, {}, 248, "tovra: fifo.tvr: not a regular file\n", Shown("\nError -8 in unzipping fifo.tvr")},
        {"list", {"2", "names.tvr"}, {}, 0, "", Listing(true)},
        // The listing is the product: standard output that is full or closed fails it.
        {"list_to_full_stdout", {"2", "names.tvr"}, With([](RunOptions& o) { o.stdoutTo = Stdout::FULL; }), 255, "tovra: standard output: No space left"},
        {"list_to_closed_stdout", {"2", "names.tvr"}, With([](RunOptions& o) { o.stdoutTo = Stdout::CLOSED; }), 255,
         "tovra: standard output: Bad file descriptor\n"},
        // The archive's name as typed is shown by the same rule as the names it holds.
        {"list_name_with_escape", {"2", "h\x1b[2Jd.tvr"}, {}, 0, "", BANNER + std::string("\nContents of h?[2Jd.tvr:")},
        {"list_long_name_mode_2abc", {"2abc", LONG_NAME}, {}, 0, "tovra: mode '2abc' read as 2\n",
         BANNER + ("\nContents of " + LONG_NAME.substr(0, 80) + ":")},
        {"pack_mode_x", {"x", "out.tvr", "a.txt"}, {}, 0, "tovra: mode 'x' read as 0\n", PACKED, "out.tvr", ONE_FILE},
        // Started with standard output closed, no figure may land in the archive.
        {"pack_to_closed_stdout", {"0", "out.tvr", "a.txt"}, With([](RunOptions& o) { o.stdoutTo = Stdout::CLOSED; }), 0, "", "", "out.tvr", ONE_FILE},
        {"pack_with_bad_threads", {"0", "out.tvr", "a.txt"}, With([](RunOptions& o) { o.threads = "2x"; }), 0, "'2x' is not", PACKED, "out.tvr", ONE_FILE},
        {"unpack", {"1", "one.tvr"}, {}, 0, "", PACKED, "a.txt", "abc"},
        // A name held twice: the last entry of it is the one put in place.
        {"unpack_a_name_held_twice", {"1", "twice.tvr"}, {}, 0, "", "", "a.txt", "last"},
        // Regular files in byte order, never the archive itself, told by identity alone,
        // with a note. A directory matches nothing.
        {"match_in_byte_order", {"0", "p.tvr", "d/*.dat"}, {}, 0, "", "", "p.tvr", five},
        {"match_named_like_the_archive", {"0", "OLD.DAT", "d/*.dat"}, {}, 0, "", "", "OLD.DAT", five},
        {"match_not_the_archive_itself", {"0", "d/../d/old.dat", "d/*.dat"}, {}, 0, "tovra: d/old.dat: is the archive itself, not packed\n", "", "d/old.dat", four},
        {"match_brackets", {"0", "p.tvr", "d/?[nw]?.dat"}, {}, 0, "", "", "p.tvr", Dat({"one.dat", "two.dat"})},
        {"match_no_directory", {"0", "p.tvr", "d/c.dat"}, {}, 255, "no file matches", Shown("\nCannot find file(s): p.tvr")},
        {"match_no_name", {"0", "p.tvr", "d/"}, {}, 255, "no file matches", Shown("\nCannot find file(s): p.tvr")},
        // One step past each limit fails before anything is written.
        {"name_of_79_bytes", {"0", "p.tvr", "d/" + n79}, {}, 0, "", "", "p.tvr", BuildArchive({{n79, ""}})},
        {"name_of_80_bytes", {"0", "p.tvr", "d/nnnnn*"}, {}, 247, "nnnnn: name too long", Shown("\nError -9 in tovraping p.tvr")},
        {"files_999", {"0", "p.tvr", "m/f*"}, {}, 0, "", "", "p.tvr", BuildArchive(many)},
        {"files_1000", {"0", "p.tvr", "m/*"}, {}, 247, "m/g2000: more files than an archive holds", Shown("\nError -9 in tovraping p.tvr")},
        {"file_of_2_GiB", {"0", "p.tvr", "d/huge"}, {}, 247, "d/huge: file too large", Shown("\nError -9 in tovraping p.tvr")},
        // Times beyond 32 bits are clamped, with a warning.
        {"time_after_2038", {"0", "p.tvr", "d/t"}, {}, 0, "d/t: warning", "", "p.tvr", BuildArchive({{"t", "t", INT32_MAX}})},
        {"time_before_1901", {"0", "p.tvr", "d/u"}, {}, 0, "d/u: warning", "", "p.tvr", BuildArchive({{"u", "u", INT32_MIN}})},
        // Only an archive, an empty file or a link (never its target) is replaced.
        {"replace_empty_file", {"0", "empty.tvr", "a.txt"}, {}, 0, "", PACKED, "empty.tvr", ONE_FILE},
        {"replace_private_archive", {"0", "private.tvr", "a.txt"}, {}, 0, "", PACKED, "private.tvr", ONE_FILE},
        {"replace_link", {"0", "link.tvr", "a.txt"}, {}, 0, "", PACKED, "link.tvr", ONE_FILE},
        {"keep_text_file", {"0", "text.tvr", "a.txt"}, {}, 246, "text.tvr: exists and is not an", Shown("\nError -10 in tovraping text.tvr")},
        {"keep_fifo", {"0", "fifo.tvr", "a.txt"}, {}, 246, "tovra: fifo.tvr: exists and is not", Shown("\nError -10 in tovraping fifo.tvr")},
        {"keep_directory", {"0", "sub.tvr", "a.txt"}, {}, 246, "tovra: sub.tvr: exists and is not", Shown("\nError -10 in tovraping sub.tvr")},
        {"keep_device", {"0", "dev.tvr", "a.txt"}, {}, 246, "tovra: dev.tvr: exists and is not", Shown("\nError -10 in tovraping dev.tvr")}};
    // clang-format on
}

std::vector<Row> InterruptedRows() {
    const std::vector<std::string> pack = {"0", "data.tvr", "*.bin"}, unpack = {"1", "data.tvr"},
                                   fresh = {"0", "new.tvr", "*.bin"};
    // clang-format off
    return {
        {"keys_on_input_that_is_no_terminal", fresh, {}, 0, "", "", "new.tvr"},
        {"keys_typed_for_a_background_job", fresh,
         With([](RunOptions& o) { o.terminal = o.background = true; o.typedAhead = "q\n"; }), 0, "", "", "new.tvr"},
        // A key typed ahead is seen at the first figure, and the file's closing one follows.
        {"key_typed_ahead", pack, With([](RunOptions& o) { o.terminal = true; o.typedAhead = "x"; }), ABORT, "by a key",
         Shown("  0%\b\b\b\b  0%\b\b\b\b\nError -7 in tovraping data.tvr")},
        {"ctrl_z_packing", pack, Held(Key(0x1a)), ABORT, "data.tvr: stopped by a key press"},
        {"ctrl_c_unpacking", unpack, Held(Key(0x03)), ABORT, "stopped by a key press"},
        {"ctrl_c_unpacking_on_one_thread", unpack, OnOneThread(Held(Key(0x03))), ABORT, "stopped by a key press"},
        {"sigint_packing", pack, HeldBySignal(SIGINT), ABORT, "stopped by signal SIGINT"},
        {"sigterm_packing_anew", fresh, HeldBySignal(SIGTERM), ABORT, "new.tvr: stopped by signal SIGTERM"},
        {"sigint_unpacking_the_second_stream", unpack, HeldBySignal(SIGINT), ABORT, "signal SIGINT"},
        {"sigkill_packing", pack, HeldBySignal(SIGKILL), KILLED, ""},
        {"full_disk_packing", pack, With([](RunOptions& o) { o.fileSizeLimit = 100000; }), FULL, "data.tvr: File too large"},
        {"full_disk_packing_anew", {"0", "new.tvr", "data.bin"}, With([](RunOptions& o) { o.fileSizeLimit = 180; }), FULL, "new.tvr: File too large"},
        {"full_disk_unpacking", unpack, With([](RunOptions& o) { o.fileSizeLimit = 100000; }), FULL, "data.bin: File too large"},
        // Nothing is written past a record, so a stream longer than its record never fills the disk.
        {"stream_longer_than_its_record_on_a_full_disk", {"1", "long.tvr"}, With([](RunOptions& o) { o.fileSizeLimit = 99999; }), DAMAGED, "x: damaged archive: the entry's stream has the wrong length"},
        {"temporary_archive_swapped", pack, Held(SwapTemporaryFiles), OPEN, "was replaced"},
        {"temporary_file_swapped", {"1", "big.tvr"}, Held(SwapTemporaryFiles), OPEN, "was replaced"},
        {"file_cut_short", fresh, Held(ResizeBigBin(1 << 20)), CHANGED, "big.bin: file changed"},
        {"file_grown", fresh, Held(ResizeBigBin(9 << 20)), CHANGED, "big.bin: file changed"},
        {"file_replaced", fresh, Held(RenewDataBin), CHANGED, "data.bin: file changed"}};
    // clang-format on
}

// A stored name and its listed line's name column: what it shows and how many display
// columns that takes (padded to 20).
struct ListedName {
    std::string name, stored, shown;
    size_t columns;
};

// Format characters would make a name display as another (a right-to-left override
// turns "txt.exe" around): each shows as one '?', a column wide, while their visible
// neighbours and bytes that are not UTF-8 stay as they are.
std::vector<ListedName> ListedNameRows() {
    // clang-format off
    return {
        {"zero_width_space_U200B", "a\u200Bb.txt", "a?b.txt", 7},
        {"right_to_left_mark_U200F", "a\u200Fb.txt", "a?b.txt", 7},
        {"left_to_right_embedding_U202A", "a\u202Ab.txt", "a?b.txt", 7},
        {"right_to_left_override_U202E", "invoice\u202Etxt.exe", "invoice?txt.exe", 15},
        {"left_to_right_isolate_U2066", "a\u2066b.txt", "a?b.txt", 7},
        {"pop_directional_isolate_U2069", "a\u2069b.txt", "a?b.txt", 7},
        {"byte_order_mark_UFEFF", "\uFEFFa.txt", "?a.txt", 6},
        {"each_kind_in_one_wide_name", "\u65E5\u200B\u202E\u2068\uFEFF\u672C", "\u65E5????\u672C", 8},
        // Visible neighbours of the ranges.
        {"hair_space_U200A_kept", "a\u200Ab", "a\u200Ab", 3},
        {"hyphen_U2010_kept", "a\u2010b", "a\u2010b", 3},
        {"narrow_no_break_space_U202F_kept", "a\u202Fb", "a\u202Fb", 3},
        // Not UTF-8: byte for byte, a column each, format characters hidden all the same.
        {"invalid_utf8_bytes_kept", "\xff\xfe" "caf\xe9.txt", "\xff\xfe" "caf\xe9.txt", 10},
        {"override_in_latin1_name", "caf\xe9\u202E.txt", "caf\xe9?.txt", 9},
        {"cut_format_character_kept", "a.txt\xe2\x80", "a.txt\xe2\x80", 7}};
    // clang-format on
}

class Listed : public testing::TestWithParam<ListedName> {};
TEST_P(Listed, Rows) {
    const ListedName& row = GetParam();
    ScratchDir dir;
    WriteFile(dir / "n.tvr", Record(row.stored, 1) + TERMINATOR);
    const RunResult run = RunTovra(dir, {"2", "n.tvr"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, BANNER + std::string("\nContents of n.tvr:\n") + row.shown +
                           std::string(20 - row.columns, ' ') +
                           "            1 09.09.2001 04:46:40 ");
}
INSTANTIATE_TEST_SUITE_P(Listing, Listed, testing::ValuesIn(ListedNameRows()),
                         [](const auto& info) { return info.param.name; });

// A row's test: the prepared directory, the run, what it shows and leaves behind.
class Run : public testing::TestWithParam<Row> {};
TEST_P(Run, Rows) {
    Check(GetParam());
}
INSTANTIATE_TEST_SUITE_P(CommandLine, Run, testing::ValuesIn(CommandLineRows()),
                         [](const auto& info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(Interrupted, Run, testing::ValuesIn(InterruptedRows()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
