// The built program from the outside: argument checks, messages, exit statuses,
// and the exact bytes of a listing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

const char NO_SUCH_FILE_TEXT[] = "No such file or directory";
const int32_t NINE_SEPT_2001 = 1000000000;  // 09.09.2001 01:46:40 UTC

std::string ModeError(const std::string& shownModeArgument) {
    return std::string(BANNER) + "\nError in mode in tovraping " + shownModeArgument + "\n" + USAGE;
}

std::string NotFound(const std::string& archive) {
    return std::string(BANNER) + "\nCannot find file(s): " + archive + USAGE;
}

// One listing line from its three fields, each given exactly as it must appear.
std::string ListLine(const std::string& name20, const std::string& size12,
                     const std::string& time19) {
    EXPECT_EQ(name20.size(), 20u) << name20;
    EXPECT_EQ(size12.size(), 12u) << size12;
    EXPECT_EQ(time19.size(), 19u) << time19;
    return "\n" + name20 + " " + size12 + " " + time19 + " ";
}

std::string Listing(const std::string& archive, const std::vector<std::string>& lines) {
    std::string out = std::string(BANNER) + "\nContents of " + archive + ":";
    for (const std::string& line : lines) {
        out += line;
    }
    return out;
}

// Directory records only: listing never reads the streams.
std::string DirectoryOnly(const std::vector<std::pair<std::string, int32_t>>& sizes,
                          int32_t mtime) {
    std::string records;
    for (const auto& entry : sizes) {
        records += Record(entry.first, entry.second, mtime);
    }
    return records + Terminator();
}

RunResult RunIn(const ScratchDir& dir, const std::vector<std::string>& args,
                const std::string& tz = "UTC") {
    RunOptions options;
    options.cwd = dir.path();
    options.tz = tz;
    return RunTovra(args, options);
}

}  // namespace

TEST(CommandLine, WrongArgumentCountShowsUsageOnly) {
    const std::vector<std::vector<std::string>> counts = {
        {}, {"2"}, {"0", "a.tvr", "a.txt", "b.txt"}, {"0", "a.tvr", "a", "b", "c"}};
    for (const auto& args : counts) {
        ScratchDir dir;
        RunResult run = RunIn(dir, args);
        EXPECT_EQ(run.out, std::string(BANNER) + USAGE) << args.size();
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_TRUE(dir.List().empty());
    }
}

TEST(CommandLine, RejectedModeNamesTheArgumentAndStopsWithStatusOne) {
    const std::string longMode = "7" + std::string(99, '0');
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"5", "a.tvr"}, "5"},          {{"-1", "a.tvr"}, "-1"},
        {{"3", "a.tvr", "a.txt"}, "3"}, {{"99999999999999999999", "a.tvr"}, "99999999999999999999"},
        {{"0", "a.tvr"}, "0"},          {{"1", "a.tvr", "extra"}, "1"},
        {{"2", "a.tvr", "extra"}, "2"}, {{longMode, "a.tvr"}, longMode.substr(0, 80)},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        RunResult run = RunIn(dir, c.first);
        EXPECT_EQ(run.out, ModeError(c.second)) << c.second;
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "");
        EXPECT_TRUE(dir.List().empty()) << "nothing may be created for a rejected mode";
    }
}

