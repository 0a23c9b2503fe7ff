// The built program from the outside: argument checks, messages, exit statuses,
// and the exact bytes of a listing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "test_support.h"

namespace {

const int32_t NINE_SEPT_2001 = 1000000000;  // 09.09.2001 01:46:40 UTC
constexpr int BOUNDED_SECONDS = 20;         // a run that read a FIFO or a device would hang

std::string Shown(const std::string& message) {
    return std::string(BANNER) + message + USAGE;
}

std::string ModeError(const std::string& shownMode) {
    return Shown("\nError in mode in tovraping " + shownMode + "\n");
}

std::string Heading(const std::string& archive) {
    return std::string(BANNER) + "\nContents of " + archive + ":";
}

// Three hours east of UTC all year: listed times must be local ones.
RunResult RunIn(const ScratchDir& dir, const std::vector<std::string>& args) {
    return RunTovra(args, {dir.path(), "/dev/null", "XYZ-3", BOUNDED_SECONDS});
}

}  // namespace

TEST(CommandLine, RejectedRunsShowTheirMessageAndTouchNothing) {
    struct Case {
        std::vector<std::string> args;
        std::string out;
        int status;
        std::string err;  // what standard error must hold ("" for nothing at all)
    };
    const std::vector<Case> cases = {
        {{}, Shown(""), 0, ""},
        {{"0", "a.tvr", "a", "b"},
         Shown(""),
         0,
         "tovra: 4 arguments: quote the wildcard pattern, as in tovra 0 ARCHIVE '*.txt'\n"},
        {{"5", "a.tvr"}, ModeError("5"), 1, "tovra: mode '5' is not 0, 1 or 2\n"},
        {{"-1", "a.tvr"}, ModeError("-1"), 1, "mode '-1' is not 0, 1 or 2"},
        {{"0", "a.tvr"}, ModeError("0"), 1, "tovra: mode 0 takes an archive and a pattern\n"},
        {{"x", "a.tvr"},
         ModeError("x"),
         1,
         "tovra: mode 'x' read as 0\ntovra: mode 0 takes an archive and a pattern\n"},
        {{"1", "a.tvr", "x"}, ModeError("1"), 1, "mode 1 takes only an archive"},
        {{"2", "a.tvr", "x"}, ModeError("2"), 1, "mode 2 takes only an archive"},
        {{std::string(81, '7'), "a.tvr"},
         ModeError(std::string(80, '7')),
         1,
         "mode '" + std::string(80, '7') + "' is not"},
        {{"1", "no.tvr"},
         Shown("\nCannot find file(s): no.tvr"),
         255,
         "tovra: no.tvr: No such file or directory\n"},
        {{"2", "no.tvr"}, Shown("\nCannot find file(s): no.tvr"), 255, "no.tvr: No such file"},
        {{"0", "out.tvr", "*.none"},
         Shown("\nCannot find file(s): out.tvr"),
         255,
         "tovra: *.none: no file matches\n"},
        {{"2", "sub.tvr"},
         Shown("\nError -8 in unzipping sub.tvr"),
         248,
         "tovra: sub.tvr: not a regular file\n"},
        {{"1", "fifo.tvr"},
         Shown("\nError -8 in unzipping fifo.tvr"),
         248,
         "fifo.tvr: not a regular file"},
        {{"2", "/dev/zero"},
         Shown("\nError -8 in unzipping /dev/zero"),
         248,
         "/dev/zero: not a regular file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.out);
        ScratchDir dir;
        ASSERT_EQ(mkdir((dir / "sub.tvr").c_str(), 0755), 0);
        ASSERT_EQ(mkfifo((dir / "fifo.tvr").c_str(), 0600), 0);
        RunResult run = RunIn(dir, c.args);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.status, c.status);
        EXPECT_TRUE(c.err.empty() ? run.err.empty() : run.err.find(c.err) != std::string::npos)
            << run.err;
        EXPECT_EQ(dir.List(), (std::vector<std::string>{"fifo.tvr", "sub.tvr"}));
    }
}

TEST(CommandLine, TextModeReadsAsZeroAndPacks) {
    ScratchDir dir;
    WriteFile(dir / "a.txt", "abc");
    SetMtime(dir / "a.txt", NINE_SEPT_2001);
    RunResult run = RunIn(dir, {"x", "out.tvr", "a.txt"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "tovra: mode 'x' read as 0\n");
    EXPECT_EQ(run.out.rfind(BANNER, 0), 0u);
    EXPECT_EQ(ReadFile(dir / "out.tvr"),
              Record("a.txt", 3, NINE_SEPT_2001) + Terminator() + ZlibStream("abc"));
}

TEST(Listing, ExactBytesOfHeadingAndLines) {
    // Stored name, size and time; the line shown for them.
    const std::vector<std::tuple<std::string, int32_t, int32_t, std::string>> lines = {
        {"abcdefghijklmnopqrstuvwxyz", 1, NINE_SEPT_2001,
         "abcdefghijklmnopqrst            1 09.09.2001 04:46:40 "},
        {std::string(80, 'N'), 1234567, 0,
         std::string(20, 'N') + "      1234567 01.01.1970 03:00:00 "},
        {"100%_%s%n.txt", -5, -1, "100%_%s%n.txt                  -5 01.01.1970 02:59:59 "},
        // Control characters would break the layout or reach the terminal as escapes.
        {"a\x1b]0;x\x07"
         "b\tc\nd\x7f",
         0, INT32_MAX, "a?]0;x?b?c?d?                   0 19.01.2038 06:14:07 "},
        {"p\xc3\xa4iv\xc3\xa4", INT32_MIN, INT32_MIN,
         "p\xc3\xa4iv\xc3\xa4               -2147483648 13.12.1901 23:45:52 "},
    };
    ScratchDir dir;
    std::string archive;
    std::string expected = Heading("names.tvr");
    for (const auto& [stored, size, mtime, shown] : lines) {
        archive += Record(stored, size, mtime);
        expected += "\n" + shown;
    }
    WriteFile(dir / "names.tvr", archive + Terminator());
    RunResult run = RunIn(dir, {"2", "names.tvr"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(run.err, "");

    // The listing is the product: standard output that is full or was closed fails the run.
    for (const char* out : {"/dev/full", "-"}) {
        RunOptions options{dir.path()};
        options.stdoutPath = out;
        run = RunTovra({"2", "names.tvr"}, options);
        EXPECT_EQ(run.status, 255) << out;
        EXPECT_NE(run.err.find("tovra: standard output: "), std::string::npos) << run.err;
    }

    // Only the terminator, under a name longer than the heading shows, in mode "2abc".
    const std::string longName = std::string(86, 'L') + ".tvr";
    WriteFile(dir / longName, Terminator());
    run = RunIn(dir, {"2abc", longName});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Heading(longName.substr(0, 80)));
}