TEST(CommandLine, TextModeReadsAsZeroAndPacks) {
    ScratchDir dir;
    WriteFile(dir / "a.txt", "abc");
    SetMtime(dir / "a.txt", NINE_SEPT_2001);
    RunResult run = RunIn(dir, {"x", "out.tvr", "a.txt"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    ASSERT_EQ(run.out.compare(0, strlen(BANNER), BANNER), 0);
    EXPECT_TRUE(std::regex_match(run.out.substr(strlen(BANNER)),
                                 std::regex("( {0,2}[0-9]{1,3}%\b\b\b\b)+")))
        << run.out;
    EXPECT_EQ(ReadFile(dir / "out.tvr"),
              Record("a.txt", 3, NINE_SEPT_2001) + Terminator() + ZlibStream("abc"));
}

TEST(CommandLine, ModeFollowedByLettersReadsAsTheNumber) {
    ScratchDir dir;
    WriteFile(dir / "a.tvr", BuildArchive({{"a.txt", "abc", NINE_SEPT_2001}}));
    RunResult run = RunIn(dir, {"2abc", "a.tvr"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Listing("a.tvr", {ListLine("a.txt               ", "           3",
                                                  "09.09.2001 01:46:40")}));
}

TEST(CommandLine, MissingArchiveIsNamedWithStatus255) {
    for (const std::string mode : {"1", "2"}) {
        ScratchDir dir;
        RunResult run = RunIn(dir, {mode, "missing.tvr"});
        EXPECT_EQ(run.out, NotFound("missing.tvr")) << mode;
        EXPECT_EQ(run.status, 255);
        EXPECT_EQ(run.err, std::string("tovra: missing.tvr: ") + NO_SUCH_FILE_TEXT + "\n");
        EXPECT_TRUE(dir.List().empty());
    }
}

TEST(CommandLine, PatternMatchingNothingNamesTheArchive) {
    ScratchDir dir;
    RunResult run = RunIn(dir, {"0", "out.tvr", "*.none"});
    EXPECT_EQ(run.out, NotFound("out.tvr"));
    EXPECT_EQ(run.status, 255);
    EXPECT_FALSE(Exists(dir / "out.tvr"));
}

TEST(CommandLine, ArchiveThatIsADirectoryIsDamaged) {
    for (const std::string mode : {"1", "2"}) {
        ScratchDir dir;
        ASSERT_EQ(mkdir((dir / "sub.tvr").c_str(), 0755), 0);
        RunResult run = RunIn(dir, {mode, "sub.tvr"});
        EXPECT_EQ(run.out, std::string(BANNER) + "\nError -8 in unzipping sub.tvr" + USAGE);
        EXPECT_EQ(run.status, StatusOf(-8));
        EXPECT_NE(run.err.find("sub.tvr"), std::string::npos);
        EXPECT_EQ(dir.List(), std::vector<std::string>{"sub.tvr"});
    }
}

TEST(Listing, EntriesInDirectoryOrder) {
    ScratchDir dir;
    WriteFile(dir / "three.tvr", BuildArchive({{"zeta", "zz", NINE_SEPT_2001},
                                               {"alpha.TXT", "", 0},
                                               {"Mid", std::string(5000, 'm'), -1}}));
    RunResult run = RunIn(dir, {"2", "three.tvr"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out,
              Listing("three.tvr",
                      {ListLine("zeta                ", "           2", "09.09.2001 01:46:40"),
                       ListLine("alpha.TXT           ", "           0", "01.01.1970 00:00:00"),
                       ListLine("Mid                 ", "        5000", "31.12.1969 23:59:59")}));
}

TEST(Listing, ArchiveOfOnlyTheTerminator) {
    ScratchDir dir;
    WriteFile(dir / "empty.tvr", Terminator());
    RunResult run = RunIn(dir, {"2", "empty.tvr"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Listing("empty.tvr", {}));
}

TEST(Listing, HeadingShowsAtMost80CharactersOfTheArchive) {
    ScratchDir dir;
    const std::string name = std::string(86, 'L') + ".tvr";
    WriteFile(dir / name, Terminator());
    RunResult run = RunIn(dir, {"2", name});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Listing(name.substr(0, 80), {}));
}

TEST(Listing, NamesAreCutToTwentyAndShownSafely) {
    ScratchDir dir;
    WriteFile(dir / "names.tvr", DirectoryOnly({{"abcdefghijklmnopqrstuvwxyz.txt", 1},
                                                {std::string(80, 'N'), 2},
                                                {"100%_%s%n%d.txt", 3},
                                                {"a\x1b]0;x\x07"
                                                 "b\tc\nd\x7f",
                                                 4},
                                                {"p\xc3\xa4iv\xc3\xa4", 5}},
                                               NINE_SEPT_2001));
    RunResult run = RunIn(dir, {"2", "names.tvr"});
    EXPECT_EQ(run.status, 0);
    const char* time = "09.09.2001 01:46:40";
    EXPECT_EQ(
        run.out,
        Listing("names.tvr", {ListLine("abcdefghijklmnopqrst", "           1", time),
                              ListLine(std::string(20, 'N'), "           2", time),
                              ListLine("100%_%s%n%d.txt     ", "           3", time),
                              ListLine("a?]0;x?b?c?d?       ", "           4", time),
                              // Bytes above 127 are not control characters: shown as stored.
                              ListLine("p\xc3\xa4iv\xc3\xa4             ", "           5", time)}));
}

TEST(Listing, SizesAndTimesAtTheirLimits) {
    ScratchDir dir;
    std::string archive =
        Record("seven", 1234567, NINE_SEPT_2001) + Record("negative", -5, NINE_SEPT_2001) +
        Record("max", INT32_MAX, INT32_MAX) + Record("min", INT32_MIN, INT32_MIN) + Terminator();
    WriteFile(dir / "sizes.tvr", archive);
    RunResult run = RunIn(dir, {"2", "sizes.tvr"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              Listing("sizes.tvr",
                      {ListLine("seven               ", "     1234567", "09.09.2001 01:46:40"),
                       ListLine("negative            ", "          -5", "09.09.2001 01:46:40"),
                       ListLine("max                 ", "  2147483647", "19.01.2038 03:14:07"),
                       ListLine("min                 ", " -2147483648", "13.12.1901 20:45:52")}));
}

TEST(Listing, TimesAreLocal) {
    if (!Exists("/usr/share/zoneinfo/Europe/Helsinki")) {
        GTEST_SKIP() << "no time zone data";
    }
    ScratchDir dir;
    WriteFile(dir / "a.tvr", DirectoryOnly({{"summer", 1}}, NINE_SEPT_2001));
    RunResult run = RunIn(dir, {"2", "a.tvr"}, "Europe/Helsinki");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Listing("a.tvr", {ListLine("summer              ", "           1",
                                                  "09.09.2001 04:46:40")}));
}

TEST(Listing, StreamsOfAnyLevelAndStrategyList) {
    ScratchDir dir;
    const std::string data = SampleBytes(20000, 7);
    const std::vector<std::pair<int, int>> writers = {{1, Z_DEFAULT_STRATEGY},
                                                      {9, Z_DEFAULT_STRATEGY},
                                                      {6, Z_FILTERED},
                                                      {6, Z_HUFFMAN_ONLY},
                                                      {6, Z_RLE}};
    std::string records;
    std::string streams;
    std::vector<std::string> lines;
    for (size_t k = 0; k < writers.size(); ++k) {
        std::string name = "s" + std::to_string(k);
        records += Record(name, static_cast<int32_t>(data.size()), 0);
        streams += ZlibStream(data, writers[k].first, writers[k].second);
        lines.push_back(
            ListLine(name + std::string(18, ' '), "       20000", "01.01.1970 00:00:00"));
    }
    WriteFile(dir / "mixed.tvr", records + Terminator() + streams);
    RunResult run = RunIn(dir, {"2", "mixed.tvr"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Listing("mixed.tvr", lines));
}
